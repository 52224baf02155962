// The proxy as a browser meets it: the real window started on a port the system chose, raw client
// connections sending absolute-URI requests, and origin servers written here that answer as
// each test scripts.
#include <QCryptographicHash>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "net/http/error_page.h"
#include "support/expected_page.h"
#include "support/fixed_names.h"
#include "support/origin_server.h"
#include "support/running_engine.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr int kLongWait = 120000; // bounds the waits that move tens of megabytes

const QByteArray kRequestLogLine = "\tNew Request Received From\t127.0.0.1\r\n";

QByteArray withOrigin(QByteArray text, const QByteArray &authority)
{
    return text.replace("{origin}", authority);
}

// The origin answers every request with its path as the body, and keeps the connection open.
void answerWithPath(OriginServer &origin)
{
    origin.onRequest = [&origin](int connection) {
        const QByteArray received = origin.received(connection);
        const QByteArray path = received.left(received.indexOf("\r\n")).split(' ').value(1);
        origin.send(connection, okResponse(path));
    };
}

} // namespace

class TestProxyEndToEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void errorPageIsThePiecesAroundNumberAndDescription_data();
    void errorPageIsThePiecesAroundNumberAndDescription();

    void getInOneChunkGoesUpstreamAtOnceWithOneLogLine();
    void originIsReachedByAnyFormOfItsName_data();
    void originIsReachedByAnyFormOfItsName();
    void requestGoesUpstreamOnceItsHeadIsComplete_data();
    void requestGoesUpstreamOnceItsHeadIsComplete();
    void pipelinedRequestsAreEachRewrittenLoggedAndAnsweredInOrder_data();
    void pipelinedRequestsAreEachRewrittenLoggedAndAnsweredInOrder();
    void unframeableRequestGetsTheBadRequestPage_data();
    void unframeableRequestGetsTheBadRequestPage();
    void expectContinueIsAnsweredByTheOrigin();
    void followingRequestOpensANewUpstreamConnection_data();
    void followingRequestOpensANewUpstreamConnection();
    void requestWhileResponseIsRelayedWaitsForItsEnd();
    void earlierResponseDrainingWhileConnectingKeepsTheNextRequest();
    void heldStartOfTheNextRequestIsServedOnceItIsWhole_data();
    void heldStartOfTheNextRequestIsServedOnceItIsWhole();
    void switchingProtocolsMakesATunnelOnlyWhenAskedFor_data();
    void switchingProtocolsMakesATunnelOnlyWhenAskedFor();
    void bytesPastTheEndOfAResponseAreDropped_data();
    void bytesPastTheEndOfAResponseAreDropped();

    void lastPieceThenCloseDeliversEverythingBeforeTheClose();
    void serverCloseWhileResponseIsQueuedWaitsForDelivery();
    void serverCloseAfterEverythingWasSentClosesBrowser();
    void keptOpenServerClosingWhileBrowserIdlesClosesBrowser();
    void serverCloseWithoutResponseOnFreshConnectionStalls();
    void serverCloseWithoutResponseAfterEarlierExchangeResets();
    void largeResponseToSlowReaderArrivesExact();
    void browserGoingAwayClosesUpstream();

    void upstreamFailureSendsErrorPageThenCloses_data();
    void upstreamFailureSendsErrorPageThenCloses();
    void originResetAfterPartialResponseAppendsPage();
    void refusalIsAnsweredAfterTheBrowsersBytesAreTaken_data();
    void refusalIsAnsweredAfterTheBrowsersBytesAreTaken();

    void curlDownloadsThroughTheProxy();

private:
    QString counter() const { return m_proxy->counter(); }
    int requestLogLines() const { return int(readFileBytes(m_logPath).count(kRequestLogLine)); }
    // Connects a client to the proxy and waits until the proxy counts it.
    bool connectClient(ProxyClient &client);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RunningEngine> m_proxy;
    QString m_logPath;
    // Held for the whole run, so that the rows that need a refused connection can name it.
    RefusingPort m_refusingPort;
};

void TestProxyEndToEnd::initTestCase()
{
    installFixedAnswers();
    QVERIFY(m_refusingPort.port() != 0);
}

void TestProxyEndToEnd::cleanupTestCase()
{
    removeFixedAnswers();
}

void TestProxyEndToEnd::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_logPath = m_dir->filePath(QStringLiteral("proxy.log"));
    m_proxy = std::make_unique<RunningEngine>(m_logPath);
    QVERIFY(m_proxy->isRunning());
    QVERIFY(QFile::exists(m_logPath));
}

void TestProxyEndToEnd::cleanup()
{
    if (m_proxy)
        QVERIFY(m_proxy->stop());
    m_proxy.reset();
    m_dir.reset();
}

bool TestProxyEndToEnd::connectClient(ProxyClient &client)
{
    client.connectTo(m_proxy->port());
    return QTest::qWaitFor([&] { return client.isConnected() && counter() == QStringLiteral("1"); },
                           10000);
}

void TestProxyEndToEnd::errorPageIsThePiecesAroundNumberAndDescription_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("description");
    QTest::addColumn<QByteArray>("numberText");
    QTest::addColumn<QByteArray>("descriptionBytes");

    QTest::newRow("refused") << 10061 << QStringLiteral("Connection refused") << QByteArray("10061")
                             << QByteArray("Connection refused");
    QTest::newRow("host not found") << 11001 << QStringLiteral("Host not found")
                                    << QByteArray("11001") << QByteArray("Host not found");
    QTest::newRow("one digit, no padding")
        << 7 << QStringLiteral("x") << QByteArray("7") << QByteArray("x");
    QTest::newRow("zero") << 0 << QStringLiteral("zero") << QByteArray("0") << QByteArray("zero");
    QTest::newRow("negative keeps its sign")
        << -1 << QStringLiteral("Unknown socket error") << QByteArray("-1")
        << QByteArray("Unknown socket error");
    QTest::newRow("smallest 16-bit")
        << -32768 << QStringLiteral("low") << QByteArray("-32768") << QByteArray("low");
    QTest::newRow("largest 16-bit")
        << 32767 << QStringLiteral("high") << QByteArray("32767") << QByteArray("high");
    QTest::newRow("empty description")
        << 10060 << QStringLiteral("") << QByteArray("10060") << QByteArray();
    QTest::newRow("markup and quotes pass as they are")
        << 1 << QStringLiteral("<b>\"quoted\"</b> & more") << QByteArray("1")
        << QByteArray("<b>\"quoted\"</b> & more");
    QTest::newRow("one byte per character")
        << 2 << QString::fromLatin1("caf\xe9") << QByteArray("2") << QByteArray("caf\xe9");
}

