// The response list as a browser meets it: origins written here answer with the heads each row
// scripts, cut into pieces anywhere, and the browser's raw connection shows what was relayed.
#include <QTest>
#include <memory>

#include "net/http/response_framing.h"
#include "support/expected_page.h"
#include "support/fixed_names.h"
#include "support/origin_server.h"
#include "support/running_engine.h"

using namespace testsupport;

namespace {

constexpr int kWait = 20000;

void tickResponseList(RememberedSettings &settings)
{
    settings.isRemovingResponse = true;
}

} // namespace

class TestResponseRules : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { installFixedAnswers(); }
    void cleanupTestCase() { removeFixedAnswers(); }
    void listedLinesLeaveEveryHead_data();
    void listedLinesLeaveEveryHead();
    void headOverTheBoundGetsThePage_data();
    void headOverTheBoundGetsThePage();
};

void TestResponseRules::listedLinesLeaveEveryHead_data()
{
    QTest::addColumn<bool>("isOn");
    QTest::addColumn<QByteArray>("requestLines"); // extra header lines of the request
    QTest::addColumn<QByteArray>("response");     // as the origin sends it
    QTest::addColumn<QByteArray>("relayed");      // as the browser must get it
    QTest::addColumn<bool>("isTunnel");           // a 101: the connection carries bytes on

    const QByteArray withCookies = "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nETag: \"v1\"\r\n"
                                   "set-cookie: b=2; Path=/\r\nContent-Length: 5\r\n\r\nhello";
    QTest::newRow("Content-Length, two Set-Cookie and ETag")
        << true << QByteArray() << withCookies
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << false;
    QTest::newRow("unticked: byte for byte")
        << false << QByteArray() << withCookies << withCookies << false;
    QTest::newRow("chunked, body untouched")
        << true << QByteArray()
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nSET-COOKIE: c=3\r\n\r\n"
                      "d\r\nSet-Cookie: x\r\n0\r\n\r\n")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                      "d\r\nSet-Cookie: x\r\n0\r\n\r\n")
        << false;
    QTest::newRow("interim 100 and the final head")
        << true << QByteArray()
        << QByteArray("HTTP/1.1 100 Continue\r\nSet-Cookie: i=1\r\n\r\n"
                      "HTTP/1.1 200 OK\r\nETag: W/\"2\"\r\nContent-Length: 2\r\n\r\nok")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok")
        << false;
    QTest::newRow("101: its head rewritten, what follows untouched")
        << true << QByteArray("Connection: Upgrade\r\nUpgrade: websocket\r\n")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n"
                      "Upgrade: websocket\r\nSet-Cookie: s=1\r\n\r\nSet-Cookie: raw\r\n\r\n")
        << QByteArray("HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\n"
                      "Upgrade: websocket\r\n\r\nSet-Cookie: raw\r\n\r\n")
        << true;
}

// Each response is sent in pieces cut at every few bytes, heads included; the rewritten head
// reaches the browser whole, and the body as it came. The connection then serves a next request,
// so the body's end was found on the rewritten head.
void TestResponseRules::listedLinesLeaveEveryHead()
{
    QFETCH(bool, isOn);
    QFETCH(QByteArray, requestLines);
    QFETCH(QByteArray, response);
    QFETCH(QByteArray, relayed);
    QFETCH(bool, isTunnel);

    RunningEngine proxy(QString(), QString(), [isOn](RememberedSettings &settings) {
        settings.isRemovingResponse = isOn;
    });
    QVERIFY(proxy.isRunning());
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    client.connectTo(proxy.port());
    QVERIFY(client.sendNow(absoluteGet(origin.authority(), "/first").chopped(2) + requestLines +
                           "\r\n"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), kWait);
    for (qsizetype at = 0; at < response.size(); at += 7) {
        origin.send(0, response.mid(at, 7));
        QVERIFY(origin.socket(0)->waitForBytesWritten(kWait) ||
                origin.socket(0)->bytesToWrite() == 0);
    }
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), relayed, kWait);
    if (isTunnel) {
        origin.send(0, "more");
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), relayed + "more", kWait);
        return;
    }
    QVERIFY(client.sendNow(absoluteGet(origin.authority(), "/next")));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(1), kWait);
    origin.send(1, okResponse("next"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), relayed + okResponse("next"), kWait);
}

void TestResponseRules::headOverTheBoundGetsThePage_data()
{
    QTest::addColumn<QByteArray>("before"); // relayed to the browser before the large head
    QTest::newRow("nothing relayed yet: the page") << QByteArray();
    QTest::newRow("after an interim head: only the close")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\n");
}

// A head the list cannot hold whole is never relayed in part.
void TestResponseRules::headOverTheBoundGetsThePage()
{
    QFETCH(QByteArray, before);
    RunningEngine proxy(QString(), QString(), tickResponseList);
    QVERIFY(proxy.isRunning());
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    client.connectTo(proxy.port());
    QVERIFY(client.sendNow(absoluteGet(origin.authority(), "/")));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), kWait);
    const QByteArray filler = "X-Filler: " + QByteArray(1000, 'f') + "\r\n";
    origin.send(0, before + "HTTP/1.1 200 OK\r\n" +
                       filler.repeated(ResponseFramer::kMaxHeadBytes / filler.size() + 1));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);
    const QByteArray page =
        expectedPage("10040", "Message too long: the server's response head is too large");
    QCOMPARE(client.received(), before.isEmpty() ? page : before);
}

QTEST_MAIN(TestResponseRules)
#include "test_response_rules.moc"
