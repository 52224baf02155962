#include <QMetaEnum>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <sys/socket.h>

#include "net/graceful_close.h"
#include "net/socket_errors.h"
#include "net/winsock.h"
#include "support/recording_socket.h"
#include "support/test_support.h"

namespace {

// Large transfers over loopback take a moment on a busy machine.
constexpr int kTransferTimeoutMs = 60000;

using Peer = testsupport::RecordingSocket;

// A listening control whose ConnectionRequest is accepted on `accepted`.
struct AcceptingListener {
    Winsock listener;
    Winsock accepted;
    int requests = 0;

    bool listen()
    {
        listener.setLocalPort(0);
        QObject::connect(&listener, &Winsock::ConnectionRequest, &listener,
                         [this](qintptr requestID) {
                             ++requests;
                             accepted.Accept(requestID);
                         });
        return listener.Listen();
    }
    quint16 port() const { return quint16(listener.LocalPort()); }
};

QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 4093) & 0xff);
    return bytes;
}

bool loopbackIPv6Available()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHostIPv6, 0);
}

} // namespace

class TestWinsock : public QObject {
    Q_OBJECT

private:
    // Connects `peer` to a fresh listener and waits until `side.accepted` holds the connection.
    void connectPair(AcceptingListener &side, Peer &peer)
    {
        QVERIFY(side.listen());
        peer.socket.connectToHost(QHostAddress::LocalHost, side.port());
        QTRY_COMPARE(int(side.accepted.State()), int(Winsock::sckConnected));
        QTRY_COMPARE(peer.socket.state(), QAbstractSocket::ConnectedState);
    }

private slots:
    void stateCodesFollowTheConnection()
    {
        AcceptingListener side;
        QCOMPARE(side.listener.State(), 0);
        QCOMPARE(side.accepted.State(), 0);
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(side.listener.State(), 2);
        QCOMPARE(side.accepted.State(), 7);

        QSignalSpy closes(&side.accepted, &Winsock::CloseEvent);
        peer.socket.disconnectFromHost();
        QVERIFY(closes.wait(5000));
        QCOMPARE(side.accepted.State(), 8);

        side.accepted.Close();
        QCOMPARE(side.accepted.State(), 0);
        side.listener.Close();
        QCOMPARE(side.listener.State(), 0);
    }

    void ownCloseRaisesNoCloseEvent()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy closes(&side.accepted, &Winsock::CloseEvent);
        QSignalSpy errors(&side.accepted, &Winsock::Error);

