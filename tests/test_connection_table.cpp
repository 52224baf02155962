// The connection slots as browsers meet them: the real window started with a connection limit,
// raw loopback clients, and the counter the window shows.
#include <QTest>
#include <memory>
#include <vector>

#include "support/origin_server.h"
#include "support/running_engine.h"

using namespace testsupport;

namespace {

constexpr int kWait = 10000;

class Browsers {
public:
    explicit Browsers(quint16 port) : m_port(port) {}
    ProxyClient &connect()
    {
        m_clients.push_back(std::make_unique<ProxyClient>());
        m_clients.back()->connectTo(m_port);
        return *m_clients.back();
    }
    ProxyClient &at(size_t index) { return *m_clients.at(index); }

private:
    quint16 m_port;
    std::vector<std::unique_ptr<ProxyClient>> m_clients;
};

// Connects one more browser and waits until the counter has taken it in.
bool connectServed(Browsers &browsers, RunningEngine &proxy, int expectedCount)
{
    ProxyClient &browser = browsers.connect();
    return QTest::qWaitFor(
        [&] { return browser.isConnected() && proxy.counter() == QString::number(expectedCount); },
        kWait);
}

// Connects one more browser and waits until it has been turned away: its connection ends
// without a byte.
bool connectRefused(Browsers &browsers)
{
    ProxyClient &browser = browsers.connect();
    return QTest::qWaitFor([&] { return browser.isDisconnected(); }, kWait) &&
           browser.received().isEmpty();
}

// The browser is really served: a request through it reaches the origin and is answered. The
// origin closes after its answer, which ends the browser's connection too, unless it is told to
// keep it open.
bool isServed(ProxyClient &browser, bool isKeptOpen = false)
{
    OriginServer origin;
    if (!origin.listen())
        return false;
    origin.onRequest = [&origin, isKeptOpen](int connection) {
        origin.send(connection, okResponse("served"));
        if (!isKeptOpen)
            origin.close(connection);
    };
    browser.send(absoluteGet(origin.authority(), "/"));
    return QTest::qWaitFor([&] { return browser.received() == okResponse("served"); }, kWait);
}

} // namespace

class TestConnectionTable : public QObject {
    Q_OBJECT
private slots:
    void browsersTakeSlotsAndTheCounterFollows();
    void limit_data();
    void limit();
    void freedSlotIsTakenAgain();
    void browserThatClosedInOrderFreesItsSlotAtOnce();
};

void TestConnectionTable::browsersTakeSlotsAndTheCounterFollows()
{
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    QCOMPARE(proxy.counter(), QStringLiteral("0"));
    Browsers browsers(proxy.port());
    for (int count = 1; count <= 3; ++count)
        QVERIFY(connectServed(browsers, proxy, count));
    QVERIFY(isServed(browsers.at(1)));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("2"), kWait);
    browsers.at(0).abort();
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("1"), kWait);
    browsers.at(2).close();
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
}

void TestConnectionTable::limit_data()
{
    // New slots are made only below the limit minus one; slot 0 is always there.
    QTest::addColumn<QString>("limitText");
    QTest::addColumn<int>("served");
    QTest::newRow("5") << QStringLiteral("5") << 4;
    QTest::newRow("4.5") << QStringLiteral("4.5") << 4;
    QTest::newRow("3") << QStringLiteral("3") << 2;
    QTest::newRow("2") << QStringLiteral("2") << 1;
    QTest::newRow("1") << QStringLiteral("1") << 1;
    QTest::newRow("0") << QStringLiteral("0") << 1;
    QTest::newRow("negative") << QStringLiteral("-3") << 1;
    QTest::newRow("blanks around") << QStringLiteral(" 3 ") << 2;
    QTest::newRow("not a number") << QStringLiteral("abc") << 1;
    QTest::newRow("empty") << QString(QLatin1String("")) << 1;
    QTest::newRow("nan") << QStringLiteral("nan") << 1;
}

// Up to the limit every browser is served; the next one has its connection closed without a
// byte, the counter is untouched, and the proxy goes on listening.
void TestConnectionTable::limit()
{
    QFETCH(QString, limitText);
    QFETCH(int, served);
    RunningEngine proxy(QString(), limitText);
    QVERIFY(proxy.isRunning());
    Browsers browsers(proxy.port());
    for (int count = 1; count <= served; ++count)
        QVERIFY(connectServed(browsers, proxy, count));
    QVERIFY(connectRefused(browsers));
    QVERIFY(connectRefused(browsers));
    QCOMPARE(proxy.counter(), QString::number(served));
    QVERIFY(isServed(browsers.at(size_t(served - 1))));
}

// With slots 0 to 3 taken (limit "5") and the browser of slot 1 gone, a newcomer takes the free
// slot instead of asking for a fifth one, which the limit would refuse.
void TestConnectionTable::freedSlotIsTakenAgain()
{
    RunningEngine proxy(QString(), QStringLiteral("5"));
    Browsers browsers(proxy.port());
    for (int count = 1; count <= 4; ++count)
        QVERIFY(connectServed(browsers, proxy, count));
    browsers.at(1).abort();
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("3"), kWait);
    QVERIFY(connectServed(browsers, proxy, 4));
    QVERIFY(connectRefused(browsers));
    QVERIFY(isServed(browsers.at(4)));
}

// A browser that closes and reconnects at once (as a load test with "Connection: close" does)
// finds its old slot free again, even with only slot 0 allowed.
void TestConnectionTable::browserThatClosedInOrderFreesItsSlotAtOnce()
{
    RunningEngine proxy(QString(), QStringLiteral("2"));
    Browsers browsers(proxy.port());
    for (size_t round = 0; round < 20; ++round) {
        if (round > 0)
            browsers.at(round - 1).close();
        ProxyClient &browser = browsers.connect();
        QVERIFY2(isServed(browser, true), qPrintable(QStringLiteral("round %1").arg(round)));
    }
}

QTEST_MAIN(TestConnectionTable)
#include "test_connection_table.moc"