void TestProxyEndToEnd::errorPageIsThePiecesAroundNumberAndDescription()
{
    QFETCH(int, number);
    QFETCH(QString, description);
    QFETCH(QByteArray, numberText);
    QFETCH(QByteArray, descriptionBytes);
    QCOMPARE(errorPage(qint16(number), description), expectedPage(numberText, descriptionBytes));
}

void TestProxyEndToEnd::getInOneChunkGoesUpstreamAtOnceWithOneLogLine()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("hello"));
        origin.close(connection);
    };
    ProxyClient client;
    QVERIFY(connectClient(client));

    client.send(absoluteGet(origin.authority(), "/index.html?q=1"));
    QTRY_COMPARE_WITH_TIMEOUT(origin.connectionCount(), 1, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), 10000);
    QCOMPARE(origin.received(0),
             "GET /index.html?q=1 HTTP/1.1\r\nHost: " + origin.authority() + "\r\n\r\n");
    QCOMPARE(requestLogLines(), 1);

    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("hello"));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
    QCOMPARE(origin.connectionCount(), 1);
    QCOMPARE(requestLogLines(), 1);
}

void TestProxyEndToEnd::originIsReachedByAnyFormOfItsName_data()
{
    // The request's Host line, "{authority}" standing for the origin's host and port.
    QTest::addColumn<QString>("listenOn");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("hostLine");

    const QByteArray plain = "Host: {authority}";
    QTest::newRow("IPv4 address") << QStringLiteral("127.0.0.1") << QByteArray("127.0.0.1")
                                  << plain;
    QTest::newRow("IPv6 literal") << QStringLiteral("::1") << QByteArray("[::1]") << plain;
    QTest::newRow("localhost, looked up")
        << QStringLiteral("127.0.0.1") << QByteArray("localhost") << plain;
    // Each address is tried in turn: ::1 refuses, 127.0.0.1 answers.
    QTest::newRow("first address refuses")
        << QStringLiteral("127.0.0.1") << kDualStackHost << plain;
    // Header names have no letter case, and the value is taken whole.
    QTest::newRow("host:") << QStringLiteral("127.0.0.1") << QByteArray("127.0.0.1")
                           << QByteArray("host: {authority}");
    QTest::newRow("HOST:") << QStringLiteral("127.0.0.1") << QByteArray("127.0.0.1")
                           << QByteArray("HOST: {authority}");
    QTest::newRow("Host:x") << QStringLiteral("127.0.0.1") << QByteArray("127.0.0.1")
                            << QByteArray("Host:{authority}");
    QTest::newRow("Host: tab x blank tab") << QStringLiteral("127.0.0.1") << QByteArray("127.0.0.1")
                                           << QByteArray("Host: \t{authority} \t");
}

void TestProxyEndToEnd::originIsReachedByAnyFormOfItsName()
{
    QFETCH(QString, listenOn);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, hostLine);
    OriginServer origin;
    if (!origin.listen(QHostAddress(listenOn)))
        QSKIP("this machine cannot listen on the address");
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("found"));
        origin.close(connection);
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    const QByteArray authority = host + ':' + QByteArray::number(origin.port());
    const QByteArray line = QByteArray(hostLine).replace("{authority}", authority);
    client.send("GET http://" + authority + "/ HTTP/1.1\r\n" + line + "\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("found"));
    QCOMPARE(origin.received(0), "GET / HTTP/1.1\r\n" + line + "\r\n\r\n");
}

void TestProxyEndToEnd::requestGoesUpstreamOnceItsHeadIsComplete_data()
{
    // The pieces are sent one by one. Nothing reaches the origin before the header block is
    // complete; the body follows as it arrives. "{origin}" stands for the origin server's host
    // and port.
    QTest::addColumn<QByteArrayList>("pieces");
    QTest::addColumn<QByteArray>("forwarded");

    const QByteArray post = "POST http://{origin}/form HTTP/1.1\r\nHost: {origin}\r\n";
    const QByteArray forwardedPost = "POST /form HTTP/1.1\r\nHost: {origin}\r\n";

    QTest::newRow("Content-Length 10 as header, 4, then 6")
        << QByteArrayList{post + "Content-Length: 10\r\n\r\n", "abcd", "efghij"}
        << forwardedPost + "Content-Length: 10\r\n\r\nabcdefghij";
    QTest::newRow("CONTENT-LENGTH")
        << QByteArrayList{post + "CONTENT-LENGTH: 10\r\n\r\n", "abcd", "efghij"}
        << forwardedPost + "CONTENT-LENGTH: 10\r\n\r\nabcdefghij";
    const QByteArray thousand = patternBytes(1000, 1);
    const QByteArray rest = patternBytes(234, 2);
    QTest::newRow("Content-Length:1234 without a blank")
        << QByteArrayList{post + "Content-Length:1234\r\n\r\n" + thousand, rest}
        << forwardedPost + "Content-Length:1234\r\n\r\n" + thousand + rest;
    QTest::newRow("X-Content-Length before the real one")
        << QByteArrayList{post + "X-Content-Length: 3\r\nContent-Length: 8\r\n\r\nabc", "defgh"}
        << forwardedPost + "X-Content-Length: 3\r\nContent-Length: 8\r\n\r\nabcdefgh";
    QTest::newRow("header block split over three pieces")
        << QByteArrayList{"POST http://{origin}/form HTTP/1.1\r\nHo",
                          "st: {origin}\r\nContent-Length: 2\r\n\r", "\nhi"}
        << forwardedPost + "Content-Length: 2\r\n\r\nhi";
    QTest::newRow("chunked, sizes split from their data")
        << QByteArrayList{post + "Transfer-Encoding: chunked\r\n\r\n4;x=y\r\nWi", "ki\r\n5\r\npe",
                          "dia\r\n0\r\nExpires: 0\r\n\r\n"}
        << forwardedPost + "Transfer-Encoding: chunked\r\n\r\n4;x=y\r\nWiki\r\n5\r\npedia\r\n0\r\n"
                           "Expires: 0\r\n\r\n";
}

