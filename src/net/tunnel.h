#pragma once

// HTTPS through the proxy: a CONNECT request turns its slot into a tunnel (ProxySession,
// tunnel.cpp). Once the upstream connection is up, the browser is told so and from then on
// bytes pass both ways unchanged, each side read only while the other's queue is empty; the slot
// ends by the same rules as any exchange (the server's close and the delivery of everything
// queued, or the browser's close).

extern const char kTunnelEstablished[];
