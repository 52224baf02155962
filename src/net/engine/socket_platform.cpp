// System calls outside Asio: resource limits and interface addresses (POSIX) and the send
// queue's acknowledged state (Linux). Elsewhere the limit stays as it is, no interface is
// listed and the acknowledged state is unknown.
#include "net/engine/socket_platform.h"

#include <algorithm>
#include <iterator>

#if defined(__unix__) || defined(__APPLE__)
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
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

std::vector<asio::ip::address> interfaceAddresses()
{
    std::vector<asio::ip::address> addresses;
#if defined(__unix__) || defined(__APPLE__)
    ifaddrs *list = nullptr;
    if (::getifaddrs(&list) != 0)
        return addresses;
    for (const ifaddrs *entry = list; entry; entry = entry->ifa_next) {
        const sockaddr *address = entry->ifa_addr;
        if (!address)
            continue;
        if (address->sa_family == AF_INET) {
            const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
            addresses.push_back(asio::ip::address_v4(ntohl(v4->sin_addr.s_addr)));
        } else if (address->sa_family == AF_INET6) {
            const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
            asio::ip::address_v6::bytes_type bytes;
            std::copy(std::begin(v6->sin6_addr.s6_addr), std::end(v6->sin6_addr.s6_addr),
                      bytes.begin());
            // The zone is left out: an address names this machine on whichever link.
            addresses.push_back(asio::ip::address_v6(bytes));
        }
    }
    ::freeifaddrs(list);
#endif
    return addresses;
}