void TestProxyEndToEnd::requestGoesUpstreamOnceItsHeadIsComplete()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(QByteArray, forwarded);

    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));

    const QByteArray expected = withOrigin(forwarded, origin.authority());
    QByteArray sent;
    int others = 0; // exchanges of serveAnotherBrowser(), which are logged too
    for (const QByteArray &rawPiece : std::as_const(pieces)) {
        const QByteArray piece = withOrigin(rawPiece, origin.authority());
        client.send(piece);
        sent += piece;
        // The request entry comes with the first piece.
        QTRY_COMPARE_WITH_TIMEOUT(requestLogLines(), 1 + others, 10000);
        if (!sent.contains("\r\n\r\n")) {
            // The proxy has had its chance at the piece, and connected nowhere.
            QVERIFY(m_proxy->serveAnotherBrowser());
            ++others;
            QCOMPARE(origin.connectionCount(), 0);
            continue;
        }
        // The rewritten head has gone upstream, and whatever has come of the body with it.
        const qsizetype bodySent = sent.size() - (sent.indexOf("\r\n\r\n") + 4);
        const QByteArray passedOn = expected.left(expected.indexOf("\r\n\r\n") + 4 + bodySent);
        QTRY_COMPARE_WITH_TIMEOUT(origin.received(0), passedOn, 10000);
        QCOMPARE(origin.connectionCount(), 1);
    }
    QTRY_COMPARE_WITH_TIMEOUT(origin.received(0).size(), expected.size(), 10000);
    QCOMPARE(origin.received(0), expected);

    origin.send(0, okResponse("done"));
    origin.close(0);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("done"));
    QCOMPARE(origin.connectionCount(), 1);
    QCOMPARE(requestLogLines(), 1 + others);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::pipelinedRequestsAreEachRewrittenLoggedAndAnsweredInOrder_data()
{
    // Requests sent at once, each to origin "a" or "b" ({a}, {b}: their host and port), and the
    // answer each gets. The origins keep their connections open, so only the framing of each
    // response tells the proxy that the next request may go.
    QTest::addColumn<QByteArray>("origins");
    QTest::addColumn<QByteArrayList>("requests");
    QTest::addColumn<QByteArrayList>("forwarded");
    QTest::addColumn<QByteArrayList>("responses");

    const QByteArray get = "GET http://{a}/%1 HTTP/1.1\r\nHost: {a}\r\nUser-Agent: B/1\r\n\r\n";
    const QByteArray forwardedGet = "GET /%1 HTTP/1.1\r\nHost: {a}\r\n\r\n";
    auto request = [](const QByteArray &form, const char *path) {
        return QByteArray(form).replace("%1", path);
    };
    QTest::newRow("three GETs, each rewritten")
        << QByteArray("aaa")
        << QByteArrayList{request(get, "1"), request(get, "2"), request(get, "3")}
        << QByteArrayList{request(forwardedGet, "1"), request(forwardedGet, "2"),
                          request(forwardedGet, "3")}
        << QByteArrayList{okResponse("one"), okResponse("two"), okResponse("three")};
    QTest::newRow("two origins")
        << QByteArray("ab")
        << QByteArrayList{request(get, "1"), QByteArray(request(get, "2")).replace("{a}", "{b}")}
        << QByteArrayList{request(forwardedGet, "1"),
                          QByteArray(request(forwardedGet, "2")).replace("{a}", "{b}")}
        << QByteArrayList{okResponse("from a"), okResponse("from b")};
    QTest::newRow("HEAD then GET")
        << QByteArray("aa")
        << QByteArrayList{QByteArray(request(get, "1")).replace("GET ", "HEAD "), request(get, "2")}
        << QByteArrayList{QByteArray(request(forwardedGet, "1")).replace("GET ", "HEAD "),
                          request(forwardedGet, "2")}
        << QByteArrayList{"HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", okResponse("after")};
    QTest::newRow("204 then GET") << QByteArray("aa")
                                  << QByteArrayList{request(get, "1"), request(get, "2")}
                                  << QByteArrayList{request(forwardedGet, "1"),
                                                    request(forwardedGet, "2")}
                                  << QByteArrayList{"HTTP/1.1 204 No Content\r\n\r\n",
                                                    okResponse("after")};
    QTest::newRow("304 then GET")
        << QByteArray("aa") << QByteArrayList{request(get, "1"), request(get, "2")}
        << QByteArrayList{request(forwardedGet, "1"), request(forwardedGet, "2")}
        << QByteArrayList{"HTTP/1.1 304 Not Modified\r\nContent-Length: 100\r\n\r\n",
                          okResponse("after")};
    QTest::newRow("100 Continue, then the answer, then GET")
        << QByteArray("aa") << QByteArrayList{request(get, "1"), request(get, "2")}
        << QByteArrayList{request(forwardedGet, "1"), request(forwardedGet, "2")}
        << QByteArrayList{"HTTP/1.1 100 Continue\r\n\r\n" + okResponse("final"),
                          okResponse("after")};
    QTest::newRow("a body, then GET")
        << QByteArray("aa")
        << QByteArrayList{"POST http://{a}/f HTTP/1.1\r\nHost: {a}\r\nUser-Agent: B/1\r\n"
                          "Content-Length: 4\r\n\r\nabcd",
                          request(get, "2")}
        << QByteArrayList{"POST /f HTTP/1.1\r\nHost: {a}\r\nContent-Length: 4\r\n\r\nabcd",
                          request(forwardedGet, "2")}
        << QByteArrayList{"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                          "3\r\nabc\r\n0\r\n\r\n",
                          okResponse("after")};
}

