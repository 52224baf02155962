#pragma once

#include <QString>
#include <system_error>

// A socket error as the proxy reports it on its error page: the conventional Windows Sockets
// number and a short description.
struct SocketErrorInfo {
    qint16 number;
    QString description;
};

// The error of a failed connect, read or write, from the system's error code.
SocketErrorInfo socketErrorInfo(const std::error_code &error);

// A host name that could not be looked up, whatever the resolver's reason.
SocketErrorInfo hostNotFoundError();
