// What the proxy does about browsers that misbehave, by accident or on purpose: connections that
// hold a slot without progress, requests that name the proxy itself or, from another computer,
// this computer's own services, header bytes that could forge log entries, and request heads
// that a server behind the proxy could read otherwise than the proxy does. All of it through
// real connections to the real window, as a browser meets it.
#include <QHostAddress>
#include <QNetworkInterface>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <chrono>
#include <memory>

#include "net/http/error_page.h"
#include "net/rules/address_policy.h"
#include "net/session/session_timeouts.h"
#include "support/expected_page.h"
#include "support/fixed_names.h"
#include "support/origin_server.h"
#include "support/reliability_support.h"
#include "support/running_engine.h"
#include "support/test_support.h"

using namespace testsupport;
using namespace std::chrono_literals;

namespace {

// Bounds every wait; the deadlines themselves are far shorter, so this only ends a test that
// would otherwise hang.
constexpr int kWait = 10000;

const QByteArray kEstablished(kTunnelEstablished);
const QByteArray kRequestEntry = "\tNew Request Received From\t";
const QByteArray kHeaderEntry = "\t\t\t    ";

QByteArray withOrigin(QByteArray text, const QByteArray &authority)
{
    return text.replace("{origin}", authority);
}

QByteArray badRequestPage()
{
    return expectedPage("400", badRequestDescription().toLatin1());
}

QByteArray unframeablePage()
{
    return expectedPage("400", unframeableDescription().toLatin1());
}

// How a request is handed to the proxy: whole, a byte at a time, or in two halves with the
// proxy's turn at the first half in between. A head must be read the same way however it
// arrives.
enum class Pieces { Whole, ByteByByte, CutInTwo };
const Pieces kEveryWayOfSending[] = {Pieces::Whole, Pieces::ByteByByte, Pieces::CutInTwo};

const char *nameOf(Pieces pieces)
{
    switch (pieces) {
    case Pieces::Whole:
        return "whole";
    case Pieces::ByteByByte:
        return "byte by byte";
    case Pieces::CutInTwo:
        return "cut in two";
    }
    return "";
}

// Stops early once the proxy has answered or closed: what follows a refused head is dropped
// anyway, and writing into a closed connection would only earn a reset.
bool sendInPieces(ProxyClient &client, RunningEngine &proxy, const QByteArray &request,
                  Pieces pieces)
{
    const auto hasAnswered = [&client] {
        return client.isDisconnected() || !client.received().isEmpty();
    };
    switch (pieces) {
    case Pieces::Whole:
        return client.sendNow(request);
    case Pieces::ByteByByte:
        for (qsizetype i = 0; i < request.size() && !hasAnswered(); ++i) {
            if (!client.sendNow(request.mid(i, 1)))
                return hasAnswered();
        }
        return true;
    case Pieces::CutInTwo: {
        const qsizetype half = request.size() / 2;
        if (!client.sendNow(request.left(half)))
            return hasAnswered();
        if (!proxy.serveAnotherBrowser())
            return false;
        return hasAnswered() || client.sendNow(request.mid(half));
    }
    }
    return false;
}

// This machine's first IPv4 address that is not a loopback one; null when it has none.
QHostAddress ownNonLoopbackAddress()
{
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address;
    }
    return {};
}

// The control bytes a log line may hold for its own layout.
bool hasOnlyLayoutControlBytes(const QByteArray &text)
{
    for (const char c : text) {
        const uchar byte = uchar(c);
        if ((byte < 0x20 && c != '\t' && c != '\r' && c != '\n') || byte == 0x7f)
            return false;
    }
    return true;
}

} // namespace

class TestHardening : public QObject {
    Q_OBJECT
public:
    enum Quiet { HeadTrickled, NothingSent, IdleKeepAlive, StalledExchange, SilentTunnel };
    Q_ENUM(Quiet)

private slots:
    void initTestCase() { installFixedAnswers(); }
    void cleanupTestCase() { removeFixedAnswers(); }
    // The deadlines are process-wide: every test starts with the ones a user gets.
    void cleanup() { setSessionTimeouts(SessionTimeouts()); }

    void slotWithoutProgressClosesWithoutAPage_data();
    void slotWithoutProgressClosesWithoutAPage();
    void silentConnectionsHoldTheSlotsOnlyUntilTheHeadDeadline();

    void requestNamingThisProxyGetsThePage_data();
    void requestNamingThisProxyGetsThePage();
    void otherComputerMayNotReachThisMachine_data();
    void otherComputerMayNotReachThisMachine();

