#include "net/session_side.h"

#include "net/graceful_close.h"

namespace {

bool isTransient(const std::error_code &error)
{
    return error == asio::error::would_block || error == asio::error::try_again ||
           error == asio::error::interrupted;
}

} // namespace

SessionSide::SessionSide(asio::ip::tcp::socket socket) : m_socket(std::move(socket)) {}

SessionSide::~SessionSide()
{
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
    std::error_code ignored;
    m_socket.cancel(ignored);
    // The moved-from socket is left closed, so handlers still on their way find it so.
    closing.close(std::move(m_socket), std::move(m_queue));
    m_queue.clear();
}

void SessionSide::closePromptly(ClosingSockets &closing)
{
    if (!m_queue.isEmpty()) {
        closeLingering(closing);
        return;
    }
    m_isClosed = true;
    std::error_code ignored;
    m_socket.close(ignored);
}
