#pragma once

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>

#include "net/session/session_timeouts.h"

// The deadlines of one slot: the current head's (or TLS handshake's), and the one for a slot in
// which nothing moves. One timer serves both. It is armed for the earlier of the two and, when
// it fires early, armed again for what is left, so that progress costs no timer operation.
// Engine thread only; its owner's handler, given to watch(), holds the owner alive.
class SlotDeadline {
public:
    explicit SlotDeadline(asio::io_context &io);

    // A head must be complete within the head limit from now.
    void startHead();
    bool isHeadRunning() const { return m_head != Clock::time_point::max(); }
    void endHead() { m_head = Clock::time_point::max(); }
    // A byte moved, one way or the other.
    void noteActivity() { m_lastActivity = Clock::now(); }

    // onDue runs once the earlier deadline is due (isTunnel: the tunnel's longer idle limit),
    // unless the timer is already armed for a time before it.
    void watch(bool isTunnel, std::function<void()> onDue);
    // A deadline has passed: the slot ends.
    bool hasPassed(bool isTunnel) const;
    void cancel() { m_timer.cancel(); }

private:
    using Clock = std::chrono::steady_clock;
    std::chrono::milliseconds idleLimit(bool isTunnel) const;

    const SessionTimeouts m_timeouts;
    asio::steady_timer m_timer;
    Clock::time_point m_due;
    bool m_isArmed = false;
    Clock::time_point m_head = Clock::time_point::max();
    Clock::time_point m_lastActivity = Clock::now();
};
