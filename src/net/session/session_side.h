#pragma once

#include <QtGlobal>
#include <asio/ip/tcp.hpp>
#include <functional>
#include <memory>
#include <system_error>

#include "net/session/send_queue.h"

class ClosingSockets;
class TlsLayer;

// One side of a session, the browser's connection or the origin's: a TCP socket on the engine's
// thread and the bytes the kernel has not taken yet. It reads only when asked, so that a session
// can hold one side back while the other drains, and it never blocks: what the kernel does not
// take at once waits in the queue. Its owner's handlers hold the owner alive; a handler whose
// side has been closed since it was armed returns without a word (isClosed).
class SessionSide {
public:
    explicit SessionSide(asio::ip::tcp::socket socket);
    ~SessionSide();
    SessionSide(const SessionSide &) = delete;
    SessionSide &operator=(const SessionSide &) = delete;

    asio::ip::tcp::socket &socket() { return m_socket; }
    // Closed by its session (closeLingering, closePromptly): whatever was armed for it is over.
    bool isClosed() const { return m_isClosed; }

    // The connection is up (accepted, or connected): no delay for small writes, and every read
    // and write tried at once instead of through the reactor.
    void setConnected();

    // `handler(error)` once something waits to be read: bytes, the peer's close or a failure.
    // One wait at a time; asking again while one is armed does nothing.
    void waitReadable(std::function<void(const std::error_code &)> handler);
    bool isWaitingToRead() const { return m_isWaitingToRead; }

    // What one read found: bytes, the peer's orderly close, or a failure (a reset shows here).
    // Nothing at all when nothing was waiting after all.
    struct Read {
        qsizetype size = 0;
        bool isEnd = false;
        bool isTruncated = false; // over TLS: the peer closed without its close_notify
        std::error_code error;
    };
    Read read(char *buffer, qsizetype capacity);

    // From now on the bytes pass through TLS; bytes already read from the socket that belong
    // to it (the start of a browser's handshake) go in first.
    void startTls(std::unique_ptr<TlsLayer> tls, const char *alreadyRead = nullptr,
                  qsizetype size = 0);
    TlsLayer *tls() const { return m_tls.get(); }
    // Runs the TLS handshake to its end; handler(error) from the event loop, with an empty
    // error once it is done. A TLS failure shows as std::errc::protocol_error, its reason in
    // the layer.
    void handshake(std::function<void(const std::error_code &)> handler);

    // Hands the bytes to the kernel and queues what it does not take at once. A failure is
    // returned, and nothing more goes out.
    std::error_code write(const char *data, qsizetype size);
    qsizetype queued() const { return m_queue.size(); }
    // `handler(error)` once the queue has gone out (or the connection failed). One at a time.
    void whenDrained(std::function<void(const std::error_code &)> handler);

    // The peer has closed in order, with nothing before its close left to read; asks the kernel
    // without taking anything.
    bool hasPeerClosed();

    // Ends the connection without losing what is queued, which still reaches the peer, then our
    // FIN; the socket lingers in `closing` until the peer has closed too. Harmless when closed.
    void closeLingering(ClosingSockets &closing);
    // Ends the connection at once, unless something is still queued for the peer (then as
    // closeLingering): what the peer still sends belongs to an exchange that is over.
    void closePromptly(ClosingSockets &closing);

private:
    void flush(std::function<void(const std::error_code &)> handler);
    void waitForRecords(std::function<void(const std::error_code &)> handler);
    std::error_code writeRaw(const char *data, qsizetype size);
    std::error_code sendTlsOutput();
    Read readTls(char *buffer, qsizetype capacity);
    void post(std::function<void()> job);

    asio::ip::tcp::socket m_socket;
    SendQueue m_queue;
    bool m_isWaitingToRead = false;
    bool m_isDraining = false;
    bool m_isClosed = false;
    std::unique_ptr<TlsLayer> m_tls;
};
