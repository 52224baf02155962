#include "net/engine/socket_errors.h"

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
    {ECONNABORTED, 10053, "Software caused connection abort"},
    {EACCES, 10013, "Permission denied"},
    {EPERM, 10013, "Permission denied"},
    {ENOBUFS, 10055, "No buffer space available"},
    {ENOMEM, 10055, "No buffer space available"},
    {ETIMEDOUT, 10060, "Connection timed out"},
    {ENETUNREACH, 10051, "Network is unreachable"},
    {EHOSTUNREACH, 10065, "No route to host"},
    {ENETDOWN, 10050, "Network is down"},
    {EMFILE, 10024, "Too many open files"},
    {ENFILE, 10024, "Too many open files"},
    {EADDRINUSE, 10048, "Address already in use"},
    {EADDRNOTAVAIL, 10049, "Address not available"},
    {EOPNOTSUPP, 10045, "Operation not supported"},
    {EAFNOSUPPORT, 10045, "Operation not supported"},
    {EMSGSIZE, 10040, "Message too long"},
    {EINVAL, 10022, "Invalid argument"},
    {EAGAIN, 10035, "Resource temporarily unavailable"},
};

// A failed lookup, by the resolver's answer as Asio reports it (its netdb category). The
// numbers are those Windows gives for the same answers.
constexpr SocketErrorRow kLookupErrors[] = {
    {asio::error::host_not_found, 11001, "Host not found"},
    {asio::error::host_not_found_try_again, 11002, "Non-authoritative host not found"},
    {asio::error::no_recovery, 11003, "This is a non-recoverable error"},
    {asio::error::no_data, 11004, "Valid name, no data record of requested type"},
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

SocketErrorInfo lookupErrorInfo(const std::error_code &error)
{
    if (error.category() == asio::error::get_netdb_category()) {
        for (const SocketErrorRow &row : kLookupErrors) {
            if (row.systemError == error.value())
                return infoOf(row);
        }
    }
    // Any other failure of a lookup still leaves the host unknown.
    return infoOf(kHostNotFound);
}

SocketErrorInfo hostNotFoundError()
{
    return infoOf(kHostNotFound);
}
