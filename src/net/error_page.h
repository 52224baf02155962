#pragma once

#include <QByteArray>
#include <QString>

class ConnectionTable;

// The HTML page a browser gets when its request cannot be taken to the origin server.
QByteArray errorPage(qint16 Number, const QString &Description);

// The upstream socket of slot Index failed: close it and send the browser the error page.
void WinSend_Error(ConnectionTable &table, int Index, qint16 Number, const QString &Description);
