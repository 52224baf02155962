#include "net/session/session_side.h"

#include <array>
#include <asio/post.hpp>

#include "net/session/graceful_close.h"
#include "net/tls/tls_layer.h"

namespace {

bool isTransient(const std::error_code &error)
{
    return error == asio::error::would_block || error == asio::error::try_again ||
           error == asio::error::interrupted;
}

// Records read for the TLS layer pass through here on their way in. The engine runs on one
// thread, and a record is handed to the layer before the next read.
thread_local std::array<char, 64 * 1024> recordBuffer;

// Enough rounds to read a record's worth of plaintext out of any number of small records; the
// bound keeps a peer that trickles records from holding the engine.
constexpr int kTlsReadRounds = 16;

std::error_code tlsFailure()
{
    return std::make_error_code(std::errc::protocol_error);
}

} // namespace

SessionSide::SessionSide(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}

SessionSide::~SessionSide()
{
    m_tls.reset();
    // A session that is destroyed has closed its sides before, or the engine is going away with
    // everything it held: either way nobody is left to linger for.
    std::error_code ignored;
    m_socket.close(ignored);
}

void SessionSide::setConnected()
{
    std::error_code ignored;
    if (!m_socket.non_blocking())
        m_socket.non_blocking(true, ignored);
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
}

void SessionSide::waitReadable(std::function<void(const std::error_code &)> handler)
{
    if (m_isWaitingToRead || m_isClosed || !m_socket.is_open())
        return;
    if (m_tls && m_tls->hasBufferedInput()) {
        // Plaintext is there already, whether or not the socket has more.
        m_isWaitingToRead = true;
        post([this, handler = std::move(handler)] {
            m_isWaitingToRead = false;
            handler({});
        });
        return;
    }
    m_isWaitingToRead = true;
    m_socket.async_wait(asio::socket_base::wait_read,
                        [this, handler = std::move(handler)](const std::error_code &error) {
                            m_isWaitingToRead = false;
                            handler(error);
                        });
}

SessionSide::Read SessionSide::read(char *buffer, qsizetype capacity)
{
    Read result;
    if (capacity <= 0)
        return result;
    if (m_tls)
        return readTls(buffer, capacity);
    std::error_code error;
    const size_t count = m_socket.read_some(asio::buffer(buffer, size_t(capacity)), error);
    if (!error)
        result.size = qsizetype(count);
    else if (error == asio::error::eof)
        result.isEnd = true;
    else if (!isTransient(error))
        result.error = error;
    return result;
}

std::error_code SessionSide::write(const char *data, qsizetype size)
{
    if (!m_tls)
        return writeRaw(data, size);
    if (!m_tls->write(data, size))
        return tlsFailure();
    return sendTlsOutput();
}

std::error_code SessionSide::writeRaw(const char *data, qsizetype size)
{
    if (size <= 0)
        return {};
    if (m_queue.isEmpty()) {
        std::error_code error;
        const size_t written = m_socket.write_some(asio::buffer(data, size_t(size)), error);
        if (error && !isTransient(error)) {
            m_queue.clear();
            return error;
        }
        if (!error) {
            data += written;
            size -= qsizetype(written);
        }
    }
    if (size > 0)
        m_queue.append(data, size);
    return {};
}

void SessionSide::whenDrained(std::function<void(const std::error_code &)> handler)
{
    if (m_isDraining || m_isClosed || !m_socket.is_open())
        return;
    m_isDraining = true;
    m_socket.async_wait(asio::socket_base::wait_write,
                        [this, handler = std::move(handler)](const std::error_code &error) mutable {
                            m_isDraining = false;
                            if (error) {
                                handler(error);
                                return;
                            }
                            flush(std::move(handler));
                        });
}

void SessionSide::flush(std::function<void(const std::error_code &)> handler)
{
    while (!m_queue.isEmpty()) {
        std::error_code error;
        const size_t written =
            m_socket.write_some(asio::buffer(m_queue.data(), size_t(m_queue.size())), error);
        if (isTransient(error)) {
            whenDrained(std::move(handler));
            return;
        }
        if (error) {
            m_queue.clear();
            handler(error);
            return;
        }
        m_queue.consume(qsizetype(written));
    }
    handler({});
}

