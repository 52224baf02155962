#pragma once

#include <asio/ip/address.hpp>
#include <asio/ip/tcp.hpp>
#include <vector>

// The few things the engine needs from the operating system that Asio does not offer. They are
// kept in this one file, so that everything else builds wherever Asio and Qt do; on a system
// without them each falls back to an answer that is safe, if less precise.

// Lifts the soft limit on open descriptors to the hard limit, once. Each browser connection
// takes two (more while they close), and a common default of 1024 runs out below the range of
// the connection limit.
void raiseDescriptorLimit();

// Bytes this side has sent that the peer has not acknowledged yet, or -1 where the system
// cannot tell.
long long unacknowledgedBytes(asio::ip::tcp::socket &socket);

// The addresses of this machine's network interfaces as they are now, read anew at each call
// since interfaces come and go; empty where the system cannot list them.
std::vector<asio::ip::address> interfaceAddresses();
