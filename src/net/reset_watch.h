#pragma once

// Tells a peer's reset from its orderly close. Qt reports both as RemoteHostClosedError and
// closes its descriptor at once, so the socket is watched through a second descriptor of its
// own: after Qt has let go, the kernel's TCP state still shows whether a FIN (CLOSE_WAIT) or a
// reset (CLOSE) ended the connection.
class ResetWatch {
public:
    ResetWatch() = default;
    ~ResetWatch() { release(); }
    ResetWatch(const ResetWatch &) = delete;
    ResetWatch &operator=(const ResetWatch &) = delete;

    void watch(long long descriptor);
    bool isWatching() const { return m_descriptor >= 0; }
    // Whether the connection ended with a reset; only meaningful after the peer's close.
    bool wasReset() const;
    // Must come before the watched socket is closed: while the second descriptor is open, the
    // kernel does not end the connection.
    void release();

private:
    int m_descriptor = -1;
};

// Lifts the soft limit on open descriptors to the hard limit, once: each browser connection
// takes several (browser side, server side, the watch) and the default of 1024 runs out below
// the connection limit's range.
void raiseDescriptorLimit();