        side.accepted.Close();
        QCOMPARE(side.accepted.State(), 0);
        QTRY_VERIFY(peer.sawEndOfStream);
        // The peer answers our FIN with its own; that close must not come back as an event.
        peer.socket.close();
        QVERIFY(!closes.wait(300));
        QCOMPARE(closes.count(), 0);
        QCOMPARE(errors.count(), 0);
    }

    void peerCloseRaisesCloseEventAfterItsLastData()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QStringList events;
        QByteArray arrived;
        connect(&side.accepted, &Winsock::DataArrival, this, [&] {
            arrived += side.accepted.GetData();
            events << QStringLiteral("data");
        });
        connect(&side.accepted, &Winsock::CloseEvent, this,
                [&] { events << QStringLiteral("close:") + QString::fromLatin1(arrived); });
        QSignalSpy errors(&side.accepted, &Winsock::Error);

        peer.socket.write("the last words");
        peer.socket.disconnectFromHost();
        QTRY_VERIFY(events.contains(QStringLiteral("close:the last words")));
        QCOMPARE(events.first(), QStringLiteral("data"));
        QCOMPARE(events.count(QStringLiteral("close:the last words")), 1);
        QCOMPARE(events.last(), QStringLiteral("close:the last words"));
        QCOMPARE(errors.count(), 0);
    }

    void peerResetIsAClose()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy closes(&side.accepted, &Winsock::CloseEvent);
        QSignalSpy errors(&side.accepted, &Winsock::Error);
        // A zero linger time turns the peer's close into a reset.
        const linger resetAtClose{1, 0};
        QCOMPARE(::setsockopt(int(peer.socket.socketDescriptor()), SOL_SOCKET, SO_LINGER,
                              &resetAtClose, sizeof resetAtClose),
                 0);
        peer.socket.abort();
        QVERIFY(closes.wait(5000));
        QCOMPARE(closes.count(), 1);
        QCOMPARE(errors.count(), 0);
    }

    void sendCompleteFollowsALargeSend()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy completions(&side.accepted, &Winsock::SendComplete);
        const QByteArray data = patternBytes(8 * 1024 * 1024);

        side.accepted.SendData(data);
        QCOMPARE(completions.count(), 0); // queued, not sent inside SendData
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), data.size(), kTransferTimeoutMs);
        QTRY_VERIFY(completions.count() >= 1);
        QCOMPARE(side.accepted.BytesQueued(), 0);
        QVERIFY(peer.received == data);
    }

    void sendsKeepTheirOrder()
    {
        // Small sends go straight to the kernel while nothing is queued. One made while a large
        // send is still queued, after the peer has taken some of it, must wait its turn.
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy completions(&side.accepted, &Winsock::SendComplete);
        const QList<qsizetype> sizes = {10, 16 * 1024 * 1024, 1, 700, 8 * 1024 * 1024, 20};
        QByteArray sent;
        for (const qsizetype size : sizes) {
            const QByteArray piece = patternBytes(size).prepend(char('a' + sent.size() % 26));
            side.accepted.SendData(piece);
            sent += piece;
            const qsizetype receivedBefore = peer.received.size();
            if (side.accepted.BytesQueued() > 0)
                QTRY_VERIFY_WITH_TIMEOUT(peer.received.size() > receivedBefore, kTransferTimeoutMs);
        }
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), sent.size(), kTransferTimeoutMs);
        QVERIFY(peer.received == sent);
        QTRY_VERIFY(completions.count() >= 1);
        QCOMPARE(side.accepted.BytesQueued(), 0);
    }

    void refusedPortReportsErrorFromTheEventLoop()
    {
        const quint16 port = testsupport::freeLoopbackPort();
        QVERIFY(port != 0);
        Winsock socket;
        QSignalSpy errors(&socket, &Winsock::Error);
        QSignalSpy connects(&socket, &Winsock::ConnectEvent);

        socket.Connect(QStringLiteral("127.0.0.1"), port);
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait(5000));
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).metaType(), QMetaType::fromType<qint16>());
        QCOMPARE(errors.at(0).at(0).value<qint16>(), qint16(10061));
        QCOMPARE(errors.at(0).at(1).toString(), QStringLiteral("Connection refused"));
        QCOMPARE(connects.count(), 0);
        QCOMPARE(socket.State(), 9);
        socket.Close();
        QCOMPARE(socket.State(), 0);
    }

    void connectsToIPv6Literal_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("bare") << QStringLiteral("::1");
        QTest::newRow("bracketed") << QStringLiteral("[::1]");
    }

    void connectsToIPv6Literal()
    {
        QFETCH(QString, host);
        if (!loopbackIPv6Available())
            QSKIP("::1 is not available on this machine");
        AcceptingListener side;
        QVERIFY(side.listen());
        Winsock client;
        QSignalSpy connects(&client, &Winsock::ConnectEvent);
        QSignalSpy errors(&client, &Winsock::Error);

        client.Connect(host, side.port());
        QVERIFY(connects.wait(5000));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(client.State(), 7);
        QCOMPARE(client.RemoteHostIP(), QStringLiteral("::1"));
        QTRY_COMPARE(side.accepted.State(), 7);
        // A real IPv6 peer is not mistaken for a mapped IPv4 one.
        QCOMPARE(side.accepted.RemoteHostIP(), QStringLiteral("::1"));
    }

    void connectsToAName()
    {
        AcceptingListener side;
        QVERIFY(side.listen());
        Winsock client;
        QSignalSpy connects(&client, &Winsock::ConnectEvent);
        QSignalSpy errors(&client, &Winsock::Error);

        client.Connect(QStringLiteral("localhost"), side.port());
        QCOMPARE(connects.count(), 0);
        QVERIFY(connects.wait(10000));
        QCOMPARE(errors.count(), 0);
        QCOMPARE(client.State(), 7);
        QTRY_COMPARE(side.accepted.State(), 7);

        // Both ends carry bytes once connected.
        QByteArray arrived;
        connect(&side.accepted, &Winsock::DataArrival, this,
                [&] { arrived += side.accepted.GetData(); });
        client.SendData("ping");
        QTRY_COMPARE(arrived, QByteArray("ping"));
    }

    void gracefulCloseDeliversEveryQueuedByte()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        const QByteArray data = patternBytes(16 * 1024 * 1024);

        side.accepted.SendData(data);
        side.accepted.Close();
        QTRY_VERIFY_WITH_TIMEOUT(peer.sawEndOfStream, kTransferTimeoutMs);
        QCOMPARE(peer.received.size(), data.size());
        QVERIFY(peer.received == data);
    }

    void gracefulCloseSurvivesUnreadInput()
    {
        // Input the owner never read must not turn the close into a reset that destroys the
        // answer still on its way.
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        const QByteArray data = patternBytes(4 * 1024 * 1024);
        peer.socket.write(patternBytes(256 * 1024));

        side.accepted.SendData(data);
        side.accepted.Close();
        peer.socket.write(QByteArray(64 * 1024, 'x')); // more arrives after the close
        QTRY_VERIFY_WITH_TIMEOUT(peer.sawEndOfStream, kTransferTimeoutMs);
        QCOMPARE(peer.received.size(), data.size());
        QVERIFY(peer.received == data);
    }

    void gracefulCloseWaitsForASlowReader()
    {
        // The closing socket looks at its progress many times while the peer reads slowly; a
        // peer that keeps taking bytes is never cut off.
        setClosingTimings(20, 60000);
        const auto restoreTimings = qScopeGuard([] { setClosingTimings(5000, 60000); });
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QObject::disconnect(&peer.socket, &QTcpSocket::readyRead, nullptr, nullptr);
        peer.socket.setReadBufferSize(16 * 1024);
        QTimer slowReads;
        connect(&slowReads, &QTimer::timeout, this,
                [&] { peer.received += peer.socket.read(16 * 1024); });
        slowReads.start(5);
        const QByteArray data = patternBytes(4 * 1024 * 1024);

        side.accepted.SendData(data);
        side.accepted.Close();
        QTRY_VERIFY_WITH_TIMEOUT(peer.sawEndOfStream && peer.socket.bytesAvailable() == 0,
                                 kTransferTimeoutMs);
        QCOMPARE(peer.received.size(), data.size());
        QVERIFY(peer.received == data);
    }

    void remoteHostIpOfAnIPv4ClientIsDotted()
    {
        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(side.accepted.RemoteHostIP(), QStringLiteral("127.0.0.1"));

        // Still readable when the peer has gone and the close event has been raised.
        QSignalSpy closes(&side.accepted, &Winsock::CloseEvent);
        peer.socket.disconnectFromHost();
        QVERIFY(closes.wait(5000));
        QCOMPARE(side.accepted.RemoteHostIP(), QStringLiteral("127.0.0.1"));
    }

    void unacceptedConnectionIsClosedWithoutAByte()
    {
        Winsock listener;
        listener.setLocalPort(0);
        int requests = 0;
        qintptr lastRequest = -1;
        connect(&listener, &Winsock::ConnectionRequest, this, [&](qintptr requestID) {
            ++requests;
            lastRequest = requestID;
        });
        QVERIFY(listener.Listen());
        Peer peer;
        peer.socket.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));

        QTRY_VERIFY(peer.sawEndOfStream);
        QCOMPARE(requests, 1);
        QCOMPARE(peer.received, QByteArray());
        // Too late: the connection is gone once the handler has returned.
        Winsock late;
        QVERIFY(!late.Accept(lastRequest));
        QCOMPARE(late.State(), 0);
        // The listener goes on listening.
        QCOMPARE(listener.State(), 2);
        Peer next;
        next.socket.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
        QTRY_COMPARE(requests, 2);
    }

    void closeOnAClosedSocketIsHarmless()
    {
        Winsock never;
        QSignalSpy neverCloses(&never, &Winsock::CloseEvent);
        never.Close();
        never.Close();
        QCOMPARE(never.State(), 0);
        QCOMPARE(never.GetData(), QByteArray());
        never.SendData("ignored");
        QCOMPARE(neverCloses.count(), 0);

        AcceptingListener side;
        Peer peer;
        connectPair(side, peer);
        if (QTest::currentTestFailed())
            return;
        QSignalSpy closes(&side.accepted, &Winsock::CloseEvent);
        QSignalSpy errors(&side.accepted, &Winsock::Error);
        side.accepted.Close();
        side.accepted.Close();
        QCOMPARE(side.accepted.State(), 0);
        QTRY_VERIFY(peer.sawEndOfStream);
        QCOMPARE(closes.count(), 0);
        QCOMPARE(errors.count(), 0);
    }

    void errorMapping_data()
    {
        QTest::addColumn<int>("error");
        QTest::addColumn<int>("number");
        QTest::addColumn<QString>("description");
        QTest::newRow("refused") << int(QAbstractSocket::ConnectionRefusedError) << 10061
                                 << QStringLiteral("Connection refused");
        QTest::newRow("host not found")
            << int(QAbstractSocket::HostNotFoundError) << 11001 << QStringLiteral("Host not found");
        QTest::newRow("timed out") << int(QAbstractSocket::SocketTimeoutError) << 10060
                                   << QStringLiteral("Connection timed out");
        QTest::newRow("network") << int(QAbstractSocket::NetworkError) << 10051
                                 << QStringLiteral("Network is unreachable");
        QTest::newRow("remote closed") << int(QAbstractSocket::RemoteHostClosedError) << 10054
                                       << QStringLiteral("Connection reset by peer");
    }

    void errorMapping()
    {
        QFETCH(int, error);
        QFETCH(int, number);
        QFETCH(QString, description);
        const SocketErrorInfo info = socketErrorInfo(QAbstractSocket::SocketError(error));
        QCOMPARE(int(info.number), number);
        QCOMPARE(info.description, description);
    }

    void everyErrorHasAWindowsSocketsNumber()
    {
        const QMetaEnum errors = QMetaEnum::fromType<QAbstractSocket::SocketError>();
        QVERIFY(errors.keyCount() > 10);
        QSet<int> numbersSeen;
        for (int k = 0; k < errors.keyCount(); ++k) {
            const auto error = QAbstractSocket::SocketError(errors.value(k));
            const SocketErrorInfo info = socketErrorInfo(error);
            const QByteArray name = errors.key(k);
            QVERIFY2(!info.description.isEmpty(), name.constData());
            // The number travels as a signed 16-bit value; -1 stands for "unknown".
            const int number = info.number;
            QVERIFY2(number >= -32768 && number <= 32767, name.constData());
            if (number == -1)
                continue;
            QVERIFY2(number >= 10000 && number <= 11999, name.constData());
            QVERIFY2(!numbersSeen.contains(number), name.constData());
            numbersSeen.insert(number);
        }
        QCOMPARE(int(socketErrorInfo(QAbstractSocket::UnknownSocketError).number), -1);
    }

    void unknownHostReportsHostNotFound()
    {
        Winsock socket;
        QSignalSpy errors(&socket, &Winsock::Error);
        // The .invalid top-level name never resolves.
        socket.Connect(QStringLiteral("no-such-host.invalid"), 80);
        QCOMPARE(errors.count(), 0);
        QVERIFY(errors.wait(60000));
        QCOMPARE(errors.at(0).at(0).value<qint16>(), qint16(11001));
        QCOMPARE(errors.at(0).at(1).toString(), QStringLiteral("Host not found"));
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "test_winsock.moc"
