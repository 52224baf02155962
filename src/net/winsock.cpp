#include "net/winsock.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <vector>

#include "net/engine_context.h"

Winsock::Winsock(EngineContext &engine, WinsockEvents &owner, Closing closing)
    : m_engine(engine), m_owner(owner), m_closing(closing), m_socket(engine.io)
{
}

Winsock::~Winsock()
{
    // An owner that is being destroyed has been reset before, or the engine is going away
    // with everything it held: either way there is nobody left to linger for.
    std::error_code ignored;
    m_socket.close(ignored);
}

void Winsock::Accept(asio::ip::tcp::socket socket)
{
    Close();
    m_socket = std::move(socket);
    std::error_code ignored;
    m_socket.non_blocking(true, ignored);
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    std::error_code error;
    m_peer = m_socket.remote_endpoint(error).address();
    m_hasPeer = !error;
    m_state = sckConnected;
}

void Winsock::Connect(const QByteArray &host, quint16 port)
{
    Close();
    // Only a browser's address is ever asked for (the log's request entry).
    m_hasPeer = false;
    m_state = sckResolvingHost;
    const quint64 generation = m_generation;
    m_engine.resolver.resolve(
        host.toStdString(),
        [this, generation, port, keep = m_owner.keepAlive()](
            const std::error_code &error, const HostResolver::Addresses &addresses) {
            if (generation != m_generation)
                return;
            if (error) {
                m_state = sckError;
                m_owner.Error(*this, hostNotFoundError());
                return;
            }
            m_state = sckConnecting;
            auto whenConnected = [this, generation, keep](const std::error_code &connected) {
                if (generation != m_generation)
                    return;
                if (connected) {
                    m_state = sckError;
                    m_owner.Error(*this, socketErrorInfo(connected));
                    return;
                }
                onConnected();
            };
            if (addresses.size() == 1) {
                const asio::ip::tcp::endpoint endpoint(addresses.front(), port);
                // Opened and made non-blocking here, once: the connect then needs no switch of
                // its own, and the connection is ready for reading and writing as it stands.
                std::error_code opened;
                m_socket.open(endpoint.protocol(), opened);
                if (!opened)
                    m_socket.non_blocking(true, opened);
                m_socket.async_connect(endpoint, std::move(whenConnected));
                return;
            }
            // Each address in turn; the error reported is the last one's.
            std::vector<asio::ip::tcp::endpoint> endpoints;
            endpoints.reserve(addresses.size());
            for (const asio::ip::address &address : addresses)
                endpoints.emplace_back(address, port);
            asio::async_connect(m_socket, endpoints,
                                [whenConnected = std::move(whenConnected)](
                                    const std::error_code &connected,
                                    const asio::ip::tcp::endpoint &) { whenConnected(connected); });
        });
}

void Winsock::onConnected()
{
    std::error_code ignored;
    if (!m_socket.non_blocking())
        m_socket.non_blocking(true, ignored);
    m_socket.set_option(asio::ip::tcp::no_delay(true), ignored);
    m_state = sckConnected;
    m_owner.ConnectEvent(*this);
}

void Winsock::ReceiveMore()
{
    if (m_isReading || (m_state != sckConnected && m_state != sckClosing))
        return;
    m_isReading = true;
    m_socket.async_wait(
        asio::socket_base::wait_read, [this, generation = m_generation,
                                       keep = m_owner.keepAlive()](const std::error_code &error) {
            if (generation != m_generation || error == asio::error::operation_aborted)
                return;
            m_isReading = false;
            m_owner.DataArrival(*this);
        });
}

Winsock::Received Winsock::GetData(char *buffer, qsizetype capacity)
{
    Received received;
    if (m_state == sckClosing) {
        received.isPeerClosed = true;
        return received;
    }
    if (m_state != sckConnected || capacity <= 0)
        return received;
    std::error_code error;
    const size_t count = m_socket.read_some(asio::buffer(buffer, size_t(capacity)), error);
    if (!error) {
        received.size = qsizetype(count);
    } else if (error == asio::error::eof) {
        m_state = sckClosing;
        received.isPeerClosed = true;
    } else if (error != asio::error::would_block && error != asio::error::interrupted) {
        m_state = sckError;
        received.error = error;
    }
    return received;
}

