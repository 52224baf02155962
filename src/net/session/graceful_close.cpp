#include "net/session/graceful_close.h"

#include <asio/post.hpp>
#include <optional>
#include <vector>

#include "net/engine/socket_platform.h"

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
          m_lastProgress(std::chrono::steady_clock::now())
    {
    }

    void start()
    {
        std::error_code ignored;
        m_socket.non_blocking(true, ignored);
        flush();
    }

    // Stop: no more waiting than until the deadline.
    void hurry(std::chrono::steady_clock::time_point deadline) { m_deadline = deadline; }

    // The owner's periodic look: a peer that has acknowledged everything after our FIN is let go
    // even if it never closes; one that has taken nothing for too long is cut off.
    void check(std::chrono::steady_clock::time_point now)
    {
        const long long unacknowledged = unacknowledgedBytes(m_socket);
        if (m_isShutDown && unacknowledged == 0) {
            finish();
            return;
        }
        const long long pending = m_unsent.size() + qMax(0LL, unacknowledged);
        if (pending < m_lastPending)
            m_lastProgress = now;
        m_lastPending = pending;
        if (now - m_lastProgress >= stallLimit || (m_deadline && now >= *m_deadline))
            finish();
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

    void finish()
    {
        if (m_isFinished)
            return;
        m_isFinished = true;
        std::error_code ignored;
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
    std::chrono::steady_clock::time_point m_lastProgress;
    std::optional<std::chrono::steady_clock::time_point> m_deadline;
    long long m_lastPending = -1;
    bool m_isShutDown = false;
    bool m_isFinished = false;
};

ClosingSockets::ClosingSockets(asio::io_context &context) : m_sweep(context) {}

ClosingSockets::~ClosingSockets() = default;

void ClosingSockets::close(asio::ip::tcp::socket socket, SendQueue unsent)
{
    auto lingering = std::make_shared<Lingering>(*this, std::move(socket), std::move(unsent));
    m_closing.emplace(lingering.get(), lingering);
    lingering->start();
    if (!m_closing.empty())
        sweepAt(std::chrono::steady_clock::now() + checkInterval);
}

// One timer looks at every closing socket in turn, rather than one timer per socket: most of
// them end on the peer's close long before the first look.
void ClosingSockets::sweepAt(std::chrono::steady_clock::time_point when)
{
    if (m_isSweepArmed && m_sweepTime <= when)
        return;
    m_isSweepArmed = true;
    m_sweepTime = when;
    m_sweep.expires_at(when);
    m_sweep.async_wait([this](const std::error_code &error) {
        if (error == asio::error::operation_aborted)
            return;
        m_isSweepArmed = false;
        sweep();
    });
}

void ClosingSockets::sweep()
{
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<Lingering>> closing;
    closing.reserve(m_closing.size());
    for (const auto &entry : m_closing)
        closing.push_back(entry.second);
    for (const std::shared_ptr<Lingering> &lingering : closing)
        lingering->check(now);
    if (!m_closing.empty())
        sweepAt(now + (m_whenAllDone ? m_grace : checkInterval));
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
    m_grace = grace;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    for (const auto &entry : m_closing)
        entry.second->hurry(deadline);
    sweepAt(deadline);
}

void ClosingSockets::setTimings(std::chrono::milliseconds check, std::chrono::milliseconds stall)
{
    checkInterval = check;
    stallLimit = stall;
}
