#include "net/socket_errors.h"

namespace {

struct SocketErrorRow {
    QAbstractSocket::SocketError error;
    qint16 number;
    const char *description;
};

// The one mapping from Qt's socket errors to the numbers the error page shows.
constexpr SocketErrorRow kSocketErrors[] = {
    {QAbstractSocket::ConnectionRefusedError, 10061, "Connection refused"},
    {QAbstractSocket::RemoteHostClosedError, 10054, "Connection reset by peer"},
    {QAbstractSocket::HostNotFoundError, 11001, "Host not found"},
    {QAbstractSocket::SocketAccessError, 10013, "Permission denied"},
    {QAbstractSocket::SocketResourceError, 10055, "No buffer space available"},
    {QAbstractSocket::SocketTimeoutError, 10060, "Connection timed out"},
    {QAbstractSocket::NetworkError, 10051, "Network is unreachable"},
    {QAbstractSocket::AddressInUseError, 10048, "Address already in use"},
    {QAbstractSocket::SocketAddressNotAvailableError, 10049, "Address not available"},
    {QAbstractSocket::UnsupportedSocketOperationError, 10045, "Operation not supported"},
    {QAbstractSocket::DatagramTooLargeError, 10040, "Message too long"},
    {QAbstractSocket::OperationError, 10022, "Invalid argument"},
    {QAbstractSocket::TemporaryError, 10035, "Resource temporarily unavailable"},
};

constexpr SocketErrorRow kUnknownError = {QAbstractSocket::UnknownSocketError, -1,
                                          "Unknown socket error"};

} // namespace

SocketErrorInfo socketErrorInfo(QAbstractSocket::SocketError error)
{
    for (const SocketErrorRow &row : kSocketErrors) {
        if (row.error == error)
            return {row.number, QString::fromLatin1(row.description)};
    }
    return {kUnknownError.number, QString::fromLatin1(kUnknownError.description)};
}