// A browser that pipelines sends its requests at once. Each is handled in turn once the
// previous response has been read whole: logged, rewritten by the rules, sent to its own origin
// on a connection of its own, and answered in order.
void TestProxyEndToEnd::pipelinedRequestsAreEachRewrittenLoggedAndAnsweredInOrder()
{
    QFETCH(QByteArray, origins);
    QFETCH(QByteArrayList, requests);
    QFETCH(QByteArrayList, forwarded);
    QFETCH(QByteArrayList, responses);

    OriginServer a;
    OriginServer b;
    QVERIFY(a.listen());
    QVERIFY(b.listen());
    auto fill = [&](QByteArray text) {
        return text.replace("{a}", a.authority()).replace("{b}", b.authority());
    };
    // Origin x's k-th connection carries the k-th request for x.
    QList<qsizetype> requestOf[2];
    for (qsizetype i = 0; i < origins.size(); ++i)
        requestOf[origins.at(i) == 'a' ? 0 : 1].append(i);
    for (OriginServer *origin : {&a, &b}) {
        const QList<qsizetype> &mine = requestOf[origin == &a ? 0 : 1];
        origin->onRequest = [origin, mine, &responses](int connection) {
            if (connection < mine.size())
                origin->send(connection, responses.at(mine.at(connection)));
        };
    }

    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(fill(requests.join()));
    const QByteArray allResponses = responses.join();
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), allResponses, 10000);

    for (OriginServer *origin : {&a, &b}) {
        const QList<qsizetype> &mine = requestOf[origin == &a ? 0 : 1];
        QCOMPARE(origin->connectionCount(), int(mine.size()));
        for (int connection = 0; connection < mine.size(); ++connection)
            QCOMPARE(origin->received(connection), fill(forwarded.at(mine.at(connection))));
    }
    QCOMPARE(requestLogLines(), int(requests.size()));
    QCOMPARE(int(readFileBytes(m_logPath).count("\t\t\t    User-Agent: B/1\r\n")),
             int(requests.size()));
    // Every exchange but the last has had its upstream connection closed.
    auto openConnections = [&] {
        int open = 0;
        for (OriginServer *origin : {&a, &b}) {
            for (int connection = 0; connection < origin->connectionCount(); ++connection)
                open += origin->isDisconnected(connection) ? 0 : 1;
        }
        return open;
    };
    QTRY_COMPARE_WITH_TIMEOUT(openConnections(), 1, 10000);
    // The browser's connection stays, even once the proxy has had time to close it.
    QVERIFY(m_proxy->serveAnotherBrowser());
    QVERIFY(!client.isDisconnected());
    QCOMPARE(openConnections(), 1);
    QTRY_COMPARE(counter(), QStringLiteral("1"));
}

void TestProxyEndToEnd::unframeableRequestGetsTheBadRequestPage_data()
{
    // Requests whose body's end the proxy and an origin could tell apart differently: the ways
    // a second request is smuggled past the rules. "{origin}" is the origin's host and port.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<bool>("isHeadForwarded");

    const QByteArray post = "POST http://{origin}/f HTTP/1.1\r\nHost: {origin}\r\n";
    QTest::newRow("two different lengths")
        << post + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello!" << false;
    QTest::newRow("a list of different lengths")
        << post + "Content-Length: 5, 6\r\n\r\nhello!" << false;
    QTest::newRow("a negative length") << post + "Content-Length: -5\r\n\r\n" << false;
    QTest::newRow("a fraction") << post + "Content-Length: 5.0\r\n\r\nhello" << false;
    QTest::newRow("above 2^63-1") << post + "Content-Length: 9223372036854775808\r\n\r\n" << false;
    QTest::newRow("a length and chunked")
        << post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
        << false;
    QTest::newRow("a coding that does not end in chunked")
        << post + "Transfer-Encoding: chunked, gzip\r\n\r\nhello" << false;
    QTest::newRow("a bad chunk size")
        << post + "Transfer-Encoding: chunked\r\n\r\n5\r\nhello\r\nzz\r\nGET /x HTTP/1.1\r\n\r\n"
        << true;
}

void TestProxyEndToEnd::unframeableRequestGetsTheBadRequestPage()
{
    QFETCH(QByteArray, request);
    QFETCH(bool, isHeadForwarded);

    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(withOrigin(request, origin.authority()));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), expectedPage("400", unframeableDescription().toLatin1()));
    QCOMPARE(requestLogLines(), 1);
    QVERIFY(readFileBytes(m_logPath).contains("\t\t\t    Host: " + origin.authority()));
    if (isHeadForwarded) {
        // The head went upstream before its body turned out malformed; the rest did not, and
        // the upstream connection is closed.
        QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(0), 10000);
        QVERIFY(!origin.received(0).contains("zz"));
    } else {
        QCOMPARE(origin.connectionCount(), 0);
    }
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// A client that sends "Expect: 100-continue" waits for the origin's "100 Continue" before it
// sends its body; the proxy passes the head on at once and relays the interim answer.
void TestProxyEndToEnd::expectContinueIsAnsweredByTheOrigin()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    const QByteArray head = "PUT http://" + origin.authority() +
                            "/up HTTP/1.1\r\nHost: " + origin.authority() +
                            "\r\nContent-Length: 5\r\nExpect: 100-continue\r\n\r\n";
    client.send(head);
    QTRY_VERIFY_WITH_TIMEOUT(origin.received(0).endsWith("Expect: 100-continue\r\n\r\n"), 10000);
    const QByteArray interim = "HTTP/1.1 100 Continue\r\n\r\n";
    origin.send(0, interim);
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), interim, 10000);

    client.send("hello");
    QTRY_VERIFY_WITH_TIMEOUT(origin.received(0).endsWith("\r\n\r\nhello"), 10000);
    origin.send(0, okResponse("stored"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), interim + okResponse("stored"), 10000);
}

void TestProxyEndToEnd::followingRequestOpensANewUpstreamConnection_data()
{
    QTest::addColumn<bool>("isSameOrigin");
    QTest::newRow("two different origins") << false;
    QTest::newRow("the same origin twice") << true;
}

