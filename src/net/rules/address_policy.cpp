#include "net/rules/address_policy.h"

#include <algorithm>

namespace {

bool isLoopback(const asio::ip::address &address)
{
    // Asio's own test covers the whole of 127.0.0.0/8 and ::1.
    return address.is_loopback();
}

// The same address, zones aside: a link-local target names this machine on whichever link.
bool isSameAddress(const asio::ip::address &a, const asio::ip::address &b)
{
    if (a.is_v6() && b.is_v6())
        return a.to_v6().to_bytes() == b.to_v6().to_bytes();
    return a == b;
}

} // namespace

asio::ip::address unmapped(const asio::ip::address &address)
{
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    return address;
}

bool isThisMachine(const asio::ip::address &address, const std::vector<asio::ip::address> &local)
{
    const asio::ip::address plain = unmapped(address);
    if (isLoopback(plain) || plain.is_unspecified())
        return true;
    return std::any_of(local.begin(), local.end(), [&plain](const asio::ip::address &own) {
        return isSameAddress(unmapped(own), plain);
    });
}

bool namesThisProxy(const asio::ip::address &target, unsigned short targetPort,
                    unsigned short listeningPort, const std::vector<asio::ip::address> &local)
{
    return targetPort == listeningPort && isThisMachine(target, local);
}

bool mayReachThisMachine(const asio::ip::address &client, const asio::ip::address &target,
                         const std::vector<asio::ip::address> &local)
{
    return isLoopback(unmapped(client)) || !isThisMachine(target, local);
}

QString namesThisProxyDescription()
{
    return QStringLiteral("Refused: the request names this proxy itself");
}

QString thisMachineRefusedDescription()
{
    return QStringLiteral(
        "Permission denied: other computers may not reach this computer's own services");
}
