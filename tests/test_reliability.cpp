// Faults and load on loopback, against the real window started on a free port: hundreds of
// simultaneous downloads up to the connection limit, a server that resets halfway through its
// response, browsers that vanish in the middle of an upload or a download, a browser that
// stops inside its header block, thousands of requests in a row, and a stop with connections
// open. Every byte that arrives is compared with what was sent.
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTest>
#include <memory>
#include <vector>

#include "net/http/error_page.h"
#include "support/origin_server.h"
#include "support/reliability_support.h"
#include "support/running_engine.h"
#include "support/running_proxy.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

// With the default limit "255" slots 0 to 253 exist.
constexpr int kSlots = 254;
constexpr qsizetype kMiB = 1024 * 1024;

constexpr int kWait = 30000;      // one step of a test: connects, a small exchange
constexpr int kLongWait = 120000; // bounds the waits that move hundreds of megabytes

// Requests in a row for the memory test, after the warm-up; the environment variable sets
// another number (fewer on a slow machine, more for a longer run).
constexpr int kSequentialDefault = 10000;
constexpr int kWarmUpRequests = 200;
// The run stops and fails when it takes longer than this per 10,000 requests (at least this
// long in all), so that a machine too slow for the count ends with a clear message.
constexpr qint64 kSequentialBudgetMilliseconds = 120000;
constexpr qint64 kAllowedGrowthKiB = 5 * 1024;

int sequentialRequestCount()
{
    bool isNumber = false;
    const int fromEnvironment =
        qEnvironmentVariableIntValue("VESKTOR_SEQUENTIAL_REQUESTS", &isNumber);
    return isNumber && fromEnvironment > 0 ? fromEnvironment : kSequentialDefault;
}

QByteArray getFor(const QByteArray &authority, int id)
{
    return absoluteGet(authority, "/client/" + QByteArray::number(id));
}

QByteArray withOrigin(QByteArray text, const QByteArray &authority)
{
    return text.replace("{origin}", authority);
}

// A one-line account of a client that did not get its response whole.
QString describe(int id, const LoadClient &client, const QByteArray &expectedHash)
{
    return QStringLiteral("client %1: %2 of %3 bytes, first wrong byte at %4, body hash %5 "
                          "(expected %6), %7")
        .arg(id)
        .arg(client.receivedBytes())
        .arg(client.expectedBytes())
        .arg(client.mismatchAt())
        .arg(QString::fromLatin1(client.bodyHash().left(12)))
        .arg(QString::fromLatin1(expectedHash.left(12)))
        .arg(client.isClosed() ? QStringLiteral("closed") : QStringLiteral("still open"));
}

void verifyNoCriticalMessage(const RunningProxy &proxy)
{
    for (const MessageRequest &message : proxy.messages())
        QVERIFY2(message.icon != MessageIcon::Critical, qPrintable(message.text));
}

} // namespace

class TestReliability : public QObject {
    Q_OBJECT
private slots:
    void simultaneousClientsUpToTheLimitGetEveryByte();
    void originResetMidResponseRelaysThenErrorPage_data();
    void originResetMidResponseRelaysThenErrorPage();
    void vanishingClientFreesItsSlot_data();
    void vanishingClientFreesItsSlot();
    void halfHeaderBlockHoldsOneSlotOnly_data();
    void halfHeaderBlockHoldsOneSlotOnly();
    void sequentialRequestsKeepMemoryFlat();
    void stopUnderLoadThenStartAgain();
};

