#pragma once

#include <chrono>

// How long a browser connection may hold its slot without progress. Generous, so that no
// browser notices them, yet bounded, so that nobody can hold every slot by sending nothing, or a
// byte now and then.
struct SessionTimeouts {
    // A request's head must be complete this long after the connection was accepted, or after
    // its first byte for the requests that follow; otherwise the slot ends without a page.
    std::chrono::milliseconds head{60'000};
    // A slot in which no byte moves either way for this long closes, whatever its phase: idle
    // keep-alive, a stalled exchange, a silent origin, a body that stopped.
    std::chrono::milliseconds idle{5 * 60'000};
    // The same for a tunnel, whose protocols may keep quiet for longer.
    std::chrono::milliseconds tunnelIdle{15 * 60'000};
};

// The timeouts sessions start with from now on. Tests shorten them; any thread.
SessionTimeouts sessionTimeouts();
void setSessionTimeouts(const SessionTimeouts &timeouts);
