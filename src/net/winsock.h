#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include "net/reset_watch.h"

class QTcpServer;
class QTcpSocket;

// The event-driven TCP socket control every network operation goes through. One object is
// either a listener (LocalPort + Listen) or a connection (Accept or Connect). All events are
// delivered on the GUI thread; handlers may call any operation, Close included, from inside an
// event of the same socket.
//
// Guarantees callers rely on:
// - Close() never raises CloseEvent and is harmless on a closed socket. CloseEvent is raised
//   only when the peer closes (a FIN, or a reset: the two cannot be told apart reliably, and
//   either way the peer is gone). Bytes that came before the peer's close are announced by
//   DataArrival first.
// - Closing is graceful: bytes already queued reach the peer before our FIN.
// - SendData() queues without limit and returns at once; SendComplete follows once everything
//   queued has been handed to the network.
// - GetData() returns every byte received so far.
// - No event is raised from inside the operation that causes it: a Connect that fails at once
//   (a refused loopback port) reports its Error, and one that succeeds at once its
//   ConnectEvent, from the event loop after Connect has returned; a SendData whose bytes the
//   kernel takes at once reports its SendComplete from the event loop too.
// - A connection announced by ConnectionRequest and not accepted by the time the handler
//   returns is closed: the client sees its connection end without a byte. Before that, if
//   accepted connections turn out to have been closed by their peers, their CloseEvents are
//   raised and the same connection is announced once more.
class Winsock : public QObject {
    Q_OBJECT
public:
    // State codes. 0 and 7 are the ones the proxy tests; the others are informative and
    // count as not connected.
    enum StateCode {
        sckClosed = 0,
        sckListening = 2,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8, // the peer has closed (CloseEvent may still be on its way); Close()
                        // has not been called yet
        sckError = 9,   // a connect or the connection failed; Close() has not been called yet
    };

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    void setLocalPort(qint32 port) { m_localPort = port; }
    qint32 LocalPort() const;
    // Starts listening on LocalPort on every local address. False when the port cannot be
    // used; ListenErrorText() then says why in a short sentence.
    bool Listen();
    QString ListenErrorText() const { return m_listenError; }

    // Takes over a connection announced by ConnectionRequest (of any listener).
    bool Accept(qintptr requestID);
    // Host may be a name, an IPv4 address or an IPv6 literal with or without brackets.
    void Connect(const QString &host, quint16 port);
    void SendData(const QByteArray &data);
    QByteArray GetData();
    void Close();

    int State() const;
    // The peer's address as text; an IPv4 peer on the dual-stack listener is shown as plain
    // dotted IPv4. It stays readable after the peer has closed, until the next Accept or
    // Connect.
    QString RemoteHostIP() const;
    // Bytes handed to SendData that have not reached the kernel yet.
    qint64 BytesQueued() const;

    // The most this socket takes from the kernel before its bytes have been read with GetData:
    // it bounds the piece one DataArrival announces, and with it what a relay holds at once.
    static constexpr qint64 kReadBufferBytes = 256 * 1024;

    // Flow control. While paused, nothing more is taken from the peer (the kernel's TCP window
    // then holds the sender back) and neither DataArrival nor the peer's close is announced;
    // resuming announces, from the event loop, whatever waited, in order.
    void PauseReceiving();
    void ResumeReceiving();
    bool IsReceivingPaused() const { return m_isPaused; }

signals:
    // A connection waits on the listener; it is closed unless a handler accepts it.
    void ConnectionRequest(qintptr requestID);
    void ConnectEvent();
    void DataArrival(qint64 bytesTotal);
    void SendComplete();
    void CloseEvent();
    void Error(qint16 Number, const QString &Description);

private:
    void adoptSocket(QTcpSocket *socket);
    void onSocketError(int socketError);
    void onBytesWritten();
    void onConnectionWaiting(qintptr descriptor);
    static int announceQuietCloses();
    void onConnected();
    void announceSendComplete();
    void rememberPeer();
    void forgetPeer();
    void onPeerEnded();
    void announcePeerEnd();

    qint32 m_localPort = 0;
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_socket = nullptr;
    int m_state = sckClosed;
    quint64 m_generation = 0; // tells reports of a replaced socket from the current one's
    bool m_isInsideConnect = false;
    bool m_isInsideSend = false;
    bool m_isSendCompletePending = false;
    // The peer's address as Qt reports it, and its text, made when it is first asked for (most
    // upstream connections are never asked).
    QHostAddress m_remoteAddress;
    mutable QString m_remoteHostIP;
    bool m_isPaused = false;
    bool m_hasPeerEnded = false; // the peer closed or reset while receiving was paused
    ResetWatch m_resetWatch;     // upstream connections only: a server's reset is an error
    QString m_listenError;
};
