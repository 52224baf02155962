#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <unordered_map>

#include "net/session/send_queue.h"

// Connections this side has closed, kept until they can end without losing data in flight.
// What is still queued goes out first, then our side is shut down for writing, and the socket
// is read (the bytes dropped) until the peer closes too, or until the peer has acknowledged
// everything. Closing a socket that still holds unread input would make the kernel answer with a
// reset, which can destroy the last bytes on their way to the peer. A peer that takes nothing
// for a long while is cut off, so that it cannot pin a descriptor forever.
class ClosingSockets {
public:
    explicit ClosingSockets(asio::io_context &context);
    ~ClosingSockets();
    ClosingSockets(const ClosingSockets &) = delete;
    ClosingSockets &operator=(const ClosingSockets &) = delete;

    // Takes the socket over, with whatever was queued on it.
    void close(asio::ip::tcp::socket socket, SendQueue unsent);

    // Every socket still closing gets at most `grace` more, then is closed anyway; `done` runs
    // once none is left (at once when there is none).
    void finishAll(std::chrono::milliseconds grace, std::function<void()> done);

    // How often a closing socket looks at its progress, and how long a peer may take nothing
    // before it is cut off. The defaults (5 s, 60 s) suit browsers; tests shorten them.
    static void setTimings(std::chrono::milliseconds check, std::chrono::milliseconds stall);

private:
    class Lingering;
    void finished(Lingering *lingering);
    void sweepAt(std::chrono::steady_clock::time_point when);
    void sweep();

    std::unordered_map<Lingering *, std::shared_ptr<Lingering>> m_closing;
    asio::steady_timer m_sweep;
    std::chrono::steady_clock::time_point m_sweepTime;
    bool m_isSweepArmed = false;
    std::function<void()> m_whenAllDone;
    std::chrono::milliseconds m_grace{0};
};
