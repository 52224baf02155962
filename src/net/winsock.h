#pragma once

#include <QByteArray>
#include <QString>
#include <asio/ip/tcp.hpp>
#include <memory>
#include <system_error>

#include "net/send_queue.h"
#include "net/socket_errors.h"

class EngineContext;
class Winsock;

// What a socket reports to the one object that owns it. Every report comes from the event loop,
// never from inside an operation of the socket, so a handler may call any operation, Close
// included. Reports of a socket that has been closed since are dropped.
class WinsockEvents {
public:
    virtual void ConnectEvent(Winsock &socket) = 0;
    // Bytes, the peer's close or a failure wait to be read with GetData.
    virtual void DataArrival(Winsock &socket) = 0;
    // Everything handed to SendData has been handed to the network.
    virtual void SendComplete(Winsock &socket) = 0;
    // A connect, a read or a write failed.
    virtual void Error(Winsock &socket, const SocketErrorInfo &error) = 0;
    // Keeps the owner alive while an operation of one of its sockets is pending.
    virtual std::shared_ptr<void> keepAlive() = 0;

protected:
    ~WinsockEvents() = default;
};

// The socket control every connection goes through: one TCP connection, taken from the
// listener (Accept) or made to a server (Connect), on the engine's thread. It reads only when
// its owner asks for more (ReceiveMore), which is how a slot holds one side back while the other
// drains, and it never blocks: what the kernel does not take at once waits in a queue.
class Winsock {
public:
    // State codes. 0 and 7 are the ones the proxy tests; the others count as not connected.
    enum StateCode {
        sckClosed = 0,
        sckResolvingHost = 4,
        sckConnecting = 6,
        sckConnected = 7,
        sckClosing = 8, // the peer has closed; Close() has not been called yet
        sckError = 9,   // a connect or the connection failed; Close() has not been called yet
    };

    // What one GetData found.
    struct Received {
        qsizetype size = 0;        // bytes placed in the buffer
        bool isPeerClosed = false; // the peer closed in order: nothing more will come
        std::error_code error;     // the connection failed; a reset shows here
    };

    // How Close ends a connection that has nothing queued. A browser may still be sending when
    // its connection is closed (its next request), and closing over unread input makes the
    // kernel answer with a reset that can destroy our last bytes on their way: its connection
    // lingers (ClosingSockets). A server's connection is closed at once: what it still sends
    // belongs to an exchange that is over.
    enum class Closing { Lingering, Prompt };

    Winsock(EngineContext &engine, WinsockEvents &owner, Closing closing);
    ~Winsock();
    Winsock(const Winsock &) = delete;
    Winsock &operator=(const Winsock &) = delete;

    // Takes over a connection the listener accepted.
    void Accept(asio::ip::tcp::socket socket);
    // Looks the host up (a name, an IPv4 address or an IPv6 literal with or without brackets)
    // and connects to each address in turn until one answers: ConnectEvent, or Error once all
    // have failed.
    void Connect(const QByteArray &host, quint16 port);

    // DataArrival follows once something waits to be read; one request, one report.
    void ReceiveMore();
    // Reads what waits, up to capacity bytes.
    Received GetData(char *buffer, qsizetype capacity);

    // Hands the bytes to the kernel, and queues what it does not take at once. SendComplete
    // follows once the queue is empty; a failure is reported with Error.
    void SendData(const char *data, qsizetype size);
    void SendData(const QByteArray &data) { SendData(data.constData(), data.size()); }
    qsizetype BytesQueued() const { return m_queue.size(); }

    // Never loses what is queued: it still reaches the peer, then our FIN (see ClosingSockets
    // and Closing). Harmless on a closed socket; raises nothing.
    void Close();

    int State() const { return m_state; }
    // The peer has closed in order and sent nothing before its close that waits to be read; asks
    // the kernel without taking anything.
    bool hasPeerClosed();
    // The peer's address, an IPv4 peer of the dual-stack listener as plain dotted IPv4.
    QString RemoteHostIP() const;

private:
    void onConnected();
    void waitWritable();
    void flush();
    void fail(const std::error_code &error);
    void reportSendComplete();

    EngineContext &m_engine;
    WinsockEvents &m_owner;
    const Closing m_closing;
    asio::ip::tcp::socket m_socket;
    SendQueue m_queue;
    int m_state = sckClosed;
    // Counts the connections this object has had. A report carries the number it was made for
    // and is dropped when it no longer matches: the connection has been closed since.
    quint64 m_generation = 0;
    bool m_isReading = false;
    bool m_isWritePending = false;
    bool m_isSendCompletePosted = false;
    asio::ip::address m_peer;
    bool m_hasPeer = false;
};
