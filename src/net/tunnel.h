#pragma once

#include <QByteArray>

class ConnectionTable;

// HTTPS through the proxy: a CONNECT request turns its slot into a tunnel. Once the upstream
// connection is up, the browser is told so and from then on bytes pass both ways unchanged;
// the slot ends by the same rules as any exchange (the server's close and the delivery of
// everything queued, or the browser's close).

// The upstream connection of a tunnel is up: tell the browser, and pass on what it sent early.
void openTunnel(ConnectionTable &table, int Index);

// Bytes from the browser on a tunnel slot: to the server, or held until the tunnel is open.
void passToServer(ConnectionTable &table, int Index, const QByteArray &chunk);

// The server has been sent everything the browser tunnelled: the browser may be read again.
void WinSend_SendComplete(ConnectionTable &table, int Index);

extern const char kTunnelEstablished[];
