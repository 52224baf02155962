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
    resumeBrowser();
}

// Bytes from the browser on a tunnel slot: to the server, or kept until the tunnel is open (the
// browser is not read past what may be kept).
void ProxySession::passToServer(const char *data, qsizetype size)
{
    if (!Connections.isTunnelOpen) {
        Connections.strBody.append(data, size);
        return;
    }
    // Once the server has gone, the tunnel ends by the close rules and this is dropped.
    if (WinSend.State() == Winsock::sckConnected)
        WinSend.SendData(data, size);
}

// The server has taken everything passed to it: the browser may be read again.
void ProxySession::WinSend_SendComplete()
{
    resumeBrowser();
}