// A server that keeps its connection open leaves the slot delivered; the next request closes
// that upstream connection and opens a new one.
void TestProxyEndToEnd::followingRequestOpensANewUpstreamConnection()
{
    QFETCH(bool, isSameOrigin);
    OriginServer first;
    OriginServer second;
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    OriginServer &next = isSameOrigin ? first : second;
    const int nextIndex = isSameOrigin ? 1 : 0;

    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(first.authority(), "/one"));
    QTRY_VERIFY_WITH_TIMEOUT(first.hasRequest(0), 10000);
    first.send(0, okResponse("first"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("first"), 10000);
    // Delivered, and both connections stay, even once the proxy has had time to close them.
    QVERIFY(m_proxy->serveAnotherBrowser());
    QVERIFY(!first.isDisconnected(0));
    QVERIFY(!client.isDisconnected());
    QTRY_COMPARE(counter(), QStringLiteral("1"));

    client.send(absoluteGet(next.authority(), "/two"));
    QTRY_VERIFY_WITH_TIMEOUT(first.isDisconnected(0), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(next.hasRequest(nextIndex), 10000);
    QCOMPARE(next.received(nextIndex),
             "GET /two HTTP/1.1\r\nHost: " + next.authority() + "\r\n\r\n");
    next.send(nextIndex, okResponse("second"));
    next.close(nextIndex);

    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("first") + okResponse("second"));
    QCOMPARE(requestLogLines(), 2 + 1); // and the other browser's
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// The browser sends its next request while the first response is still coming (the browser
// reads slowly, so the proxy holds the origin back): the next request waits until the first
// response has been read whole, then goes to its origin on a connection of its own, and the
// browser gets both responses whole and in order.
void TestProxyEndToEnd::requestWhileResponseIsRelayedWaitsForItsEnd()
{
    OriginServer first;
    OriginServer second;
    QVERIFY(first.listen());
    QVERIFY(second.listen());
    const QByteArray firstResponse = okResponse(patternBytes(16 * 1024 * 1024, 3));
    second.onRequest = [&](int connection) {
        second.send(connection, okResponse("second"));
        second.close(connection);
    };

    ProxyClient client;
    QVERIFY(connectClient(client));
    client.holdReading();
    client.send(absoluteGet(first.authority(), "/big"));
    QTRY_VERIFY_WITH_TIMEOUT(first.hasRequest(0), 10000);
    first.send(0, firstResponse);
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesWaiting() > 0, kLongWait);

    client.send(absoluteGet(second.authority(), "/small"));
    // Not handled yet, though the proxy has had its chance: the first response is still coming.
    QVERIFY(m_proxy->serveAnotherBrowser());
    QVERIFY(!first.isDisconnected(0));
    QCOMPARE(second.connectionCount(), 0);

    client.resumeReading();
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kLongWait);
    QCOMPARE(client.received().size(), firstResponse.size() + okResponse("second").size());
    QVERIFY(client.received() == firstResponse + okResponse("second"));
    // The first origin kept its connection open; the proxy closed it for the second request.
    QVERIFY(first.isDisconnected(0));
    QCOMPARE(requestLogLines(), 2 + 1); // and the other browser's
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// The browser's next request waits for the end of the previous response; then the rest of that
// response drains while the next request's upstream connection is still being made (its name
// is still being looked up): the send-complete report must not end the exchange, or the new
// request would be dropped unanswered.
void TestProxyEndToEnd::earlierResponseDrainingWhileConnectingKeepsTheNextRequest()
{
    OriginServer first;
    OriginServer next;
    QVERIFY(first.listen());
    QVERIFY(next.listen());
    const QByteArray nextResponse = okResponse("next");
    next.onRequest = [&](int connection) {
        next.send(connection, nextResponse);
        next.close(connection);
    };

    const QByteArray firstResponse = okResponse(patternBytes(16 * 1024 * 1024, 7));
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.holdReading();
    client.send(absoluteGet(first.authority(), "/big"));
    QTRY_VERIFY_WITH_TIMEOUT(first.hasRequest(0), 10000);
    first.send(0, firstResponse);
    QTRY_VERIFY_WITH_TIMEOUT(client.bytesWaiting() > 0, kLongWait);

    client.send(absoluteGet(kSlowHost + ":" + QByteArray::number(next.port()), "/next"));
    client.resumeReading();
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kLongWait);
    QCOMPARE(client.received().size(), firstResponse.size() + nextResponse.size());
    QVERIFY(client.received() == firstResponse + nextResponse);
    QCOMPARE(requestLogLines(), 2);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::heldStartOfTheNextRequestIsServedOnceItIsWhole_data()
{
    // Request 1 goes to origin a, request 2 to a again or to b. With request 1 the browser sends
    // gap and the first `held` bytes of request 2 (negative: all but that many); once response
    // 1 has arrived, gapAfter on its own, then the rest of request 2.
    QTest::addColumn<bool>("isSameOrigin");
    QTest::addColumn<int>("held");
    QTest::addColumn<QByteArray>("gap");
    QTest::addColumn<QByteArray>("gapAfter");

    constexpr int kWhole = 1 << 20;
    for (const bool isSameOrigin : {true, false}) {
        const char *where = isSameOrigin ? "same origin" : "second origin";
        QTest::addRow("nothing held, %s", where)
            << isSameOrigin << 0 << QByteArray() << QByteArray();
        QTest::addRow("1 byte held, %s", where)
            << isSameOrigin << 1 << QByteArray() << QByteArray();
        QTest::addRow("20 bytes held, %s", where)
            << isSameOrigin << 20 << QByteArray() << QByteArray();
        QTest::addRow("all but the blank line held, %s", where)
            << isSameOrigin << -4 << QByteArray() << QByteArray();
    }
    // An empty line before a request line is skipped.
    QTest::newRow("CR LF between, sent together")
        << false << kWhole << QByteArray("\r\n") << QByteArray();
    QTest::newRow("CR LF alone after the response")
        << false << 0 << QByteArray() << QByteArray("\r\n");
}