    void logEntriesHoldNoControlBytes();

    void ambiguousHeadGetsTheBadRequestPage_data();
    void ambiguousHeadGetsTheBadRequestPage();
    void acceptedHeadIsForwarded_data();
    void acceptedHeadIsForwarded();
};

void TestHardening::slotWithoutProgressClosesWithoutAPage_data()
{
    QTest::addColumn<Quiet>("quiet");
    // What the browser has received by the time the proxy closes its connection.
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("originConnections");

    QTest::newRow("a head trickled a byte at a time") << HeadTrickled << QByteArray() << 0;
    QTest::newRow("nothing sent at all") << NothingSent << QByteArray() << 0;
    QTest::newRow("keep-alive idle after an exchange") << IdleKeepAlive << okResponse("kept") << 1;
    QTest::newRow("origin closed without an answer") << StalledExchange << QByteArray() << 1;
    QTest::newRow("open tunnel without a byte") << SilentTunnel << kEstablished << 1;
}

// A slot without progress ends without a page, whatever it waits for; a browser that is still
// there opens a new connection.
void TestHardening::slotWithoutProgressClosesWithoutAPage()
{
    QFETCH(Quiet, quiet);
    QFETCH(QByteArray, received);
    QFETCH(int, originConnections);

    SessionTimeouts timeouts;
    timeouts.head = 300ms;
    timeouts.idle = 600ms;
    timeouts.tunnelIdle = 900ms;
    setSessionTimeouts(timeouts);

    OriginServer origin;
    QVERIFY(origin.listen());
    origin.setEcho(quiet == SilentTunnel);
    origin.onRequest = [&origin, quiet](int connection) {
        if (quiet == IdleKeepAlive)
            origin.send(connection, okResponse("kept"));
        else if (quiet == StalledExchange)
            origin.close(connection);
    };
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    ProxyClient client;
    client.connectTo(proxy.port());
    QTRY_VERIFY_WITH_TIMEOUT(client.isConnected(), kWait);

    // A header that never ends, one byte per tick, for far longer than the wait below.
    const QByteArray trickled =
        "GET http://" + origin.authority() + "/ HTTP/1.1\r\nX-Slow: " + QByteArray(1000, 'a');
    qsizetype trickledBytes = 0;
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, &trickle, [&] {
        if (client.isDisconnected() || trickledBytes == trickled.size())
            trickle.stop();
        else
            client.send(trickled.mid(trickledBytes++, 1));
    });

    switch (quiet) {
    case HeadTrickled:
        trickle.start(100);
        break;
    case NothingSent:
        break;
    case IdleKeepAlive:
        client.send(absoluteGet(origin.authority(), "/kept"));
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), okResponse("kept"), kWait);
        break;
    case StalledExchange:
        client.send(absoluteGet(origin.authority(), "/stalled"));
        QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(0), kWait);
        break;
    case SilentTunnel:
        client.send("CONNECT " + origin.authority() + " HTTP/1.1\r\nHost: " + origin.authority() +
                    "\r\n\r\n");
        QTRY_COMPARE_WITH_TIMEOUT(client.received(), kEstablished, kWait);
        break;
    }

    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);
    trickle.stop();
    QCOMPARE(client.received(), received);
    if (quiet == HeadTrickled)
        QVERIFY(trickledBytes < trickled.size());
    QCOMPARE(origin.connectionCount(), originConnections);
    // The upstream connection ends with the slot.
    for (int connection = 0; connection < originConnections; ++connection)
        QTRY_VERIFY_WITH_TIMEOUT(origin.isDisconnected(connection), kWait);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
}