// 254 clients hold every slot at once and download 1 MiB each. The origin answers nobody until
// all of them are in, so the transfers really overlap. Meanwhile a 255th client is turned away
// without a byte, and once one client has had its answer and left, a newcomer takes its slot.
void TestReliability::simultaneousClientsUpToTheLimitGetEveryByte()
{
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    // Each slot costs this process four descriptors: the client, the proxy's two sockets and
    // the origin's socket. Starting the proxy has raised the soft limit as far as the hard limit
    // lets it.
    const qint64 needed = 4 * (kSlots + 2) + 256;
    if (openFileLimit() < needed)
        QSKIP(qPrintable(QStringLiteral("the open-file limit (%1) is below the %2 this test needs")
                             .arg(openFileLimit())
                             .arg(needed)));

    const QByteArray body = patternBytes(kMiB, 254);
    const QByteArray bodyHash = sha256(body);
    OriginServer origin(body);
    origin.setHolding(true);
    QVERIFY(origin.listen());

    std::vector<std::unique_ptr<LoadClient>> clients; // indexed by id
    const auto startClient = [&] {
        const int id = int(clients.size());
        clients.push_back(std::make_unique<LoadClient>(bulkHead(id, body.size()), body));
        clients.back()->connectTo(proxy.port());
        clients.back()->send(getFor(origin.authority(), id));
    };

    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < kSlots; ++i)
        startClient();
    const auto allHeld = [&] {
        return proxy.counter() == QString::number(kSlots) && origin.heldCount() == kSlots;
    };
    QVERIFY2(waitUntil(allHeld, kLongWait),
             qPrintable(QStringLiteral("counter %1, requests at the origin %2")
                            .arg(proxy.counter())
                            .arg(origin.heldCount())));
    const qint64 connectMilliseconds = clock.elapsed();

    // Above the limit: the connection is closed without a byte and nothing goes upstream.
    LoadClient refused{QByteArray(), QByteArray()};
    refused.connectTo(proxy.port());
    refused.send(getFor(origin.authority(), 9999));
    QVERIFY2(waitUntil([&] { return refused.isClosed(); }, kWait),
             "the client above the limit was neither served nor refused");
    QVERIFY(refused.wasConnected());
    QCOMPARE(refused.receivedBytes(), 0);
    QCOMPARE(proxy.counter(), QString::number(kSlots));

    // One client gets its answer first; its slot is freed and a newcomer is served in it.
    const int leaving = kSlots / 2;
    QVERIFY(origin.release(leaving));
    QVERIFY2(waitUntil(
                 [&] {
                     return clients[leaving]->isClosed() &&
                            proxy.counter() == QString::number(kSlots - 1);
                 },
                 kLongWait),
             qPrintable(describe(leaving, *clients[leaving], bodyHash)));
    QVERIFY2(clients[leaving]->isComplete() && clients[leaving]->bodyHash() == bodyHash,
             qPrintable(describe(leaving, *clients[leaving], bodyHash)));

    // Had the newcomer asked for a new slot, the limit would have refused it.
    startClient();
    QVERIFY2(waitUntil(allHeld, kWait),
             qPrintable(QStringLiteral("the newcomer was not taken: counter %1, requests %2")
                            .arg(proxy.counter())
                            .arg(origin.heldCount())));

    // Everybody else downloads at once.
    clock.restart();
    origin.releaseAll();
    const auto allClosed = [&] {
        for (const auto &client : clients) {
            if (!client->isClosed())
                return false;
        }
        return true;
    };
    const bool isEveryoneDone = waitUntil(allClosed, kLongWait);
    const qint64 transferMilliseconds = clock.elapsed();

    QStringList failures;
    qint64 totalBytes = 0;
    for (int id = 0; id < int(clients.size()); ++id) {
        const LoadClient &client = *clients[size_t(id)];
        totalBytes += client.receivedBytes();
        if (!client.isClosed() || !client.isComplete() || client.bodyHash() != bodyHash)
            failures << describe(id, client, bodyHash);
    }
    qInfo("%d clients x %lld bytes: all %d slots taken %lld ms after the first connect; "
          "%lld bytes relayed to %d clients at once in %lld ms",
          int(clients.size()), qint64(body.size()), kSlots, connectMilliseconds, totalBytes, kSlots,
          transferMilliseconds);
    QVERIFY2(failures.isEmpty(), qPrintable(QStringLiteral("%1 of %2 clients failed, e.g. %3")
                                                .arg(failures.size())
                                                .arg(clients.size())
                                                .arg(failures.mid(0, 3).join(u"; "))));
    QVERIFY(isEveryoneDone);
    QVERIFY2(waitUntil([&] { return proxy.counter() == QStringLiteral("0"); }, kWait),
             qPrintable(proxy.counter()));
    QCOMPARE(origin.requestCount(), kSlots + 1);
    QVERIFY(waitUntil([&] { return origin.openConnections() == 0; }, kWait));
}

