#include "net/session/session_timeouts.h"

#include <mutex>

namespace {

// Guards currentTimeouts: a test may set them on its own thread while the engine's thread starts
// sessions. Each session copies them once, when it starts.
std::mutex timeoutsLock;
SessionTimeouts currentTimeouts;

} // namespace

SessionTimeouts sessionTimeouts()
{
    std::lock_guard<std::mutex> guard(timeoutsLock);
    return currentTimeouts;
}

void setSessionTimeouts(const SessionTimeouts &timeouts)
{
    std::lock_guard<std::mutex> guard(timeoutsLock);
    currentTimeouts = timeouts;
}
