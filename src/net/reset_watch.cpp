#include "net/reset_watch.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

void ResetWatch::watch(long long descriptor)
{
    release();
    if (descriptor >= 0)
        m_descriptor = ::fcntl(int(descriptor), F_DUPFD_CLOEXEC, 0);
}

bool ResetWatch::wasReset() const
{
    if (m_descriptor < 0)
        return false;
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(m_descriptor, IPPROTO_TCP, TCP_INFO, &info, &length) != 0)
        return false;
    return info.tcpi_state == TCP_CLOSE;
}

void ResetWatch::release()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

void raiseDescriptorLimit()
{
    static bool isRaised = false;
    if (isRaised)
        return;
    isRaised = true;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}