void TestReliability::originResetMidResponseRelaysThenErrorPage_data()
{
    QTest::addColumn<qsizetype>("bodyBytes");
    QTest::addColumn<bool>("isClientHolding");

    QTest::newRow("after the header block") << qsizetype(0) << false;
    QTest::newRow("after 64 KiB") << qsizetype(64 * 1024) << false;
    QTest::newRow("after 4 MiB") << qsizetype(4 * kMiB) << false;
    // The browser does not read: the proxy holds the origin back when the reset comes.
    QTest::newRow("while the origin is held back") << qsizetype(8 * kMiB) << true;
}

// The server resets in the middle of its response: the browser gets every byte the proxy had
// relayed, then the error page for the reset, then the end of the connection; the slot is free.
void TestReliability::originResetMidResponseRelaysThenErrorPage()
{
    QFETCH(qsizetype, bodyBytes);
    QFETCH(bool, isClientHolding);

    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    OriginServer origin;
    QVERIFY(origin.listen());

    // The head announces more than will ever come.
    const QByteArray sent =
        "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(bodyBytes + kMiB) + "\r\n\r\n" +
        patternBytes(bodyBytes, 21);
    ProxyClient client;
    client.connectTo(proxy.port());
    if (isClientHolding)
        client.holdReading();
    client.send(absoluteGet(origin.authority(), "/reset"));
    QVERIFY(waitUntil([&] { return origin.hasRequest(0); }, kWait));
    origin.send(0, sent);
    if (isClientHolding) {
        // The proxy has relayed some of it, and the origin still has most of it to send: the
        // browser does not read, so the proxy holds the origin back.
        QVERIFY2(waitUntil(
                     [&] {
                         return client.bytesWaiting() > 0 &&
                                origin.socket(0)->bytesToWrite() < sent.size() - 2 * kMiB;
                     },
                     kLongWait),
                 "the proxy never relayed anything");
    } else {
        QVERIFY2(waitUntil([&] { return client.received().size() == sent.size(); }, kLongWait),
                 qPrintable(QStringLiteral("%1 of %2 bytes relayed before the reset")
                                .arg(client.received().size())
                                .arg(sent.size())));
    }
    origin.reset(0);
    if (isClientHolding)
        client.resumeReading();

    QVERIFY2(waitUntil([&] { return client.isClosed(); }, kLongWait),
             qPrintable(QStringLiteral("the browser connection stayed open with %1 bytes")
                            .arg(client.received().size())));
    const QByteArray page = errorPage(10054, QStringLiteral("Connection reset by peer"));
    const QByteArray &received = client.received();
    QVERIFY2(received.endsWith(page),
             qPrintable(QStringLiteral("%1 bytes arrived; the last ones are not the page: %2")
                            .arg(received.size())
                            .arg(QString::fromLatin1(received.right(80)))));
    const QByteArray relayed = received.chopped(page.size());
    if (isClientHolding) {
        // What the origin's kernel still held when it reset is lost on the way; what the proxy
        // had taken arrives, in order.
        QVERIFY(relayed.size() <= sent.size());
        QVERIFY(!relayed.isEmpty());
        QVERIFY(sent.startsWith(relayed));
        qInfo("%lld of %lld bytes were relayed before the page", qint64(relayed.size()),
              qint64(sent.size()));
    } else {
        QCOMPARE(relayed.size(), sent.size());
        QVERIFY(relayed == sent);
    }
    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("0"); }, kWait));
}

