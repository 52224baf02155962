#include "net/session/slot_deadline.h"

#include <algorithm>
#include <asio/error.hpp>

SlotDeadline::SlotDeadline(asio::io_context &io) : m_timeouts(sessionTimeouts()), m_timer(io) {}

void SlotDeadline::startHead()
{
    m_head = Clock::now() + m_timeouts.head;
}

// Longer in a tunnel, whose protocols may keep quiet for longer.
std::chrono::milliseconds SlotDeadline::idleLimit(bool isTunnel) const
{
    return isTunnel ? m_timeouts.tunnelIdle : m_timeouts.idle;
}

void SlotDeadline::watch(bool isTunnel, std::function<void()> onDue)
{
    const Clock::time_point due = std::min(m_head, m_lastActivity + idleLimit(isTunnel));
    if (m_isArmed && m_due <= due)
        return; // it fires earlier and is looked at again then
    m_due = due;
    m_isArmed = true;
    m_timer.expires_at(due);
    m_timer.async_wait([this, onDue = std::move(onDue)](const std::error_code &error) {
        if (error == asio::error::operation_aborted)
            return;
        m_isArmed = false;
        onDue();
    });
}

bool SlotDeadline::hasPassed(bool isTunnel) const
{
    const Clock::time_point now = Clock::now();
    return now >= m_head || now >= m_lastActivity + idleLimit(isTunnel);
}