bool SessionSide::hasPeerClosed()
{
    if (m_isClosed)
        return true;
    char byte = 0;
    std::error_code error;
    m_socket.receive(asio::buffer(&byte, 1), asio::socket_base::message_peek, error);
    return error == asio::error::eof;
}

void SessionSide::closeLingering(ClosingSockets &closing)
{
    m_isClosed = true;
    if (!m_socket.is_open())
        return;
    if (m_tls) {
        // Our close_notify, so that the peer can tell the end from a cut.
        m_tls->shutdown();
        sendTlsOutput();
        m_tls.reset();
    }
    std::error_code ignored;
    m_socket.cancel(ignored);
    // The moved-from socket is left closed, so handlers still on their way find it so.
    closing.close(std::move(m_socket), std::move(m_queue));
    m_queue.clear();
}

void SessionSide::closePromptly(ClosingSockets &closing)
{
    if (m_tls && m_socket.is_open() && !m_isClosed) {
        m_tls->shutdown();
        sendTlsOutput();
    }
    m_tls.reset();
    if (!m_queue.isEmpty()) {
        closeLingering(closing);
        return;
    }
    m_isClosed = true;
    std::error_code ignored;
    m_socket.close(ignored);
}

void SessionSide::post(std::function<void()> job)
{
    asio::post(m_socket.get_executor(), std::move(job));
}

void SessionSide::startTls(std::unique_ptr<TlsLayer> tls, const char *alreadyRead, qsizetype size)
{
    m_tls = std::move(tls);
    m_tls->feed(alreadyRead, size);
}

void SessionSide::handshake(std::function<void(const std::error_code &)> handler)
{
    if (m_isClosed || !m_tls)
        return;
    const TlsLayer::Result result = m_tls->handshake();
    std::error_code error = sendTlsOutput();
    if (!error && result == TlsLayer::Result::WantRead) {
        waitForRecords([this, handler = std::move(handler)](const std::error_code &waited) {
            if (m_isClosed)
                return;
            if (waited) {
                handler(waited);
                return;
            }
            std::error_code read;
            const size_t count =
                m_socket.read_some(asio::buffer(recordBuffer.data(), recordBuffer.size()), read);
            if (!read)
                m_tls->feed(recordBuffer.data(), qsizetype(count));
            else if (read == asio::error::eof)
                read = asio::error::connection_reset; // gone in the middle of the handshake
            if (read && !isTransient(read)) {
                handler(read);
                return;
            }
            handshake(std::move(handler));
        });
        return;
    }
    if (!error && result != TlsLayer::Result::Done)
        error = tlsFailure();
    post([this, handler = std::move(handler), error] {
        if (!m_isClosed)
            handler(error);
    });
}

// The handshake's own wait: a read its owner armed earlier may still be pending beside it, and
// finds the handshake running when it fires.
void SessionSide::waitForRecords(std::function<void(const std::error_code &)> handler)
{
    m_socket.async_wait(asio::socket_base::wait_read, std::move(handler));
}

std::error_code SessionSide::sendTlsOutput()
{
    if (!m_tls || !m_tls->hasOutput())
        return {};
    const QByteArray records = m_tls->takeOutput();
    return writeRaw(records.constData(), records.size());
}

SessionSide::Read SessionSide::readTls(char *buffer, qsizetype capacity)
{
    Read result;
    for (int round = 0; round < kTlsReadRounds; ++round) {
        qsizetype size = 0;
        const TlsLayer::Result step = m_tls->read(buffer, capacity, size);
        // Reading may answer the peer (a key update, an alert).
        if (const std::error_code sent = sendTlsOutput()) {
            result.error = sent;
            return result;
        }
        if (step == TlsLayer::Result::Done) {
            result.size = size;
            return result;
        }
        if (step == TlsLayer::Result::Closed) {
            result.isEnd = true;
            return result;
        }
        if (step == TlsLayer::Result::Failed) {
            result.error = tlsFailure();
            return result;
        }
        std::error_code error;
        const size_t count =
            m_socket.read_some(asio::buffer(recordBuffer.data(), recordBuffer.size()), error);
        if (!error) {
            m_tls->feed(recordBuffer.data(), qsizetype(count));
            continue;
        }
        if (error == asio::error::eof) {
            result.isEnd = true;
            result.isTruncated = true;
        } else if (!isTransient(error)) {
            result.error = error;
        }
        return result;
    }
    return result;
}
