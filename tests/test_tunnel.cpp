// HTTPS through the proxy: CONNECT turns a slot into a tunnel that carries bytes both ways.
#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QTest>

#include "net/http/error_page.h"
#include "support/fixed_names.h"
#include "support/origin_server.h"
#include "support/running_engine.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr int kWait = 60000;

QByteArray connectRequest(const QByteArray &target)
{
    return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
           "\r\nUser-Agent: TestBrowser/1.0\r\nProxy-Connection: keep-alive\r\n\r\n";
}

const QByteArray kEstablished(kTunnelEstablished);

} // namespace

class TestTunnel : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installFixedAnswers(); }
    void cleanupTestCase() { removeFixedAnswers(); }
    void carriesBytesBothWaysUnchanged();
    void earlyBytesFollowTheAnswer_data();
    void earlyBytesFollowTheAnswer();
    void browserCloseEndsTheTunnel();
    void serverCloseEndsTheTunnelAfterDelivery();
    void failuresAnswerWithAStatusAndThePage_data();
    void failuresAnswerWithAStatusAndThePage();

private:
    // Held for the whole run, so that a row can name a port that refuses.
    RefusingPort m_refusingPort;
};

// 16 MiB each way at the same time: the echo answers while the browser is still sending.
// Nothing of the CONNECT request goes upstream; its lines are logged like any request's.
void TestTunnel::carriesBytesBothWaysUnchanged()
{
    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("tunnel.log"));
    OriginServer echo;
    echo.setEcho(true);
    QVERIFY(echo.listen());
    RunningEngine proxy(logPath);
    QVERIFY(proxy.isRunning());

    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);
    client.send(connectRequest(echo.authority()));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), kEstablished, kWait);
    QCOMPARE(proxy.counter(), QStringLiteral("1"));

    const QByteArray payload = patternBytes(16 * 1024 * 1024, 11);
    for (qsizetype offset = 0; offset < payload.size(); offset += 1024 * 1024)
        client.send(payload.mid(offset, 1024 * 1024));
    QTRY_VERIFY_WITH_TIMEOUT(client.received().size() >= kEstablished.size() + payload.size(),
                             kWait);
    QCOMPARE(sha256(client.received().mid(kEstablished.size())), sha256(payload));
    QCOMPARE(sha256(echo.received(0)), sha256(payload));

    const QByteArray log = readFileBytes(logPath);
    QVERIFY(log.contains("\tNew Request Received From\t127.0.0.1\r\n"));
    QVERIFY(log.contains("\t\t\t    User-Agent: TestBrowser/1.0\r\n"));
    QVERIFY(log.contains("\t\t\t    Proxy-Connection: keep-alive\r\n"));
    QCOMPARE(log.count("New Request Received From"), 1);
}

void TestTunnel::earlyBytesFollowTheAnswer_data()
{
    QTest::addColumn<bool>("isHostSlow");
    QTest::addColumn<QByteArray>("early");

    QTest::newRow("a few, the host answered at once") << false << QByteArray("early hello");
    // Far more than the proxy keeps before its tunnel is open, while the name takes a while to
    // look up: the browser is simply not read meanwhile.
    QTest::newRow("16 MiB, the host slow to look up") << true << patternBytes(16 * 1024 * 1024, 12);
}

// Bytes a browser sends right behind its CONNECT reach the server once the tunnel is open, after
// the answer.
void TestTunnel::earlyBytesFollowTheAnswer()
{
    QFETCH(bool, isHostSlow);
    QFETCH(QByteArray, early);

    OriginServer echo;
    echo.setEcho(true);
    QVERIFY(echo.listen());
    RunningEngine proxy;
    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);
    const QByteArray target =
        isHostSlow ? kSlowHost + ":" + QByteArray::number(echo.port()) : echo.authority();
    client.send(connectRequest(target) + early);
    QTRY_VERIFY_WITH_TIMEOUT(client.received().size() >= kEstablished.size() + early.size(), kWait);
    QVERIFY(client.received() == kEstablished + early);
    QVERIFY(echo.received(0) == early);
}

void TestTunnel::browserCloseEndsTheTunnel()
{
    OriginServer echo;
    echo.setEcho(true);
    QVERIFY(echo.listen());
    RunningEngine proxy;
    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);
    client.send(connectRequest(echo.authority()) + "last words");
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), kEstablished + "last words", kWait);

    client.abort();
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
    QTRY_VERIFY_WITH_TIMEOUT(echo.isDisconnected(0), kWait);
    QCOMPARE(echo.connectionCount(), 1);
    QCOMPARE(echo.received(0), QByteArray("last words"));
}

// What the server sent before closing still reaches the browser; then the browser's
// connection is closed and the slot freed.
void TestTunnel::serverCloseEndsTheTunnelAfterDelivery()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    RunningEngine proxy;
    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);
    client.send(connectRequest(origin.authority()));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), kEstablished, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(origin.connectionCount(), 1, kWait);

    client.holdReading();
    const QByteArray goodbye = patternBytes(4 * 1024 * 1024, 5);
    origin.send(0, goodbye);
    origin.close(0);
    client.resumeReading();
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);
    QCOMPARE(sha256(client.received().mid(kEstablished.size())), sha256(goodbye));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
    // Nothing of the CONNECT request itself went to the server.
    QVERIFY(origin.received(0).isEmpty());
}

void TestTunnel::failuresAnswerWithAStatusAndThePage_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("status");
    QTest::addColumn<int>("number");

    QVERIFY(m_refusingPort.port() != 0);
    QTest::newRow("refused port") << "127.0.0.1:" + QByteArray::number(m_refusingPort.port())
                                  << QByteArray("502 Bad Gateway") << 10061;
    QTest::newRow("unknown host") << kUnknownHost + ":443" << QByteArray("502 Bad Gateway")
                                  << 11001;
    QTest::newRow("no port") << QByteArray("example.invalid") << QByteArray("400 Bad Request")
                             << 400;
    QTest::newRow("port out of range")
        << QByteArray("example.invalid:70000") << QByteArray("400 Bad Request") << 400;
}

// A browser waiting for its tunnel reads a status line first, so the page comes as a whole
// response it can show; then the connection is closed and the slot freed.
void TestTunnel::failuresAnswerWithAStatusAndThePage()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, status);
    QFETCH(int, number);

    RunningEngine proxy;
    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);
    client.send(connectRequest(target));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);

    const QByteArray &response = client.received();
    QVERIFY2(response.startsWith("HTTP/1.1 " + status + "\r\n"), response.left(80).constData());
    const qsizetype bodyStart = response.indexOf("\r\n\r\n") + 4;
    const QByteArray head = response.left(bodyStart);
    const QByteArray body = response.mid(bodyStart);
    QVERIFY(head.contains("\r\nContent-Type: text/html\r\n"));
    QVERIFY(head.contains("\r\nConnection: close\r\n"));
    QVERIFY(head.contains("\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n"));
    QVERIFY(body.contains("Error Number: " + QByteArray::number(number) + "</font>"));
    QVERIFY(body.endsWith("</body>"));
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
}

QTEST_MAIN(TestTunnel)
#include "test_tunnel.moc"