// When a response ends, whatever the browser has already sent of its next request starts that
// request, however little it is; a head still incomplete waits for its rest, then goes out on
// an upstream connection of its own. The browser's connection stays open throughout.
void TestProxyEndToEnd::heldStartOfTheNextRequestIsServedOnceItIsWhole()
{
    QFETCH(bool, isSameOrigin);
    QFETCH(int, held);
    QFETCH(QByteArray, gap);
    QFETCH(QByteArray, gapAfter);

    OriginServer a;
    OriginServer b;
    QVERIFY(a.listen());
    QVERIFY(b.listen());
    answerWithPath(a);
    answerWithPath(b);
    OriginServer &second = isSameOrigin ? a : b;
    const int secondIndex = isSameOrigin ? 1 : 0;

    ProxyClient client;
    QVERIFY(connectClient(client));
    const QByteArray request2 = "GET http://" + second.authority() +
                                "/two HTTP/1.1\r\nHost: " + second.authority() +
                                "\r\nUser-Agent: B/1\r\n\r\n";
    const qsizetype cut =
        held < 0 ? request2.size() + held : qMin<qsizetype>(held, request2.size());
    client.send(absoluteGet(a.authority(), "/one") + gap + request2.left(cut));
    QTRY_VERIFY_WITH_TIMEOUT(client.received().startsWith(okResponse("/one")), 10000);
    if (!gapAfter.isEmpty()) {
        client.send(gapAfter);
        // The proxy takes the gap on its own before the request follows.
        QVERIFY(m_proxy->serveAnotherBrowser());
    }
    client.send(request2.mid(cut));
    // A plain wait: QTRY would wait three times as long before it reports a failure.
    const QByteArray both = okResponse("/one") + okResponse("/two");
    QVERIFY2(QTest::qWaitFor([&] { return client.received().size() >= both.size(); }, 10000),
             client.received().constData());
    QCOMPARE(client.received(), both);
    QCOMPARE(second.received(secondIndex),
             "GET /two HTTP/1.1\r\nHost: " + second.authority() + "\r\n\r\n");

    // Still open: the connection serves one more request.
    client.send(absoluteGet(a.authority(), "/three"));
    QTRY_COMPARE_WITH_TIMEOUT(
        client.received(), okResponse("/one") + okResponse("/two") + okResponse("/three"), 10000);
    QVERIFY(!client.isDisconnected());
}

void TestProxyEndToEnd::switchingProtocolsMakesATunnelOnlyWhenAskedFor_data()
{
    // The request's upgrade header lines, as they go upstream (the default rules keep them).
    QTest::addColumn<QByteArray>("upgradeLines");
    QTest::addColumn<bool>("isEarlierExchange");
    QTest::addColumn<bool>("isTunnel");

    QTest::newRow("nothing asked, first exchange") << QByteArray() << false << false;
    QTest::newRow("nothing asked, after an earlier exchange") << QByteArray() << true << false;
    QTest::newRow("Upgrade without the Connection token")
        << QByteArray("Upgrade: websocket\r\n") << false << false;
    QTest::newRow("Connection: Upgrade without Upgrade")
        << QByteArray("Connection: Upgrade\r\n") << false << false;
    QTest::newRow("asked for") << QByteArray("Connection: Upgrade\r\nUpgrade: websocket\r\n")
                               << false << true;
    QTest::newRow("asked for among other tokens, after an earlier exchange")
        << QByteArray("Connection: keep-alive, Upgrade\r\nUpgrade: websocket\r\n") << true << true;
}

// A 101 answer to a request that asked to switch protocols turns the connection into a tunnel.
// To any other request it is invalid: its head reaches the browser and nothing after it, both
// connections end, and the browser's next request, already sent, goes nowhere.
void TestProxyEndToEnd::switchingProtocolsMakesATunnelOnlyWhenAskedFor()
{
    QFETCH(QByteArray, upgradeLines);
    QFETCH(bool, isEarlierExchange);
    QFETCH(bool, isTunnel);

    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    int index = 0;
    QByteArray earlier;
    if (isEarlierExchange) {
        client.send(absoluteGet(origin.authority(), "/earlier"));
        QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), 10000);
        origin.send(0, okResponse("earlier"));
        earlier = okResponse("earlier");
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), earlier, 10000);
        index = 1;
    }

    const QByteArray forwarded =
        "GET /chat HTTP/1.1\r\nHost: " + origin.authority() + "\r\n" + upgradeLines + "\r\n";
    const QByteArray request = "GET http://" + origin.authority() +
                               "/chat HTTP/1.1\r\nHost: " + origin.authority() + "\r\n" +
                               upgradeLines + "\r\n";
    const QByteArray next = isTunnel ? QByteArray() : absoluteGet(origin.authority(), "/next");
    client.send(request + next);
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(index), 10000);
    QCOMPARE(origin.received(index), forwarded);
    const QByteArray switching =
        "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: websocket\r\n\r\n";
    origin.send(index, switching + "from the origin");

    if (isTunnel) {
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), earlier + switching + "from the origin",
                                  10000);
        client.send("from the browser");
        QTRY_COMPARE_WITH_TIMEOUT(origin.received(index), forwarded + "from the browser", 10000);
        origin.send(index, ", and back");
        QTRY_COMPARE_WITH_TIMEOUT(client.received(),
                                  earlier + switching + "from the origin, and back", 10000);
        return;
    }
    QTRY_VERIFY_WITH_TIMEOUT(client.received().size() >= (earlier + switching).size(), 10000);
    QCOMPARE(client.received(), earlier + switching);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), earlier + switching);
    QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(index), 10000);
    QCOMPARE(origin.received(index), forwarded);
    QCOMPARE(origin.connectionCount(), index + 1);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::bytesPastTheEndOfAResponseAreDropped_data()
{
    // The origin's first answer: a complete response, and more bytes in the same write.
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<QByteArray>("extra");
    // The browser's next request was sent with the first, so it is held when the response ends.
    QTest::addColumn<bool>("isNextHeld");

    const QByteArray chunked =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\none\r\n0\r\n\r\n";
    for (const bool isNextHeld : {true, false}) {
        const char *next = isNextHeld ? "next request held" : "no next request";
        QTest::addRow("a response after a Content-Length body, %s", next)
            << okResponse("one") << okResponse("smuggled") << isNextHeld;
        QTest::addRow("one byte after a Content-Length body, %s", next)
            << okResponse("one") << QByteArray("x") << isNextHeld;
        QTest::addRow("bytes after the last chunk, %s", next)
            << chunked << QByteArray("junk") << isNextHeld;
        QTest::addRow("bytes after a 204, %s", next)
            << QByteArray("HTTP/1.1 204 No Content\r\n\r\n") << QByteArray("junk") << isNextHeld;
    }
}

