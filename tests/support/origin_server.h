#pragma once

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace testsupport {

// An origin server on 127.0.0.1 (or another address) in one of two modes.
//
// Scripted (the default): it records what arrives on each connection, numbered in the order
// they were accepted, and answers only as the test tells it: send pieces, close gracefully,
// reset, or keep the connection open. With echo on, every byte that arrives is sent straight
// back as well.
//
// Serving (constructed with a body): it answers every GET for /client/<id> itself with
// bulkHead(id) and the shared body, then closes the connection (unless told to keep it open).
// It keeps no record per connection, so that hundreds of connections at once or thousands in a
// row cost next to nothing and do not show in a memory measurement; the body is one QByteArray
// whose data every connection's write queue shares. While holding, requests are kept
// unanswered until released.
class OriginServer {
public:
    OriginServer();
    explicit OriginServer(const QByteArray &sharedBody);
    ~OriginServer();
    OriginServer(const OriginServer &) = delete;
    OriginServer &operator=(const OriginServer &) = delete;

    bool listen(const QHostAddress &address = QHostAddress::LocalHost);
    quint16 port() const { return m_server.serverPort(); }
    // "127.0.0.1:port", as a Host header names this server.
    QByteArray authority() const;

    // Connections accepted so far, and those of them not ended yet.
    int connectionCount() const { return m_accepted; }
    int openConnections() const { return m_open; }
    // Connections on which a header block has arrived, answered or not.
    int requestCount() const { return m_requests; }

    // Scripted mode.
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
    void setEcho(bool isEcho) { m_isEcho = isEcho; }
    // Called once per connection, as soon as its first whole request is in.
    std::function<void(int connection)> onRequest;

    // Serving mode.
    const QByteArray &body() const { return m_body; }
    void setHolding(bool isHolding) { m_isHolding = isHolding; }
    // Answers the held request of client id; false when there is none.
    bool release(int id);
    // Answers every held request and stops holding.
    void releaseAll();
    // The connection of client id stays open after its answer, until the other side closes
    // it, so that whether the proxy let go of it shows.
    void keepOpenAfterAnswer(int id) { m_keptOpen.insert(id); }
    int heldCount() const { return int(m_held.size()); }

private:
    struct Connection {
        QPointer<QTcpSocket> socket;
        QByteArray received;
        bool hasHead = false;
        bool isDisconnected = false;
        bool isAnswered = false;
    };
    void accept();
    void takeScripted(QTcpSocket *socket, Connection &state, int index);
    void takeServed(QTcpSocket *socket);
    void answer(QTcpSocket *socket, int id);

    QTcpServer m_server;
    bool m_isServing = false;
    bool m_isEcho = false;
    std::vector<std::unique_ptr<Connection>> m_connections;
    int m_accepted = 0;
    int m_open = 0;
    int m_requests = 0;

    QByteArray m_body;
    bool m_isHolding = false;
    QHash<int, QPointer<QTcpSocket>> m_held;
    QSet<int> m_keptOpen;
};

// The response a serving OriginServer sends to the request for /client/<id>: a head that names
// the id, then the shared body.
QByteArray bulkHead(int id, qsizetype bodySize);

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
    // The proxy's port on another of this machine's addresses, so that the proxy sees the
    // browser coming from that address.
    void connectTo(const QHostAddress &address, quint16 port);
    bool isConnected() const;
    void send(const QByteArray &data);
    // Waits for the connection, writes data with Nagle's delay off and returns once all of it
    // has been handed to the kernel, so that each call leaves in segments of its own; false when
    // that did not happen in time, or the connection ended first.
    bool sendNow(const QByteArray &data);
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

// One whole exchange through the proxy on port by a browser and an origin of its own; true once
// the answer is in and that browser's connection has ended. The proxy reads its connections
// from one event loop, so by then it has had its turn at whatever was already waiting on the
// others: a test that checks that something did not happen waits for this instead of for a
// time. The exchange is logged like any other request.
bool serveAnotherBrowser(quint16 port);

} // namespace testsupport
