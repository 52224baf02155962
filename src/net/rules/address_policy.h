#pragma once

#include <QString>
#include <asio/ip/address.hpp>
#include <vector>

// Which addresses a request may have the proxy connect to, checked for each address a target
// resolves to, before connecting. "This machine's addresses" are 127.0.0.0/8, ::1, 0.0.0.0, ::
// (a connect to either reaches this machine) and the addresses in `local`, which the caller
// reads at check time (interfaceAddresses()). An IPv4-mapped IPv6 address, of a client or a
// target, counts as the IPv4 address it carries.

// The address as IPv4 when it is an IPv4-mapped IPv6 address, unchanged otherwise.
asio::ip::address unmapped(const asio::ip::address &address);

bool isThisMachine(const asio::ip::address &address, const std::vector<asio::ip::address> &local);

// The target is this proxy itself: one of this machine's addresses at the port the proxy
// listens on. Connecting would loop each request back in until the connection slots ran out.
bool namesThisProxy(const asio::ip::address &target, unsigned short targetPort,
                    unsigned short listeningPort, const std::vector<asio::ip::address> &local);

// A client on another computer may not reach the services of this one through the proxy: they
// often trust whatever comes from this machine. A loopback client (127.0.0.0/8 or ::1) may
// reach every target; it could reach them without the proxy.
bool mayReachThisMachine(const asio::ip::address &client, const asio::ip::address &target,
                         const std::vector<asio::ip::address> &local);

// What the error page shows for each refusal. For a CONNECT, the page of an unreachable
// target follows "HTTP/1.1 403 Forbidden".
constexpr qint16 kNamesThisProxyNumber = 10061;
QString namesThisProxyDescription(); // "Refused: the request names this proxy itself"
constexpr qint16 kThisMachineRefusedNumber = 10013;
// "Permission denied: other computers may not reach this computer's own services"
QString thisMachineRefusedDescription();
constexpr const char *kThisMachineRefusedConnectStatus = "403 Forbidden";