void Winsock::SendData(const char *data, qsizetype size)
{
    // After the peer's close our side may still send (a half-close); a peer that is gone makes
    // the write fail.
    if (size <= 0 || (m_state != sckConnected && m_state != sckClosing))
        return;
    if (m_queue.isEmpty()) {
        std::error_code error;
        const size_t written = m_socket.write_some(asio::buffer(data, size_t(size)), error);
        if (error && error != asio::error::would_block && error != asio::error::interrupted) {
            fail(error);
            return;
        }
        if (!error) {
            data += written;
            size -= qsizetype(written);
        }
        if (size == 0) {
            reportSendComplete();
            return;
        }
    }
    m_queue.append(data, size);
    waitWritable();
}

void Winsock::waitWritable()
{
    if (m_isWritePending)
        return;
    m_isWritePending = true;
    m_socket.async_wait(
        asio::socket_base::wait_write, [this, generation = m_generation,
                                        keep = m_owner.keepAlive()](const std::error_code &error) {
            if (generation != m_generation || error == asio::error::operation_aborted)
                return;
            m_isWritePending = false;
            flush();
        });
}

void Winsock::flush()
{
    while (!m_queue.isEmpty()) {
        std::error_code error;
        const size_t written =
            m_socket.write_some(asio::buffer(m_queue.data(), size_t(m_queue.size())), error);
        if (error == asio::error::would_block || error == asio::error::interrupted) {
            waitWritable();
            return;
        }
        if (error) {
            fail(error);
            return;
        }
        m_queue.consume(qsizetype(written));
    }
    m_owner.SendComplete(*this);
}

// Everything went out inside SendData itself; the owner hears of it from the event loop, and
// only if nothing has been queued since (the write that drains the queue reports then).
void Winsock::reportSendComplete()
{
    if (m_isWritePending || m_isSendCompletePosted)
        return;
    m_isSendCompletePosted = true;
    asio::post(m_socket.get_executor(),
               [this, generation = m_generation, keep = m_owner.keepAlive()] {
                   if (generation != m_generation)
                       return;
                   m_isSendCompletePosted = false;
                   if (m_queue.isEmpty() && !m_isWritePending)
                       m_owner.SendComplete(*this);
               });
}

// A write failed inside SendData or while the queue drained: the failure is reported from the
// event loop, once; nothing more goes out.
void Winsock::fail(const std::error_code &error)
{
    m_state = sckError;
    m_queue.clear();
    asio::post(m_socket.get_executor(),
               [this, generation = m_generation, keep = m_owner.keepAlive(),
                info = socketErrorInfo(error)] {
                   if (generation == m_generation)
                       m_owner.Error(*this, info);
               });
}

void Winsock::Close()
{
    // Every report still on its way belongs to the connection being closed.
    ++m_generation;
    m_isReading = false;
    m_isWritePending = false;
    m_isSendCompletePosted = false;
    const int state = m_state;
    m_state = sckClosed;
    if (!m_socket.is_open()) {
        m_queue.clear();
        return;
    }
    std::error_code ignored;
    m_socket.cancel(ignored);
    const bool isOpenConnection = state == sckConnected || state == sckClosing;
    if (isOpenConnection && (m_closing == Closing::Lingering || !m_queue.isEmpty())) {
        // The moved-from socket is left closed, ready for the next connection.
        m_engine.closing.close(std::move(m_socket), std::move(m_queue));
        m_queue.clear();
        return;
    }
    m_socket.close(ignored);
    m_queue.clear();
}

bool Winsock::hasPeerClosed()
{
    if (m_state != sckConnected)
        return m_state == sckClosing;
    char byte = 0;
    std::error_code error;
    m_socket.receive(asio::buffer(&byte, 1), asio::socket_base::message_peek, error);
    return error == asio::error::eof;
}

QString Winsock::RemoteHostIP() const
{
    if (!m_hasPeer)
        return QString();
    asio::ip::address address = m_peer;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return QString::fromStdString(address.to_string());
}