// Connections that send nothing can take every slot for a while, but not for longer than the
// head deadline: then a real browser is served again.
void TestHardening::silentConnectionsHoldTheSlotsOnlyUntilTheHeadDeadline()
{
    // Long enough for the refusal below to be seen while the silent connections still hold the
    // slots, short enough to wait for.
    SessionTimeouts timeouts;
    timeouts.head = 1000ms;
    setSessionTimeouts(timeouts);

    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("served"));
        origin.close(connection);
    };
    // With a limit of 5, slots are made below 4: slots 0 to 3.
    constexpr int kSlots = 4;
    RunningEngine proxy(QString(), QStringLiteral("5"));
    QVERIFY(proxy.isRunning());

    std::vector<std::unique_ptr<ProxyClient>> silent;
    for (int i = 0; i < kSlots; ++i) {
        silent.push_back(std::make_unique<ProxyClient>());
        silent.back()->connectTo(proxy.port());
    }
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QString::number(kSlots), kWait);

    ProxyClient turnedAway;
    turnedAway.connectTo(proxy.port());
    turnedAway.send(absoluteGet(origin.authority(), "/refused"));
    QTRY_VERIFY_WITH_TIMEOUT(turnedAway.isClosed(), kWait);
    QCOMPARE(turnedAway.received(), QByteArray());
    // It was turned away for want of a slot, not served once one had come free.
    for (const auto &client : silent)
        QVERIFY(!client->isDisconnected());
    QCOMPARE(origin.connectionCount(), 0);

    for (const auto &client : silent) {
        QTRY_VERIFY_WITH_TIMEOUT(client->isClosed(), kWait);
        QCOMPARE(client->received(), QByteArray());
    }
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);

    ProxyClient browser;
    browser.connectTo(proxy.port());
    browser.send(absoluteGet(origin.authority(), "/served"));
    QTRY_VERIFY_WITH_TIMEOUT(browser.isClosed(), kWait);
    QCOMPARE(browser.received(), okResponse("served"));
    QCOMPARE(origin.connectionCount(), 1);
}

void TestHardening::requestNamingThisProxyGetsThePage_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<bool>("isTunnel");

    QTest::newRow("GET, 127.0.0.1") << QByteArray("127.0.0.1") << false;
    QTest::newRow("GET, localhost") << QByteArray("localhost") << false;
    QTest::newRow("GET, [::1]") << QByteArray("[::1]") << false;
    QTest::newRow("CONNECT, 127.0.0.1") << QByteArray("127.0.0.1") << true;
    QTest::newRow("CONNECT, localhost") << QByteArray("localhost") << true;
}

// A request for the proxy's own address and port would come back in as a new request, again and
// again, until every slot was taken: it is answered with the page instead of connected.
void TestHardening::requestNamingThisProxyGetsThePage()
{
    QFETCH(QByteArray, host);
    QFETCH(bool, isTunnel);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath(QStringLiteral("proxy.log"));
    RunningEngine proxy(logPath);
    QVERIFY(proxy.isRunning());

    const QByteArray authority = host + ':' + QByteArray::number(proxy.port());
    const QByteArray page = expectedPage("10061", namesThisProxyDescription().toLatin1());
    ProxyClient client;
    client.connectTo(proxy.port());
    if (isTunnel)
        client.send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    else
        client.send(absoluteGet(authority, "/"));

    int mostConnections = 0;
    QVERIFY(waitUntil(
        [&] {
            mostConnections = qMax(mostConnections, proxy.counter().toInt());
            return client.isClosed();
        },
        kWait));
    QCOMPARE(client.received(), isTunnel ? expectedPageResponse("502 Bad Gateway", page) : page);
    // The count may have come and gone between two looks; it must never have shown more.
    QVERIFY(mostConnections <= 1);
    // Had the request looped back in, the proxy would have logged it coming in a second time.
    QVERIFY(proxy.serveAnotherBrowser());
    QCOMPARE(int(readFileBytes(logPath).count(kRequestEntry)), 2);
    QTRY_COMPARE_WITH_TIMEOUT(proxy.counter(), QStringLiteral("0"), kWait);
}

void TestHardening::otherComputerMayNotReachThisMachine_data()
{
    QTest::addColumn<bool>("isOnOwnAddress");
    QTest::addColumn<bool>("isTunnel");

    QTest::newRow("GET, origin on 127.0.0.1") << false << false;
    QTest::newRow("GET, origin on this machine's own address") << true << false;
    QTest::newRow("CONNECT, origin on 127.0.0.1") << false << true;
}

