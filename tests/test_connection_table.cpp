#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

#include "log/request_log.h"
#include "net/connection_table.h"
#include "net/proxy_host.h"
#include "support/recording_socket.h"

namespace {

// Stands in for the window: the limit is whatever the test sets, every counter caption is
// kept, and rewriting never touches a socket.
class FakeHost : public ProxyHost {
public:
    QString limitText = QStringLiteral("255");
    QStringList captions;
    bool rewriteResult = false;

    QString maxThreadsText() const override { return limitText; }
    void showConnectionCount(const QString &caption) override { captions << caption; }
    bool RewriteRequest(ProxyConnection &) override { return rewriteResult; }
};

// A browser: a plain socket that keeps everything it receives.
struct Browser : testsupport::RecordingSocket {
    explicit Browser(quint16 port) { socket.connectToHost(QHostAddress::LocalHost, port); }
};

bool isConnected(const Winsock *socket)
{
    return socket && socket->State() == Winsock::sckConnected;
}

ProxyConnection filledRecord()
{
    ProxyConnection record;
    record.strHeader = "GET http://example.org/ HTTP/1.0";
    record.strBody = "body";
    record.lngContentLength = 4;
    record.isReceivingBody = true;
    record.strRequest = "GET / HTTP/1.0\r\n\r\n";
    record.strHost = "example.org";
    record.intPort = 8080;
    record.isSendComplete = true;
    record.isHeaderComplete = true;
    return record;
}

void verifyClearedButPort(const ProxyConnection &record, int intPort)
{
    QCOMPARE(record.strHeader, QByteArray());
    QCOMPARE(record.strBody, QByteArray());
    QCOMPARE(record.lngContentLength, 0);
    QCOMPARE(record.isReceivingBody, false);
    QCOMPARE(record.strRequest, QByteArray());
    QCOMPARE(record.strHost, QByteArray());
    QCOMPARE(record.isSendComplete, false);
    QCOMPARE(record.intPort, intPort);
}

} // namespace

class TestConnectionTable : public QObject {
    Q_OBJECT

private:
    // One proxy run: the table listening on a free loopback port.
    struct Run {
        FakeHost host;
        RequestLog log;
        ConnectionTable table{host, log};
        std::vector<std::unique_ptr<Browser>> browsers;

        quint16 port() const { return quint16(table.Listener.LocalPort()); }
        Browser &connect()
        {
            browsers.push_back(std::make_unique<Browser>(port()));
            return *browsers.back();
        }
    };

    void start(Run &run)
    {
        run.table.Listener.setLocalPort(0);
        QVERIFY(run.table.Listener.Listen());
        QVERIFY(run.port() != 0);
    }

    // Connects one more browser and waits until it holds slot `Index`.
    void connectInto(Run &run, int Index)
    {
        run.connect();
        QTRY_VERIFY(isConnected(run.table.Win(Index)));
        QVERIFY(run.table.WinSend(Index) != nullptr);
    }

