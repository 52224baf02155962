#include "net/socket_errors.h"

#include <asio/error.hpp>
#include <cerrno>

namespace {

struct SocketErrorRow {
    int systemError;
    qint16 number;
    const char *description;
};

// The one mapping from the system's error numbers to the numbers the error page shows. A peer
// that vanished shows as a reset, whichever way the system noticed.
constexpr SocketErrorRow kSocketErrors[] = {
    {ECONNREFUSED, 10061, "Connection refused"},
    {ECONNRESET, 10054, "Connection reset by peer"},
    {EPIPE, 10054, "Connection reset by peer"},
    {ECONNABORTED, 10054, "Connection reset by peer"},
    {EACCES, 10013, "Permission denied"},
    {EPERM, 10013, "Permission denied"},
    {ENOBUFS, 10055, "No buffer space available"},
    {ENOMEM, 10055, "No buffer space available"},
    {ETIMEDOUT, 10060, "Connection timed out"},
    {ENETUNREACH, 10051, "Network is unreachable"},
    {EHOSTUNREACH, 10051, "Network is unreachable"},
    {ENETDOWN, 10051, "Network is unreachable"},
    {EADDRINUSE, 10048, "Address already in use"},
    {EADDRNOTAVAIL, 10049, "Address not available"},
    {EOPNOTSUPP, 10045, "Operation not supported"},
    {EAFNOSUPPORT, 10045, "Operation not supported"},
    {EMSGSIZE, 10040, "Message too long"},
    {EINVAL, 10022, "Invalid argument"},
    {EAGAIN, 10035, "Resource temporarily unavailable"},
};

constexpr SocketErrorRow kHostNotFound = {0, 11001, "Host not found"};
constexpr SocketErrorRow kUnknownError = {0, -1, "Unknown socket error"};

SocketErrorInfo infoOf(const SocketErrorRow &row)
{
    return {row.number, QString::fromLatin1(row.description)};
}

} // namespace

SocketErrorInfo socketErrorInfo(const std::error_code &error)
{
    // Socket failures come in Asio's system category, whose values are the system's errno values.
    if (error.category() == asio::error::get_system_category() ||
        error.category() == std::system_category() || error.category() == std::generic_category()) {
        for (const SocketErrorRow &row : kSocketErrors) {
            if (row.systemError == error.value())
                return infoOf(row);
        }
    }
    return infoOf(kUnknownError);
}

SocketErrorInfo hostNotFoundError()
{
    return infoOf(kHostNotFound);
}