namespace {
enum class Phase { Upload, Download };
}

void TestReliability::vanishingClientFreesItsSlot_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<bool>("isReset");
    QTest::addColumn<int>("slot");

    // "close" is a plain close of the socket: a FIN, or a reset when the kernel still holds
    // bytes the browser never read (as in the download); "reset" is always a reset.
    for (int slot : {0, 1}) {
        for (bool isReset : {true, false}) {
            const char *ending = isReset ? "reset" : "close";
            QTest::addRow("mid-upload, %s, slot %d", ending, slot)
                << int(Phase::Upload) << isReset << slot;
            QTest::addRow("mid-download, %s, slot %d", ending, slot)
                << int(Phase::Download) << isReset << slot;
        }
    }
}

// A browser goes away in the middle of a 10 MiB upload (after 1 MiB) or of a 16 MiB download
// the proxy is relaying, with a close or a reset. In slot 1 another browser holds slot 0 with an
// unfinished request meanwhile. The slot is freed, the upstream connection closed, and the
// browsers that follow are served.
void TestReliability::vanishingClientFreesItsSlot()
{
    QFETCH(int, phase);
    QFETCH(bool, isReset);
    QFETCH(int, slot);

    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray body = patternBytes(16 * kMiB, 31);
    const QByteArray bodyHash = sha256(body);
    OriginServer origin(body);
    QVERIFY(origin.listen());

    const QByteArray bystanderRequest = getFor(origin.authority(), 500);
    const qsizetype bystanderCut = bystanderRequest.size() / 2;
    std::unique_ptr<LoadClient> bystander;
    if (slot == 1) {
        bystander = std::make_unique<LoadClient>(bulkHead(500, body.size()), body);
        bystander->connectTo(proxy.port());
        bystander->send(bystanderRequest.left(bystanderCut));
        QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("1"); }, kWait));
    }

    LoadClient client(bulkHead(7, body.size()), body);
    client.connectTo(proxy.port());
    QVERIFY(waitUntil([&] { return proxy.counter() == QString::number(slot + 1); }, kWait));
    // Only the proxy closes the origin's connection, so that letting go of it shows.
    origin.keepOpenAfterAnswer(7);

    if (Phase(phase) == Phase::Upload) {
        const QByteArray head = "POST http://" + origin.authority() +
                                "/client/7 HTTP/1.1\r\nHost: " + origin.authority() +
                                "\r\nContent-Length: " + QByteArray::number(10 * kMiB) + "\r\n\r\n";
        const QByteArray part = patternBytes(kMiB, 32);
        client.send(head + part);
        // The head has gone upstream at once, the body follows as it comes.
        QVERIFY(waitUntil([&] { return origin.requestCount() == 1; }, kLongWait));
    } else {
        client.send(getFor(origin.authority(), 7));
        client.holdReadingAfter(2 * kMiB);
        // Most of the 16 MiB is still to come: the proxy holds the origin back.
        QVERIFY2(waitUntil([&] { return client.isHolding(); }, kLongWait),
                 qPrintable(QStringLiteral("%1 bytes received").arg(client.receivedBytes())));
        QVERIFY(client.isIntact());
        QVERIFY(client.receivedBytes() < client.expectedBytes());
        QCOMPARE(origin.openConnections(), 1);
    }

    if (isReset)
        client.reset();
    else
        client.close();

    QVERIFY2(waitUntil([&] { return proxy.counter() == QString::number(slot); }, kWait),
             qPrintable(proxy.counter()));
    // The proxy let go of the origin too.
    QVERIFY2(waitUntil([&] { return origin.openConnections() == 0; }, kLongWait),
             qPrintable(QString::number(origin.openConnections())));

    if (bystander) {
        // The bystander's half request was kept whole through all this.
        bystander->send(bystanderRequest.mid(bystanderCut));
        QVERIFY(waitUntil([&] { return bystander->isClosed(); }, kLongWait));
        QVERIFY2(bystander->isComplete() && bystander->bodyHash() == bodyHash,
                 qPrintable(describe(500, *bystander, bodyHash)));
    }
    LoadClient next(bulkHead(8, body.size()), body);
    next.connectTo(proxy.port());
    next.send(getFor(origin.authority(), 8));
    QVERIFY(waitUntil([&] { return next.isClosed(); }, kLongWait));
    QVERIFY2(next.isComplete() && next.bodyHash() == bodyHash,
             qPrintable(describe(8, next, bodyHash)));

    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("0"); }, kWait));
}