    // Connects one more browser and waits until it has been turned away.
    void connectRefused(Run &run)
    {
        const qsizetype captionsBefore = run.host.captions.size();
        const int upperBound = run.table.Win.UBound();
        Browser &browser = run.connect();
        QTRY_VERIFY(browser.sawEndOfStream);
        QCOMPARE(browser.received, QByteArray());
        // No slot was made and the counter was not touched.
        QCOMPARE(run.table.Win.UBound(), upperBound);
        QCOMPARE(run.host.captions.size(), captionsBefore);
        QCOMPARE(run.table.Listener.State(), int(Winsock::sckListening));
    }

private slots:
    void threeBrowsersTakeSlotsInOrder()
    {
        Run run;
        start(run);
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < 3; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
            QCOMPARE(run.host.captions.last(), QString::number(i + 1));
        }
        // Each slot is reset (counter refreshed) before it is accepted (refreshed again).
        const QStringList expected = {"0", "1", "2", "2", "3", "3"};
        QCOMPARE(run.host.captions, expected);
        QCOMPARE(run.table.Win.UBound(), 2);
        QCOMPARE(run.table.WinSend.UBound(), 2);
        QCOMPARE(int(run.table.Connections.size()), 3);
    }

    void removedMiddleSlotIsReusedFirst()
    {
        Run run;
        start(run);
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < 3; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
        }
        run.browsers[1]->socket.disconnectFromHost();
        QTRY_VERIFY(run.table.Win(1) == nullptr);
        QVERIFY(run.table.WinSend(1) == nullptr);
        QCOMPARE(run.host.captions.last(), QStringLiteral("2"));
        QCOMPARE(run.table.Win.UBound(), 2);
        QCOMPARE(run.table.Win.Count(), 2);

        Browser &newcomer = run.connect();
        QTRY_VERIFY(isConnected(run.table.Win(1)));
        QCOMPARE(run.table.Win.UBound(), 2);
        QCOMPARE(run.host.captions.last(), QStringLiteral("3"));
        // The bytes of the newcomer land in slot 1's record: it is the one in slot 1.
        newcomer.socket.write("GET http://exam");
        QTRY_COMPARE(run.table.Connections[1].strBody, QByteArray("GET http://exam"));
    }

    void limit_data()
    {
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
        QTest::newRow("empty") << QString() << 1;
        QTest::newRow("nan") << QStringLiteral("nan") << 1;
    }

    void limit()
    {
        QFETCH(QString, limitText);
        QFETCH(int, served);
        Run run;
        run.host.limitText = limitText;
        start(run);
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < served; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
        }
        QCOMPARE(run.host.captions.last(), QString::number(served));
        connectRefused(run);
        if (QTest::currentTestFailed())
            return;
        // The ones already served are untouched.
        for (int i = 0; i < served; ++i)
            QVERIFY(isConnected(run.table.Win(i)));
        QCOMPARE(run.host.captions.last(), QString::number(served));
    }

    void nextBrowserIsServedAfterARefusal_data()
    {
        QTest::addColumn<QString>("limitText");
        QTest::addColumn<int>("served");
        QTest::newRow("only slot 0") << QStringLiteral("2") << 1;
        QTest::newRow("slots 0 to 2") << QStringLiteral("4") << 3;
    }

    void nextBrowserIsServedAfterARefusal()
    {
        QFETCH(QString, limitText);
        QFETCH(int, served);
        Run run;
        run.host.limitText = limitText;
        start(run);
        if (QTest::currentTestFailed())
            return;
        const quint16 port = run.port();
        for (int i = 0; i < served; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
        }
        connectRefused(run);
        if (QTest::currentTestFailed())
            return;

        // The browser in the highest slot leaves; the next one takes its place.
        const int leaving = served - 1;
        run.browsers[size_t(leaving)]->socket.disconnectFromHost();
        QTRY_VERIFY(!isConnected(run.table.Win(leaving)));
        QTRY_COMPARE(run.host.captions.last(), QString::number(served - 1));
        QCOMPARE(run.port(), port);
        connectInto(run, leaving);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.host.captions.last(), QString::number(served));
        QVERIFY(!run.browsers.back()->sawEndOfStream);
    }

    void resetProxKeepsOrRemovesElements()
    {
        Run run;
        start(run);
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < 3; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
        }

        // Slot 0 is closed and cleared, never removed.
        run.table.ResetProx(0, false);
        QVERIFY(run.table.Win(0) != nullptr);
        QVERIFY(run.table.WinSend(0) != nullptr);
        QCOMPARE(run.table.Win(0)->State(), int(Winsock::sckClosed));
        QCOMPARE(run.host.captions.last(), QStringLiteral("2"));
        QTRY_VERIFY(run.browsers[0]->sawEndOfStream);
        QCOMPARE(run.browsers[0]->received, QByteArray());

        // Taking a slot keeps its elements, whatever the index.
        run.table.ResetProx(1, true);
        QVERIFY(run.table.Win(1) != nullptr);
        QVERIFY(run.table.WinSend(1) != nullptr);
        QCOMPARE(run.table.Win(1)->State(), int(Winsock::sckClosed));
        QCOMPARE(run.host.captions.last(), QStringLiteral("2"));
        QTRY_VERIFY(run.browsers[1]->sawEndOfStream);

        // Ending a slot above 0 removes both of its elements.
        run.table.ResetProx(2, false);
        QVERIFY(run.table.Win(2) == nullptr);
        QVERIFY(run.table.WinSend(2) == nullptr);
        QCOMPARE(run.table.Win.UBound(), 1);
        QCOMPARE(run.host.captions.last(), QStringLiteral("1"));
        QTRY_VERIFY(run.browsers[2]->sawEndOfStream);
    }

    void counterCountsEveryElementAboveZero()
    {
        Run run;
        run.table.RefreshCounter();
        QCOMPARE(run.host.captions.last(), QStringLiteral("0"));
        QVERIFY(run.table.Win.Load(3));
        run.table.RefreshCounter();
        QCOMPARE(run.host.captions.last(), QStringLiteral("1"));

        start(run);
        if (QTest::currentTestFailed())
            return;
        // Slot 0 is free, so it is taken although a higher element exists.
        connectInto(run, 0);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.host.captions.last(), QStringLiteral("2"));
        QCOMPARE(run.table.Win.UBound(), 3);
    }

    void closedBrowserSlotIsResetButKeepsItsPort()
    {
        Run run;
        start(run);
        if (QTest::currentTestFailed())
            return;
        for (int i = 0; i < 2; ++i) {
            connectInto(run, i);
            if (QTest::currentTestFailed())
                return;
        }
        run.table.Connections[0] = filledRecord();
        run.table.Connections[1] = filledRecord();

        run.browsers[1]->socket.disconnectFromHost();
        QTRY_VERIFY(run.table.Win(1) == nullptr);
        QVERIFY(run.table.WinSend(1) == nullptr);
        verifyClearedButPort(run.table.Connections[1], 8080);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.host.captions.last(), QStringLiteral("1"));

        run.browsers[0]->socket.disconnectFromHost();
        QTRY_COMPARE(run.table.Win(0)->State(), int(Winsock::sckClosed));
        QVERIFY(run.table.WinSend(0) != nullptr);
        verifyClearedButPort(run.table.Connections[0], 8080);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.host.captions.last(), QStringLiteral("0"));
    }

    void freeSlotWithLiveUpstreamIsTakenAndItsUpstreamClosed()
    {
        QTcpServer origin;
        QVERIFY(origin.listen(QHostAddress::LocalHost, 0));
        Run run;
        start(run);
        if (QTest::currentTestFailed())
            return;
        connectInto(run, 0);
        if (QTest::currentTestFailed())
            return;

        QSignalSpy upstreamUp(&run.table.WinSend, &WinsockArray::ConnectEvent);
        run.table.WinSend(0)->Connect(QStringLiteral("127.0.0.1"), origin.serverPort());
        QVERIFY(upstreamUp.wait(5000));
        QTRY_VERIFY(origin.hasPendingConnections());
        QTcpSocket *originSide = origin.nextPendingConnection();
        QSignalSpy originClosed(originSide, &QTcpSocket::disconnected);

        // The browser's side is no longer connected while the upstream one still is.
        run.table.Win(0)->Close();
        QTRY_VERIFY(run.browsers[0]->sawEndOfStream);
        QCOMPARE(originClosed.count(), 0);
        QCOMPARE(run.table.WinSend(0)->State(), int(Winsock::sckConnected));
        connectInto(run, 0);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(run.table.Win.UBound(), 0);
        QTRY_COMPARE(originClosed.count(), 1);
        QCOMPARE(run.table.WinSend(0)->State(), int(Winsock::sckClosed));
    }
};

QTEST_GUILESS_MAIN(TestConnectionTable)
#include "test_connection_table.moc"