// What an origin sends past the end of its response, by the response's own framing, is dropped,
// and its connection is closed as if it had closed there: the browser never sees those bytes,
// and its next request goes out on a new upstream connection and gets its own answer.
void TestProxyEndToEnd::bytesPastTheEndOfAResponseAreDropped()
{
    QFETCH(QByteArray, response);
    QFETCH(QByteArray, extra);
    QFETCH(bool, isNextHeld);

    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&](int connection) {
        origin.send(connection, connection == 0 ? response + extra : okResponse("two"));
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    const QByteArray next = absoluteGet(origin.authority(), "/two");
    client.send(absoluteGet(origin.authority(), "/one") + (isNextHeld ? next : QByteArray()));
    if (!isNextHeld) {
        QTRY_VERIFY_WITH_TIMEOUT(client.received().size() >= response.size(), 10000);
        QVERIFY(m_proxy->serveAnotherBrowser());
        QCOMPARE(client.received(), response);
        // The proxy lets go of the origin by itself, without a next request to make it. (A
        // plain wait: QTRY would wait three times as long before it reports a failure.)
        QVERIFY2(QTest::qWaitFor([&] { return origin.isDisconnected(0); }, 10000),
                 "the proxy kept the origin's connection");
        return;
    }
    // The answer to the next request comes after the first response, and the extra bytes never.
    QTRY_VERIFY_WITH_TIMEOUT(client.received().size() >= (response + okResponse("two")).size(),
                             10000);
    QCOMPARE(client.received(), response + okResponse("two"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(0), 10000);
    QCOMPARE(origin.connectionCount(), 2);
    QCOMPARE(origin.received(1), "GET /two HTTP/1.1\r\nHost: " + origin.authority() + "\r\n\r\n");
}

void TestProxyEndToEnd::lastPieceThenCloseDeliversEverythingBeforeTheClose()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    const QByteArray response = okResponse(patternBytes(4 * 1024 * 1024, 4));
    origin.onRequest = [&](int connection) {
        origin.send(connection, response);
        origin.close(connection);
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/file"));

    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kLongWait);
    QCOMPARE(client.received().size(), response.size());
    QVERIFY(client.received() == response);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// The server sends a large response and closes at once, on a second exchange (where the flag
// was left true by the first one), to a browser that reads slowly. The proxy holds the origin
// back while the browser's queue is full, so the close is seen late; every byte must still go
// out before the browser's connection is closed.
void TestProxyEndToEnd::serverCloseWhileResponseIsQueuedWaitsForDelivery()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    const QByteArray secondResponse = okResponse(patternBytes(8 * 1024 * 1024, 8));
    origin.onRequest = [&](int connection) {
        if (connection == 0) {
            origin.send(connection, okResponse("first"));
        } else {
            origin.send(connection, secondResponse);
            origin.close(connection);
        }
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/first"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("first"), 10000);

    client.readSlowly(256 * 1024, 5);
    client.send(absoluteGet(origin.authority(), "/second"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(1), kLongWait);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kLongWait);
    QCOMPARE(client.received().size(), okResponse("first").size() + secondResponse.size());
    QVERIFY(client.received() == okResponse("first") + secondResponse);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::serverCloseAfterEverythingWasSentClosesBrowser()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), 10000);
    origin.send(0, okResponse("all of it"));
    // Everything has reached the browser before the server closes.
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("all of it"), 10000);

    origin.close(0);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("all of it"));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::keptOpenServerClosingWhileBrowserIdlesClosesBrowser()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("kept open"));
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("kept open"), 10000);

    // Delivered: both connections stay while neither side does anything, even once the proxy
    // has had time to close them.
    QVERIFY(m_proxy->serveAnotherBrowser());
    QVERIFY(!origin.isDisconnected(0));
    QVERIFY(!client.isDisconnected());
    QTRY_COMPARE(counter(), QStringLiteral("1"));

    origin.close(0);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("kept open"));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// On a fresh browser connection a server that closes without answering leaves the browser
// connection open and idle; the browser can still use it.
void TestProxyEndToEnd::serverCloseWithoutResponseOnFreshConnectionStalls()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        if (connection == 0)
            origin.close(connection);
        else
            origin.send(connection, okResponse("retry"));
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/silent"));

    QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(0), 10000);
    QCOMPARE(counter(), QStringLiteral("1"));
    QVERIFY(client.received().isEmpty());

    // Had the slot been reset, this request would find the connection closed.
    client.send(absoluteGet(origin.authority(), "/again"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(1), 10000);
    origin.close(1);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), okResponse("retry"));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// After a completed exchange the flag still says everything was sent, so a server that closes
