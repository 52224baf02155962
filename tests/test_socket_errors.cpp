// The numbers and descriptions the error page shows for the errors Asio reports.
#include <QTest>

#include <asio/error.hpp>
#include <cerrno>

#include "net/engine/socket_errors.h"

Q_DECLARE_METATYPE(std::error_code)

class TestSocketErrors : public QObject {
    Q_OBJECT
private slots:
    void socketError_data();
    void socketError();
    void lookupError_data();
    void lookupError();
    void emptyHostIsNotFound();
};

namespace {

void addColumns()
{
    QTest::addColumn<std::error_code>("error");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
}

void addRow(const char *name, std::error_code error, int number, const char *description)
{
    QTest::newRow(name) << error << number << QString::fromLatin1(description);
}

std::error_code systemError(int value)
{
    return {value, asio::error::get_system_category()};
}

} // namespace

void TestSocketErrors::socketError_data()
{
    addColumns();
    addRow("ECONNREFUSED", systemError(ECONNREFUSED), 10061, "Connection refused");
    addRow("ECONNRESET", systemError(ECONNRESET), 10054, "Connection reset by peer");
    addRow("EPIPE", systemError(EPIPE), 10054, "Connection reset by peer");
    addRow("ECONNABORTED", systemError(ECONNABORTED), 10053, "Software caused connection abort");
    addRow("ENETDOWN", systemError(ENETDOWN), 10050, "Network is down");
    addRow("ENETUNREACH", systemError(ENETUNREACH), 10051, "Network is unreachable");
    addRow("EHOSTUNREACH", systemError(EHOSTUNREACH), 10065, "No route to host");
    addRow("EMFILE", systemError(EMFILE), 10024, "Too many open files");
    addRow("ENFILE", systemError(ENFILE), 10024, "Too many open files");
    addRow("ETIMEDOUT", systemError(ETIMEDOUT), 10060, "Connection timed out");
    addRow("Asio's connection_aborted", asio::error::connection_aborted, 10053,
           "Software caused connection abort");
    addRow("generic category", std::make_error_code(std::errc::connection_refused), 10061,
           "Connection refused");
    addRow("unknown errno", systemError(EDOM), -1, "Unknown socket error");
    addRow("lookup error is no socket error", asio::error::host_not_found, -1,
           "Unknown socket error");
}

void TestSocketErrors::socketError()
{
    QFETCH(std::error_code, error);
    QFETCH(int, number);
    QFETCH(QString, description);
    const SocketErrorInfo info = socketErrorInfo(error);
    QCOMPARE(int(info.number), number);
    QCOMPARE(info.description, description);
}

void TestSocketErrors::lookupError_data()
{
    addColumns();
    addRow("host_not_found", asio::error::host_not_found, 11001, "Host not found");
    addRow("host_not_found_try_again", asio::error::host_not_found_try_again, 11002,
           "Non-authoritative host not found");
    addRow("no_recovery", asio::error::no_recovery, 11003, "This is a non-recoverable error");
    addRow("no_data", asio::error::no_data, 11004, "Valid name, no data record of requested type");
    addRow("service_not_found", asio::error::service_not_found, 11001, "Host not found");
    addRow("system error", systemError(ENOMEM), 11001, "Host not found");
    // The netdb numbers mean nothing in another category.
    addRow("system error with a netdb number", systemError(asio::error::no_data), 11001,
           "Host not found");
}

void TestSocketErrors::lookupError()
{
    QFETCH(std::error_code, error);
    QFETCH(int, number);
    QFETCH(QString, description);
    const SocketErrorInfo info = lookupErrorInfo(error);
    QCOMPARE(int(info.number), number);
    QCOMPARE(info.description, description);
}

void TestSocketErrors::emptyHostIsNotFound()
{
    const SocketErrorInfo info = hostNotFoundError();
    QCOMPARE(int(info.number), 11001);
    QCOMPARE(info.description, QStringLiteral("Host not found"));
}

QTEST_APPLESS_MAIN(TestSocketErrors)
#include "test_socket_errors.moc"
