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

// A host name whose lookup failed, by the resolver's reason: Asio's netdb errors
// (host_not_found, host_not_found_try_again, no_recovery, no_data) each have their number;
// any other error reads as "Host not found".
SocketErrorInfo lookupErrorInfo(const std::error_code &error);

// A host name that could not be looked up at all, such as an empty one: "Host not found".
SocketErrorInfo hostNotFoundError();
