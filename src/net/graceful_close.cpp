#include "net/graceful_close.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <optional>

#include "net/socket_platform.h"

namespace {

std::chrono::milliseconds checkInterval{5000};
std::chrono::milliseconds stallLimit{60000};

// Enough rounds to empty any receive queue; the bound keeps a peer that sends without pause
// from holding the engine.
constexpr int kDrainRounds = 64;

} // namespace

class ClosingSockets::Lingering : public std::enable_shared_from_this<Lingering> {
public:
    Lingering(ClosingSockets &owner, asio::ip::tcp::socket socket, SendQueue unsent)
        : m_owner(owner), m_socket(std::move(socket)), m_unsent(std::move(unsent)),
          m_timer(m_socket.get_executor()), m_lastProgress(std::chrono::steady_clock::now())
    {
    }

    void start()
    {
        std::error_code ignored;
        m_socket.non_blocking(true, ignored);
        if (!flush())
            return;
        watchProgress(checkInterval);
    }

    // Stop: no more waiting than `grace`.
    void hurry(std::chrono::milliseconds grace)
    {
        m_deadline = std::chrono::steady_clock::now() + grace;
        watchProgress(grace);
    }

private:
    // Writes what the kernel takes; once nothing is left, shuts our side down and waits for the
    // peer's close. False once finished.
    bool flush()
    {
        while (!m_unsent.isEmpty()) {
            std::error_code error;
            const size_t written =
                m_socket.write_some(asio::buffer(m_unsent.data(), size_t(m_unsent.size())), error);
            if (error == asio::error::would_block) {
                waitWritable();
                return true;
            }
            if (error) {
                finish();
                return false;
            }
            m_unsent.consume(qsizetype(written));
            m_lastProgress = std::chrono::steady_clock::now();
        }
        std::error_code ignored;
        m_socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        m_isShutDown = true;
        return drain();
    }

    void waitWritable()
    {
        m_socket.async_wait(asio::socket_base::wait_write,
                            [self = shared_from_this()](const std::error_code &error) {
                                if (self->m_isFinished || error == asio::error::operation_aborted)
                                    return;
                                self->flush();
                            });
    }

    // Reads away what the peer sends; its close, or a failure, ends the wait. False once
    // finished.
    bool drain()
    {
        char buffer[16384];
        for (int round = 0; round < kDrainRounds; ++round) {
            std::error_code error;
            m_socket.read_some(asio::buffer(buffer), error);
            if (error == asio::error::would_block) {
                m_socket.async_wait(asio::socket_base::wait_read,
                                    [self = shared_from_this()](const std::error_code &waited) {
                                        if (self->m_isFinished ||
                                            waited == asio::error::operation_aborted)
                                            return;
                                        self->drain();
                                    });
                return true;
            }
            if (error) {
                finish();
                return false;
            }
        }
        // A peer that keeps sending is read again from the event loop, after everyone else.
        asio::post(m_socket.get_executor(), [self = shared_from_this()] {
            if (!self->m_isFinished)
                self->drain();
        });
        return true;
    }

    void watchProgress(std::chrono::milliseconds after)
    {
        m_timer.expires_after(after);
        m_timer.async_wait([self = shared_from_this()](const std::error_code &error) {
            if (self->m_isFinished || error == asio::error::operation_aborted)
                return;
            self->check();
        });
    }

    void check()
    {
        const auto now = std::chrono::steady_clock::now();
        const long long unacknowledged = unacknowledgedBytes(m_socket);
        if (m_isShutDown && unacknowledged == 0) {
            finish();
            return;
        }
        const long long pending = m_unsent.size() + qMax(0LL, unacknowledged);
        if (pending < m_lastPending)
            m_lastProgress = now;
        m_lastPending = pending;
        if (now - m_lastProgress >= stallLimit || (m_deadline && now >= *m_deadline)) {
            finish();
            return;
        }
        watchProgress(checkInterval);
    }

    void finish()
    {
        if (m_isFinished)
            return;
        m_isFinished = true;
        std::error_code ignored;
        m_timer.cancel();
        // Whatever came in last is read away, so that the close is a FIN rather than a reset.
        char buffer[16384];
        for (int round = 0; round < kDrainRounds; ++round) {
            std::error_code error;
            m_socket.read_some(asio::buffer(buffer), error);
            if (error)
                break;
        }
        m_socket.close(ignored);
        m_owner.finished(this);
    }

    ClosingSockets &m_owner;
    asio::ip::tcp::socket m_socket;
    SendQueue m_unsent;
    asio::steady_timer m_timer;
    std::chrono::steady_clock::time_point m_lastProgress;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    long long m_lastPending = -1;
    bool m_isShutDown = false;
    bool m_isFinished = false;
};

ClosingSockets::ClosingSockets(asio::io_context &context) : m_context(context) {}

ClosingSockets::~ClosingSockets() = default;

void ClosingSockets::close(asio::ip::tcp::socket socket, SendQueue unsent)
{
    auto lingering = std::make_shared<Lingering>(*this, std::move(socket), std::move(unsent));
    m_closing.emplace(lingering.get(), lingering);
    lingering->start();
}

void ClosingSockets::finished(Lingering *lingering)
{
    // The handler that got here holds its own reference, so the object outlives this.
    m_closing.erase(lingering);
    if (m_closing.empty() && m_whenAllDone) {
        auto done = std::move(m_whenAllDone);
        m_whenAllDone = nullptr;
        done();
    }
}

void ClosingSockets::finishAll(std::chrono::milliseconds grace, std::function<void()> done)
{
    if (m_closing.empty()) {
        done();
        return;
    }
    m_whenAllDone = std::move(done);
    for (const auto &entry : m_closing)
        entry.second->hurry(grace);
}

void ClosingSockets::setTimings(std::chrono::milliseconds check, std::chrono::milliseconds stall)
{
    checkInterval = check;
    stallLimit = stall;
}
