#include "net/tunnel.h"

#include "net/proxy_session.h"

const char kTunnelEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// The upstream connection of a tunnel is up: tell the browser, and pass on what it sent early
// (a TLS hello may come before the browser hears back).
void ProxySession::openTunnel()
{
    Connections.isTunnelOpen = true;
    Connections.isSendComplete = false;
    Win.SendData(kTunnelEstablished, qsizetype(sizeof kTunnelEstablished - 1));
    if (!Connections.strBody.isEmpty()) {
        WinSend.SendData(Connections.strBody);
        Connections.strBody.clear();
    }
    WinSend.ReceiveMore();
}

// Bytes from the browser on a tunnel slot: to the server, or kept until the tunnel is open.
void ProxySession::passToServer(const char *data, qsizetype size)
{
    if (!Connections.isTunnelOpen) {
        Connections.strBody.append(data, size);
        Win.ReceiveMore();
        return;
    }
    if (WinSend.State() != Winsock::sckConnected) {
        // The server has gone; the tunnel ends by the close rules, and this is dropped.
        Win.ReceiveMore();
        return;
    }
    WinSend.SendData(data, size);
    // The browser is read again once the server has been sent this: WinSend_SendComplete.
}

void ProxySession::WinSend_SendComplete()
{
    if (Connections.isTunnelOpen)
        Win.ReceiveMore();
}
