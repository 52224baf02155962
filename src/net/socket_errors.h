#pragma once

#include <QAbstractSocket>
#include <QString>

// A socket error as the proxy reports it: the conventional Windows Sockets number and a short
// description.
struct SocketErrorInfo {
    qint16 number;
    QString description;
};

SocketErrorInfo socketErrorInfo(QAbstractSocket::SocketError error);
