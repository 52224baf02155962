#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

class QTcpServer;
class QTcpSocket;

// The event-driven TCP socket control every network operation goes through. One object is
// either a listener (LocalPort + Listen) or a connection (Accept or Connect). All events are
// delivered on the GUI thread; handlers may call any operation, Close included, from inside an
// event of the same socket.
//
// Guarantees callers rely on:
// - Close() never raises CloseEvent and is harmless on a closed socket. CloseEvent is raised
//   only when the peer closes.
// - Closing is graceful: bytes already queued reach the peer before our FIN.
// - SendData() queues without limit and returns at once; SendComplete follows once everything
//   queued has been handed to the network.
// - GetData() returns every byte received so far.
class Winsock : public QObject {
    Q_OBJECT
public:
    // State codes. 0 and 7 are the ones the proxy tests; the others are informative.
    enum StateCode {
        sckClosed = 0,
        sckListening = 2,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8, // the peer has closed; Close() has not been called yet
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
    QString RemoteHostIP() const;
    // Bytes handed to SendData that have not reached the kernel yet.
    qint64 BytesQueued() const;

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

    qint32 m_localPort = 0;
    QTcpServer *m_server = nullptr;
    QTcpSocket *m_socket = nullptr;
    int m_state = sckClosed;
    quint64 m_generation = 0; // tells reports of a replaced socket from the current one's
    QString m_listenError;
};
