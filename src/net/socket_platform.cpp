// System calls outside Asio: resource limits (POSIX) and the send queue's acknowledged state
// (Linux). Elsewhere the limit stays as it is and the acknowledged state is unknown.
#include "net/socket_platform.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/resource.h>
#endif
#if defined(__linux__)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

void raiseDescriptorLimit()
{
#if defined(__unix__) || defined(__APPLE__)
    static const bool isRaised = [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
            return false;
        limit.rlim_cur = limit.rlim_max;
        return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }();
    (void)isRaised;
#endif
}

long long unacknowledgedBytes(asio::ip::tcp::socket &socket)
{
#if defined(__linux__)
    int count = 0;
    if (socket.is_open() && ::ioctl(socket.native_handle(), SIOCOUTQ, &count) == 0)
        return count;
#else
    (void)socket;
#endif
    return -1;
}