// Services on this computer often trust whatever comes from this computer; the proxy must not
// lend that trust to other computers. The browser here is this machine as well, but it reaches
// the proxy on a non-loopback address, which is all the proxy can see of another computer.
void TestHardening::otherComputerMayNotReachThisMachine()
{
    QFETCH(bool, isOnOwnAddress);
    QFETCH(bool, isTunnel);

    const QHostAddress ownAddress = ownNonLoopbackAddress();
    if (ownAddress.isNull())
        QSKIP("this machine has no IPv4 address but loopback ones");

    OriginServer origin;
    QVERIFY(origin.listen(isOnOwnAddress ? ownAddress : QHostAddress(QHostAddress::LocalHost)));
    const QByteArray authority =
        isOnOwnAddress ? ownAddress.toString().toLatin1() + ':' + QByteArray::number(origin.port())
                       : origin.authority();
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());

    ProxyClient client;
    client.connectTo(ownAddress, proxy.port());
    if (isTunnel)
        client.send("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
    else
        client.send(absoluteGet(authority, "/private"));
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);

    const QByteArray page = expectedPage("10013", thisMachineRefusedDescription().toLatin1());
    QCOMPARE(client.received(), isTunnel ? expectedPageResponse("403 Forbidden", page) : page);
    QVERIFY(proxy.serveAnotherBrowser());
    QCOMPARE(origin.connectionCount(), 0);
}

// Header lines are logged as the browser sent them, but a control byte in one is written as
// "\xHH": it could otherwise rewrite what a terminal shows of the log, or forge an entry.
void TestHardening::logEntriesHoldNoControlBytes()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString logPath = dir.filePath(QStringLiteral("proxy.log"));
    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("logged"));
        origin.close(connection);
    };
    RunningEngine proxy(logPath);
    QVERIFY(proxy.isRunning());

    const QByteArrayList headerLines = {
        "Host: " + origin.authority(),
        "X-Colour: a\x1b[31mred",
        "X-Delete: b\x7f",
        QByteArray("X-Start: \x01"
                   "c"),
        "X-Forged: d\x1b[2K\x1b[1G2024-01-01 00:00:00\tVesktor Stopped",
        "X-Name: \xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
    };
    const QByteArrayList headerEntries = {
        "Host: " + origin.authority(),
        "X-Colour: a\\x1b[31mred",
        "X-Delete: b\\x7f",
        "X-Start: \\x01c",
        "X-Forged: d\\x1b[2K\\x1b[1G2024-01-01 00:00:00\tVesktor Stopped",
        "X-Name: \xC3\xA9t\xC3\xA9 \xE2\x82\xAC",
    };

    ProxyClient client;
    client.connectTo(proxy.port());
    client.send("GET http://" + origin.authority() + "/log HTTP/1.1\r\n" +
                headerLines.join("\r\n") + "\r\n\r\n");
    QTRY_VERIFY_WITH_TIMEOUT(client.isClosed(), kWait);
    QCOMPARE(client.received(), okResponse("logged"));
    QVERIFY(proxy.stop());
    QTRY_VERIFY_WITH_TIMEOUT(readFileBytes(logPath).endsWith("\tVesktor Stopped\r\n\r\n"), kWait);

    const QByteArray log = readFileBytes(logPath);
    QVERIFY2(hasOnlyLayoutControlBytes(log), log.toPercentEncoding().constData());
    QByteArrayList entries;
    QByteArrayList others;
    for (const QByteArray &line : log.split('\n')) {
        QVERIFY2(line.isEmpty() || line.endsWith('\r'), line.toPercentEncoding().constData());
        const QByteArray text = line.chopped(line.isEmpty() ? 0 : 1);
        if (text.startsWith(kHeaderEntry))
            entries << text.mid(kHeaderEntry.size());
        else if (!text.isEmpty())
            others << text;
    }
    QCOMPARE(entries, headerEntries);
    // Start, the request, stop: the forged text stayed inside its header entry.
    QCOMPARE(others.size(), 3);
    QVERIFY(others.at(0).endsWith("\tVesktor Started"));
    QVERIFY(others.at(1).endsWith(kRequestEntry + "127.0.0.1"));
    QVERIFY(others.at(2).endsWith("\tVesktor Stopped"));
}