void TestReliability::halfHeaderBlockHoldsOneSlotOnly_data()
{
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("rest");

    const QByteArray get = "GET http://{origin}/client/900 HTTP/1.1\r\n";
    QTest::newRow("request line only") << get << QByteArray("Host: {origin}\r\n\r\n");
    QTest::newRow("inside a header line")
        << get + "Host: 127.0" << QByteArray(".0.1:{port}\r\n\r\n");
    QTest::newRow("blank line missing") << get + "Host: {origin}\r\n" << QByteArray("\r\n");
    QTest::newRow("blank line cut after its CR")
        << get + "Host: {origin}\r\n\r" << QByteArray("\n");
}

// A browser sends part of a request and waits. It holds one slot, and only one, while twenty
// others are served at once; when it finally completes its request, it is served too.
void TestReliability::halfHeaderBlockHoldsOneSlotOnly()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, rest);
    constexpr int kOthers = 20;

    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray body = patternBytes(256 * 1024, 41);
    const QByteArray bodyHash = sha256(body);
    OriginServer origin(body);
    QVERIFY(origin.listen());
    const QByteArray port = origin.authority().mid(origin.authority().lastIndexOf(':') + 1);
    first = withOrigin(first, origin.authority());
    rest = withOrigin(rest, origin.authority()).replace("{port}", port);

    LoadClient stalled(bulkHead(900, body.size()), body);
    stalled.connectTo(proxy.port());
    stalled.send(first);
    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("1"); }, kWait));

    origin.setHolding(true);
    std::vector<std::unique_ptr<LoadClient>> others;
    for (int id = 0; id < kOthers; ++id) {
        others.push_back(std::make_unique<LoadClient>(bulkHead(id, body.size()), body));
        others.back()->connectTo(proxy.port());
        others.back()->send(getFor(origin.authority(), id));
    }
    QVERIFY2(waitUntil(
                 [&] {
                     return proxy.counter() == QString::number(kOthers + 1) &&
                            origin.heldCount() == kOthers;
                 },
                 kWait),
             qPrintable(proxy.counter()));
    origin.releaseAll();
    for (int id = 0; id < kOthers; ++id) {
        LoadClient &other = *others[size_t(id)];
        QVERIFY(waitUntil([&] { return other.isClosed(); }, kLongWait));
        QVERIFY2(other.isComplete() && other.bodyHash() == bodyHash,
                 qPrintable(describe(id, other, bodyHash)));
    }

    // Everyone else has gone; the stalled browser still holds its one slot, untouched.
    QVERIFY2(waitUntil([&] { return proxy.counter() == QStringLiteral("1"); }, kWait),
             qPrintable(proxy.counter()));
    QVERIFY(stalled.isConnected());
    QCOMPARE(stalled.receivedBytes(), 0);
    QCOMPARE(origin.requestCount(), kOthers);

    stalled.send(rest);
    QVERIFY(waitUntil([&] { return stalled.isClosed(); }, kLongWait));
    QVERIFY2(stalled.isComplete() && stalled.bodyHash() == bodyHash,
             qPrintable(describe(900, stalled, bodyHash)));
    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("0"); }, kWait));
    QCOMPARE(origin.requestCount(), kOthers + 1);
}