// without answering the next request ends the browser connection at once.
void TestProxyEndToEnd::serverCloseWithoutResponseAfterEarlierExchangeResets()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        if (connection == 0)
            origin.send(connection, okResponse("earlier"));
        else
            origin.close(connection);
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/first"));
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("earlier"), 10000);

    client.send(absoluteGet(origin.authority(), "/second"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QVERIFY(origin.hasRequest(1));
    QCOMPARE(client.received(), okResponse("earlier"));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// Everything the server sends is taken at once and queued for a browser that reads slowly;
// nothing is lost, reordered or cut off by the server's close.
void TestProxyEndToEnd::largeResponseToSlowReaderArrivesExact()
{
    const QByteArray body = patternBytes(64 * 1024 * 1024, 5);
    const QByteArray header =
        "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n";
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&](int connection) {
        origin.send(connection, header + body);
        origin.close(connection);
    };
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.readSlowly(256 * 1024, 1);
    client.send(absoluteGet(origin.authority(), "/large"));

    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kLongWait);
    const QByteArray &received = client.received();
    QCOMPARE(received.size(), header.size() + body.size());
    QCOMPARE(received.left(header.size()), header);
    QCOMPARE(sha256(received.mid(header.size())), sha256(body));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::browserGoingAwayClosesUpstream()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/stream"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), 10000);
    const QByteArray start = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\nbegin";
    origin.send(0, start);
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), start, 10000);

    client.abort();
    QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(0), 10000);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::upstreamFailureSendsErrorPageThenCloses_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("numberText");
    QTest::addColumn<QString>("description");

    QTest::newRow("refused port") << absoluteGet("127.0.0.1:" +
                                                     QByteArray::number(m_refusingPort.port()),
                                                 "/")
                                  << QByteArray("10061") << QStringLiteral("Connection refused");
    QTest::newRow("unknown host") << absoluteGet(kUnknownHost, "/") << QByteArray("11001")
                                  << QStringLiteral("Host not found");
    QTest::newRow("no Host header: nothing to connect to")
        << QByteArray("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n") << QByteArray("11001")
        << QStringLiteral("Host not found");
    // Rewriting refuses the port, so nothing is connected at all.
    QTest::newRow("Host port out of range")
        << absoluteGet("127.0.0.1:99999", "/") << QByteArray("400") << badRequestDescription();
    QTest::newRow("no request target") << QByteArray("GET\r\nHost: 127.0.0.1:1\r\n\r\n")
                                       << QByteArray("400") << badRequestDescription();
    // A header block that never ends is refused once it passes the limit; the rest of what the
    // client sends is dropped.
    QTest::newRow("header block without end")
        << "GET http://127.0.0.1:1/ HTTP/1.1\r\nX-Filler: " + QByteArray(kMaxHeaderBytes + 1, 'f')
        << QByteArray("431") << headerTooLargeDescription();
}

void TestProxyEndToEnd::upstreamFailureSendsErrorPageThenCloses()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, numberText);
    QFETCH(QString, description);
    QVERIFY(!description.isEmpty());

    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(request);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 30000);
    QCOMPARE(client.received(), expectedPage(numberText, description.toLatin1()));
    QCOMPARE(requestLogLines(), 1);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::refusalIsAnsweredAfterTheBrowsersBytesAreTaken_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("isLookedUpBefore");

    QTest::newRow("IP literal") << QByteArray("127.0.0.1") << false;
    QTest::newRow("name answered from the cache") << QByteArray("localhost") << true;
}

// An address literal and a name already looked up are answered from the event loop like any
// lookup, never inside the call: the request, its body and the request after it, sent in one
// piece, are all taken before the refusal's page goes out, and what followed is dropped.
void TestProxyEndToEnd::refusalIsAnsweredAfterTheBrowsersBytesAreTaken()
{
    QFETCH(QByteArray, host);
    QFETCH(bool, isLookedUpBefore);
    const QByteArray authority = host + ':' + QByteArray::number(m_refusingPort.port());
    const QByteArray page = expectedPage("10061", "Connection refused");
    if (isLookedUpBefore) {
        ProxyClient first;
        QVERIFY(connectClient(first));
        first.send(absoluteGet(authority, "/first"));
        QTRY_VERIFY_WITH_TIMEOUT(first.isClosed(), 30000);
        QCOMPARE(first.received(), page);
        QTRY_COMPARE(counter(), QStringLiteral("0"));
    }

    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send("POST http://" + authority + "/ HTTP/1.1\r\nHost: " + authority +
                "\r\nContent-Length: 5\r\n\r\nhello" + absoluteGet(authority, "/next"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 30000);
    QCOMPARE(client.received(), page);
    QCOMPARE(requestLogLines(), isLookedUpBefore ? 2 : 1);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

// An origin that resets in the middle of its response: the browser gets what was relayed, then
// the error page for the reset, then the close.
void TestProxyEndToEnd::originResetAfterPartialResponseAppendsPage()
{
    OriginServer origin;
    QVERIFY(origin.listen());
    ProxyClient client;
    QVERIFY(connectClient(client));
    client.send(absoluteGet(origin.authority(), "/cut"));
    QTRY_VERIFY_WITH_TIMEOUT(origin.hasRequest(0), 10000);
    const QByteArray part =
        "HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + QByteArray(100, 'p');
    origin.send(0, part);
    QTRY_COMPARE_WITH_TIMEOUT(client.received(), part, 10000);

    // A reset, unlike a close, is an error: the page follows what was relayed.
    origin.reset(0);
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), 10000);
    QCOMPARE(client.received(), part + expectedPage("10054", "Connection reset by peer"));
    QVERIFY(origin.isDisconnected(0));
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

void TestProxyEndToEnd::curlDownloadsThroughTheProxy()
{
    const QString curl = QStringLiteral("/usr/bin/curl");
    if (!QFileInfo::exists(curl))
        QSKIP("/usr/bin/curl is not installed");

    const QByteArray body = patternBytes(3 * 1024 * 1024, 6);
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&](int connection) {
        origin.send(connection, "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                                "Content-Length: " +
                                    QByteArray::number(body.size()) +
                                    "\r\nConnection: close\r\n\r\n" + body);
        origin.close(connection);
    };

    const QString output = m_dir->filePath(QStringLiteral("download.bin"));
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name :
         {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.setProgram(curl);
    process.setArguments(
        {QStringLiteral("--silent"), QStringLiteral("--show-error"), QStringLiteral("--max-time"),
         QStringLiteral("60"), QStringLiteral("-x"),
         QStringLiteral("http://127.0.0.1:%1").arg(m_proxy->port()), QStringLiteral("-o"), output,
         QStringLiteral("http://%1/file.bin").arg(QString::fromLatin1(origin.authority()))});
    QSignalSpy finished(&process, &QProcess::finished);
    process.start();
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));
    QVERIFY(finished.wait(90000));
    QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
             process.readAllStandardError().constData());

    QVERIFY(origin.received(0).startsWith("GET /file.bin HTTP/1.1\r\n"));
    QVERIFY(!origin.received(0).contains("Proxy-Connection"));
    const QByteArray downloaded = readFileBytes(output);
    QCOMPARE(downloaded.size(), body.size());
    QVERIFY(downloaded == body);
    QTRY_COMPARE(counter(), QStringLiteral("0"));
}

QTEST_MAIN(TestProxyEndToEnd)
#include "test_proxy_end_to_end.moc"