void TestHardening::ambiguousHeadGetsTheBadRequestPage_data()
{
    // "{origin}" stands for the origin's host and port.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("page");

    const QByteArray requestLine = "GET http://{origin}/ HTTP/1.1\r\n";
    const QByteArray host = "Host: {origin}\r\n";
    QTest::newRow("a blank after the version")
        << "GET http://{origin}/ HTTP/1.1 \r\n" + host + "\r\n"
        << badRequestPage();
    QTest::newRow("the version in lower case")
        << "GET http://{origin}/ http/1.1\r\n" + host + "\r\n"
        << badRequestPage();
    QTest::newRow("a blank before the colon") << requestLine + host + "Cookie : x\r\n\r\n"
                                              << badRequestPage();
    QTest::newRow("a folded header line") << requestLine + host + "X-A: a\r\n b\r\n\r\n"
                                          << badRequestPage();
    QTest::newRow("two Host lines") << requestLine + host + "host: {origin}\r\n\r\n"
                                    << badRequestPage();
    QTest::newRow("a NUL in the Host value") << requestLine + "Host: {origin}" + '\0' + "\r\n\r\n"
                                             << badRequestPage();
    QTest::newRow("a bare CR inside a line") << requestLine + host + "X-A: a\rb\r\n\r\n"
                                             << badRequestPage();
    // The head never ends in CR LF CR LF: the page comes at the first bare LF, not when the
    // head grows too large.
    QTest::newRow("lines ending in bare LF")
        << QByteArray("GET http://{origin}/ HTTP/1.1\nHost: {origin}\n\n") << badRequestPage();
    QTest::newRow("HTTP/2.0") << "GET http://{origin}/ HTTP/2.0\r\n" + host + "\r\n"
                              << badRequestPage();
    QTest::newRow("HTTP/9.9") << "GET http://{origin}/ HTTP/9.9\r\n" + host + "\r\n"
                              << badRequestPage();
    QTest::newRow("chunked in HTTP/1.0") << "POST http://{origin}/ HTTP/1.0\r\n" + host +
                                                "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"
                                         << unframeablePage();
}

// A head that servers may read in more than one way never reaches the origin: whatever the
// origin read differently from the proxy could slip past the rules. The browser gets the page,
// however the head arrived, and its connection ends.
void TestHardening::ambiguousHeadGetsTheBadRequestPage()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, page);

    OriginServer origin;
    QVERIFY(origin.listen());
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray bytes = withOrigin(request, origin.authority());

    for (const Pieces pieces : kEveryWayOfSending) {
        const QByteArray way = nameOf(pieces);
        ProxyClient client;
        client.connectTo(proxy.port());
        QVERIFY2(sendInPieces(client, proxy, bytes, pieces), way.constData());
        QVERIFY2(waitUntil([&] { return client.isClosed(); }, kWait), way.constData());
        QVERIFY2(client.received() == page, (way + ": " + client.received()).constData());
        QVERIFY2(proxy.serveAnotherBrowser(), way.constData());
        QVERIFY2(origin.connectionCount() == 0, way.constData());
    }
}

void TestHardening::acceptedHeadIsForwarded_data()
{
    // "{origin}" stands for the origin's host and port.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("forwarded");

    const QByteArray get = "GET http://{origin}/ HTTP/1.1\r\nHost: {origin}\r\n\r\n";
    const QByteArray forwardedGet = "GET / HTTP/1.1\r\nHost: {origin}\r\n\r\n";
    // Some clients send an empty line after a request's body; it belongs to no request.
    QTest::newRow("empty lines before the request line, CR LF") << "\r\n\r\n" + get << forwardedGet;
    QTest::newRow("empty lines before the request line, bare LF") << "\n\n" + get << forwardedGet;
    // The proxy's own hop-by-hop header goes, in the one spelling it is known by; the rules
    // decide about any other.
    QTest::newRow("Proxy-Connection dropped, proxy-connection passed by the rules")
        << QByteArray("GET http://{origin}/ HTTP/1.1\r\nHost: {origin}\r\n"
                      "Proxy-Connection: keep-alive\r\nproxy-connection: close\r\n\r\n")
        << QByteArray("GET / HTTP/1.1\r\nHost: {origin}\r\nproxy-connection: close\r\n\r\n");
}

void TestHardening::acceptedHeadIsForwarded()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, forwarded);

    OriginServer origin;
    QVERIFY(origin.listen());
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("served"));
        origin.close(connection);
    };
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray bytes = withOrigin(request, origin.authority());
    const QByteArray expected = withOrigin(forwarded, origin.authority());

    int connection = 0;
    for (const Pieces pieces : kEveryWayOfSending) {
        const QByteArray way = nameOf(pieces);
        ProxyClient client;
        client.connectTo(proxy.port());
        QVERIFY2(sendInPieces(client, proxy, bytes, pieces), way.constData());
        QVERIFY2(waitUntil([&] { return client.isClosed(); }, kWait), way.constData());
        QVERIFY2(client.received() == okResponse("served"),
                 (way + ": " + client.received()).constData());
        QVERIFY2(origin.received(connection) == expected,
                 (way + ": " + origin.received(connection)).constData());
        ++connection;
    }
    QCOMPARE(origin.connectionCount(), connection);
}

QTEST_MAIN(TestHardening)
#include "test_hardening.moc"