// Thousands of requests one after another, each on a fresh connection that the proxy closes
// after the response: nothing accumulates. Resident memory after the run is compared with
// the value after a warm-up that has brought every cache and pool to its working size. Under
// AddressSanitizer resident memory also holds the freed blocks the sanitizer keeps in
// quarantine, which grows by design until its cap; there the bytes the program still has
// allocated are compared instead, and resident memory is only shown.
void TestReliability::sequentialRequestsKeepMemoryFlat()
{
    const int count = sequentialRequestCount();
    RunningEngine proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray body = patternBytes(512, 51);
    OriginServer origin(body);
    QVERIFY(origin.listen());

    // Empty when the exchange went as it should.
    const auto exchange = [&](int id) -> QString {
        LoadClient client(bulkHead(id, body.size()), body);
        client.connectTo(proxy.port());
        client.send(getFor(origin.authority(), id));
        if (!waitUntil([&] { return client.isClosed(); }, kWait))
            return QStringLiteral("request %1 never ended: %2").arg(id).arg(client.receivedBytes());
        // A slot that was not given back would show soon: beyond 254 of them every browser is
        // refused. (The counter itself repaints at most ten times a second.)
        if (!client.isComplete())
            return describe(id, client, QByteArray());
        return QString();
    };
    const auto settle = [&] {
        return waitUntil(
            [&] { return proxy.counter() == QStringLiteral("0") && origin.openConnections() == 0; },
            kWait);
    };

    for (int id = 0; id < kWarmUpRequests; ++id) {
        const QString failure = exchange(id);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
    QVERIFY(settle());
    const qint64 before = residentKiB();
    const qint64 heapBefore = liveHeapBytes();
    QVERIFY(before > 0);

    QElapsedTimer clock;
    clock.start();
    int done = 0;
    const qint64 budget = kSequentialBudgetMilliseconds * qMax<qint64>(1, (count + 9999) / 10000);
    while (done < count && clock.elapsed() < budget) {
        const QString failure = exchange(kWarmUpRequests + done);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        ++done;
    }
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(done == count,
             qPrintable(QStringLiteral("only %1 of %2 requests within %3 s; on a slow machine set "
                                       "VESKTOR_SEQUENTIAL_REQUESTS to fewer")
                            .arg(done)
                            .arg(count)
                            .arg(budget / 1000)));
    QVERIFY(settle());
    const qint64 after = residentKiB();
    const qint64 heapAfter = liveHeapBytes();
    QCOMPARE(origin.requestCount(), kWarmUpRequests + count);
    qInfo("VmRSS after %d warm-up requests: %lld KiB; after %d more: %lld KiB (%+lld KiB); "
          "heap in use %lld KiB, then %lld KiB (%+lld KiB); %d requests took %lld ms",
          kWarmUpRequests, before, count, after, after - before, heapBefore / 1024,
          heapAfter / 1024, (heapAfter - heapBefore) / 1024, count, elapsed);
    if (isUnderAddressSanitizer()) {
        QVERIFY2(heapAfter - heapBefore <= kAllowedGrowthKiB * 1024,
                 qPrintable(QStringLiteral("allocated memory grew by %1 KiB")
                                .arg((heapAfter - heapBefore) / 1024)));
    } else {
        QVERIFY2(after - before <= kAllowedGrowthKiB,
                 qPrintable(QStringLiteral("resident memory grew by %1 KiB").arg(after - before)));
    }
}

// Fifty browsers in the middle of 8 MiB downloads when Stop is clicked (and the question
// answered Yes): every connection goes, the port refuses, the browsers get an intact part of
// their response and then the end. Started again, the proxy serves the next browser.
void TestReliability::stopUnderLoadThenStartAgain()
{
    constexpr int kClients = 50;
    constexpr qint64 kReadBeforeStop = 256 * 1024;

    RunningProxy proxy;
    QVERIFY(proxy.isRunning());
    const QByteArray body = patternBytes(8 * kMiB, 61);
    const QByteArray bodyHash = sha256(body);
    OriginServer origin(body);
    QVERIFY(origin.listen());

    std::vector<std::unique_ptr<LoadClient>> clients;
    for (int id = 0; id < kClients; ++id) {
        clients.push_back(std::make_unique<LoadClient>(bulkHead(id, body.size()), body));
        clients.back()->connectTo(proxy.port());
        clients.back()->holdReadingAfter(kReadBeforeStop);
        // Closed only by the proxy, so that the stop shows at the origin.
        origin.keepOpenAfterAnswer(id);
        clients.back()->send(getFor(origin.authority(), id));
    }
    const auto allHolding = [&] {
        for (const auto &client : clients) {
            if (!client->isHolding())
                return false;
        }
        return proxy.counter() == QString::number(kClients);
    };
    QVERIFY2(waitUntil(allHolding, kLongWait), qPrintable(proxy.counter()));
    for (int id = 0; id < kClients; ++id) {
        const LoadClient &client = *clients[size_t(id)];
        QVERIFY2(client.isIntact() && client.receivedBytes() < client.expectedBytes(),
                 qPrintable(describe(id, client, bodyHash)));
    }
    QCOMPARE(origin.requestCount(), kClients);
    QCOMPARE(origin.openConnections(), kClients);

    const qsizetype messagesBefore = proxy.messages().size();
    proxy.form().Command1_Click();
    QVERIFY(!proxy.isRunning());
    QCOMPARE(proxy.messages().size(), messagesBefore + 1);
    QCOMPARE(proxy.messages().last().buttons, MessageButtons::YesNo);
    QCOMPARE(proxy.counter(), QStringLiteral("0"));
    // The port refuses connections once Stop has returned.
    QTcpSocket late;
    late.connectToHost(QHostAddress::LocalHost, proxy.port());
    QVERIFY(
        waitUntil([&] { return late.error() == QAbstractSocket::ConnectionRefusedError; }, kWait));

    // What was queued for them still arrives, intact, and then the end of the connection.
    for (const auto &client : clients)
        client->resumeReading();
    const auto allClosed = [&] {
        for (const auto &client : clients) {
            if (!client->isClosed())
                return false;
        }
        return true;
    };
    QVERIFY(waitUntil(allClosed, kLongWait));
    qint64 totalBytes = 0;
    for (int id = 0; id < kClients; ++id) {
        const LoadClient &client = *clients[size_t(id)];
        totalBytes += client.receivedBytes();
        QVERIFY2(client.isIntact(), qPrintable(describe(id, client, bodyHash)));
    }
    QVERIFY2(waitUntil([&] { return origin.openConnections() == 0; }, kLongWait),
             qPrintable(QString::number(origin.openConnections())));
    qInfo("stopped with %d downloads open; they received %lld of %lld bytes, all intact", kClients,
          totalBytes, qint64(kClients) * clients.front()->expectedBytes());

    proxy.form().Command1_Click();
    QVERIFY(proxy.isRunning());
    LoadClient first(bulkHead(1000, body.size()), body);
    first.connectTo(proxy.port());
    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("1"); }, kWait));
    first.send(getFor(origin.authority(), 1000));
    QVERIFY(waitUntil([&] { return first.isClosed(); }, kLongWait));
    QVERIFY2(first.isComplete() && first.bodyHash() == bodyHash,
             qPrintable(describe(1000, first, bodyHash)));
    QVERIFY(waitUntil([&] { return proxy.counter() == QStringLiteral("0"); }, kWait));
    verifyNoCriticalMessage(proxy);
}

QTEST_MAIN(TestReliability)
#include "test_reliability.moc"
