#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>

namespace testsupport {

// An origin server on 127.0.0.1 that records what arrives on each connection and answers only
// as the test tells it: send pieces, close gracefully, reset, or keep the connection open.
class OriginServer {
public:
    OriginServer();
    ~OriginServer();
    OriginServer(const OriginServer &) = delete;
    OriginServer &operator=(const OriginServer &) = delete;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return m_server.serverPort(); }
    // "127.0.0.1:port", as a Host header names this server.
    QByteArray authority() const;

    int connectionCount() const { return int(m_connections.size()); }
    QByteArray received(int connection) const;
    // A whole request (header block and the body its Content-Length announces) has arrived.
    bool hasRequest(int connection) const;
    // The connection has ended (the proxy closed it, or this side did).
    bool isDisconnected(int connection) const;
    QTcpSocket *socket(int connection) const;

    void send(int connection, const QByteArray &data);
    // Graceful close: what is queued still goes out, then the FIN.
    void close(int connection);
    // Abortive close: the kernel answers with a reset instead of a FIN.
    void reset(int connection);

    // Called once per connection, as soon as its first whole request is in.
    std::function<void(int connection)> onRequest;

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool isDisconnected = false;
        bool isAnswered = false;
    };
    void accept();

    QTcpServer m_server;
    std::vector<std::unique_ptr<Connection>> m_connections;
};

// A browser stand-in: one raw connection to the proxy that records every byte it receives and
// whether the proxy closed the connection. Reading can be held back or slowed down, so that the
// proxy has to queue what it relays.
class ProxyClient {
public:
    ProxyClient();
    ~ProxyClient();
    ProxyClient(const ProxyClient &) = delete;
    ProxyClient &operator=(const ProxyClient &) = delete;

    void connectTo(quint16 port);
    bool isConnected() const;
    void send(const QByteArray &data);
    void abort();
    // Our FIN: the proxy sees the browser close in order.
    void close();

    // Reads nothing more until resumeReading(); the kernel buffers fill and the proxy has to
    // keep the rest queued.
    void holdReading();
    void resumeReading();
    // Reads at most stepBytes at every tick of a timer; the buffers are limited as above.
    void readSlowly(qint64 stepBytes, int intervalMilliseconds);

    const QByteArray &received() const { return m_received; }
    // Bytes that have arrived but are held back unread (holdReading).
    qint64 bytesWaiting() const { return m_socket.bytesAvailable(); }
    // The proxy closed the connection and everything that came before the close has been read.
    bool isClosed() const { return m_isDisconnected && m_socket.bytesAvailable() == 0; }
    // The connection ended before it was ever established, or was closed by the peer.
    bool isDisconnected() const { return m_isDisconnected; }

private:
    void readAvailable();
    void limitBuffers(qint64 bytes);

    QTcpSocket m_socket;
    QTimer m_slowReader;
    QByteArray m_received;
    qint64 m_step = 0;
    bool m_isHolding = false;
    bool m_isDisconnected = false;
};

// "GET http://authority/path HTTP/1.1" with a Host header, as a browser asks a proxy.
QByteArray absoluteGet(const QByteArray &authority, const QByteArray &path);
// A complete response with Content-Length.
QByteArray okResponse(const QByteArray &body);
// Deterministic bytes without short repeats, so that lost or reordered pieces show.
QByteArray patternBytes(qsizetype size, quint32 seed);

} // namespace testsupport
