// How the socket control paces its work under load: how much one DataArrival may carry, when
// SendComplete is raised for bytes the kernel took at once, and a newcomer that arrives while
// the only slot's peer has closed unseen.
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "net/winsock.h"
#include "support/test_support.h"

namespace {

constexpr int kTransferTimeoutMs = 60000;

QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 131 + i / 4093) & 0xff);
    return bytes;
}

// A listener whose connections are accepted on `accepted`, and a plain Qt client of it.
struct Pair {
    Winsock listener;
    Winsock accepted;
    QTcpSocket client;
    QByteArray clientReceived;

    bool open()
    {
        listener.setLocalPort(0);
        QObject::connect(&listener, &Winsock::ConnectionRequest, &listener,
                         [this](qintptr requestID) { accepted.Accept(requestID); });
        QObject::connect(&client, &QTcpSocket::readyRead, &client,
                         [this] { clientReceived += client.readAll(); });
        if (!listener.Listen())
            return false;
        client.connectToHost(QHostAddress::LocalHost, quint16(listener.LocalPort()));
        return QTest::qWaitFor([this] {
            return accepted.State() == Winsock::sckConnected &&
                   client.state() == QAbstractSocket::ConnectedState;
        });
    }
    ~Pair() { QObject::disconnect(&client, nullptr, nullptr, nullptr); }
};

// A client that sends one request as soon as it is connected and keeps the answer.
struct Browser {
    QTcpSocket socket;
    QByteArray answer;

    Browser(quint16 port, const QByteArray &request)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { answer += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
        socket.write(request); // goes out once connected
    }
    ~Browser() { QObject::disconnect(&socket, nullptr, nullptr, nullptr); }
};

} // namespace

class TestSocketPacing : public QObject {
    Q_OBJECT

private slots:
    void sendCompleteIsRaisedFromTheEventLoop_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("taken by the kernel at once") << 1024;
        QTest::newRow("more than the kernel takes at once") << 16 * 1024 * 1024;
    }

    // Whether the kernel takes the bytes inside SendData or later, SendComplete is raised from
    // the event loop, once, when nothing is queued any more, and the peer gets every byte.
    void sendCompleteIsRaisedFromTheEventLoop()
    {
        QFETCH(int, size);
        Pair pair;
        QVERIFY(pair.open());
        bool isInsideSendData = false;
        int raisedInside = 0;
        QList<qint64> queuedWhenRaised;
        connect(&pair.accepted, &Winsock::SendComplete, this, [&] {
            raisedInside += isInsideSendData ? 1 : 0;
            queuedWhenRaised.append(pair.accepted.BytesQueued());
        });
        const QByteArray data = patternBytes(size);

        isInsideSendData = true;
        pair.accepted.SendData(data);
        isInsideSendData = false;

        QTRY_VERIFY_WITH_TIMEOUT(pair.clientReceived.size() == data.size(), kTransferTimeoutMs);
        QTRY_VERIFY(!queuedWhenRaised.isEmpty());
        QCOMPARE(raisedInside, 0);
        QCOMPARE(queuedWhenRaised.last(), 0);
        QVERIFY(pair.clientReceived == data);
    }

    // A close right after a send: the report of the send is dropped with the connection, and
    // the next connection of the same control does not receive it.
    void sendCompleteOfAClosedConnectionIsDropped()
    {
        Pair pair;
        QVERIFY(pair.open());
        QSignalSpy completes(&pair.accepted, &Winsock::SendComplete);
        pair.accepted.SendData("answer");
        pair.accepted.Close();
        QTRY_COMPARE(pair.clientReceived, QByteArray("answer"));
        QTRY_COMPARE(pair.client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(completes.count(), 0);
    }

    // However much the peer sends at once, one DataArrival hands over at most the read bound,
    // so a relay never holds more than that of one read; the pieces together are the bytes
    // sent, in order.
    void onePieceIsBoundedByTheReadBuffer()
    {
        Pair pair;
        QVERIFY(pair.open());
        QByteArray received;
        qint64 largestPiece = 0;
        connect(&pair.accepted, &Winsock::DataArrival, this, [&] {
            const QByteArray piece = pair.accepted.GetData();
            largestPiece = qMax(largestPiece, qint64(piece.size()));
            received += piece;
        });
        const QByteArray data = patternBytes(8 * 1024 * 1024);
        pair.client.write(data);
        QTRY_VERIFY_WITH_TIMEOUT(received.size() == data.size(), kTransferTimeoutMs);
        QVERIFY(received == data);
        QVERIFY2(largestPiece <= Winsock::kReadBufferBytes,
                 qPrintable(QString::number(largestPiece)));
        QVERIFY(largestPiece > 0);
    }

    // One slot, and a browser that closes its connection and at once opens the next (as a load
    // test with "Connection: close" does). The new connection may be seen before the old one's
    // close; refused then for want of the slot, it is announced again once the old close has
    // been found, and it is served. Repeated, so that both orders come up.
    void newcomerGetsTheSlotOfAQuietlyClosedConnection()
    {
        Winsock listener;
        Winsock slot;
        listener.setLocalPort(0);
        int requestsThisRound = 0;
        int reannounced = 0;
        connect(&listener, &Winsock::ConnectionRequest, this, [&](qintptr requestID) {
            ++requestsThisRound;
            if (slot.State() != Winsock::sckConnected)
                slot.Accept(requestID);
        });
        connect(&slot, &Winsock::CloseEvent, this, [&] { slot.Close(); });
        connect(&slot, &Winsock::DataArrival, this,
                [&] { slot.SendData("served " + slot.GetData()); });
        QVERIFY(listener.Listen());
        const quint16 port = quint16(listener.LocalPort());

        constexpr int kRounds = 40;
        auto current = std::make_unique<Browser>(port, "round -1");
        QTRY_COMPARE(current->answer, QByteArray("served round -1"));
        for (int round = 0; round < kRounds; ++round) {
            // The close and the new connection both reach the kernel before the event loop
            // runs again.
            requestsThisRound = 0;
            current->socket.disconnectFromHost();
            const QByteArray request = "round " + QByteArray::number(round);
            auto next = std::make_unique<Browser>(port, request);
            QTRY_VERIFY_WITH_TIMEOUT(next->answer == "served " + request ||
                                         next->socket.state() == QAbstractSocket::UnconnectedState,
                                     10000);
            QVERIFY2(
                next->answer == "served " + request,
                qPrintable(QStringLiteral("round %1: the newcomer was turned away").arg(round)));
            reannounced += requestsThisRound > 1 ? 1 : 0;
            current = std::move(next);
        }
        qInfo("%d of %d newcomers were announced a second time", reannounced, kRounds);
    }
};

QTEST_GUILESS_MAIN(TestSocketPacing)
#include "test_socket_pacing.moc"
