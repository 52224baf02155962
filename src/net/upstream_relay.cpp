#include "net/upstream_relay.h"

#include "net/engine_context.h"
#include "net/proxy_session.h"

void ProxySession::WinSend_Connect()
{
    if (Connections.isTunnel) {
        openTunnel();
        return;
    }
    WinSend.SendData(Connections.strRequest);
    WinSend.ReceiveMore();
    // The body, or the next request, may have been waiting for the connection.
    resumeBrowser();
}

// Each piece of the response goes to the browser in the event that brings it, unchanged. Where
// the response ends is only watched: it matters when the browser's next request waits for it.
void ProxySession::WinSend_DataArrival()
{
    char *buffer = m_engine.readBuffer();
    const Winsock::Received piece = WinSend.GetData(buffer, EngineContext::kReadBufferBytes);
    if (piece.error) {
        const SocketErrorInfo error = socketErrorInfo(piece.error);
        WinSend_Error(error.number, error.description);
        return;
    }
    if (piece.isPeerClosed) {
        WinSend_Close();
        return;
    }
    if (piece.size == 0) {
        WinSend.ReceiveMore();
        return;
    }
    if (Win.State() != Winsock::sckConnected) {
        ResetProx();
        return;
    }
    Connections.isSendComplete = false;
    if (!Connections.isResponsePending) {
        Win.SendData(buffer, piece.size);
        return;
    }
    const qsizetype taken = m_response.take(buffer, piece.size);
    Connections.hasResponseBytes = Connections.hasResponseBytes || taken > 0;
    if (m_response.isSwitchingProtocols()) {
        // 101: from here on the connection carries another protocol, both ways, as a tunnel.
        Connections.isResponsePending = false;
        Connections.isReceivingBody = false;
        Connections.isTunnel = true;
        Connections.isTunnelOpen = true;
        Win.SendData(buffer, piece.size);
        resumeBrowser();
        return;
    }
    if (!m_response.isComplete()) {
        Win.SendData(buffer, piece.size);
        return;
    }
    Connections.isResponsePending = false;
    if (m_held.isEmpty()) {
        Win.SendData(buffer, piece.size);
        return;
    }
    // The browser's next request waited for the end of this response: it gets a connection of
    // its own, and nothing the server sends beyond that end belongs to any response.
    Win.SendData(buffer, taken);
    WinSend.Close();
    resumeBrowser();
}

// The exchange is over once the server has closed and the browser has been sent everything,
// whichever of the two is seen last. An upstream connection still being made belongs to the
// browser's next request, which is already on its way: ending the slot here would drop that
// request unanswered, so the new exchange is left to end by these same rules.
void ProxySession::Win_SendComplete()
{
    Connections.isSendComplete = true;
    switch (WinSend.State()) {
    case Winsock::sckConnected:
        WinSend.ReceiveMore();
        return;
    case Winsock::sckResolvingHost:
    case Winsock::sckConnecting:
        return;
    default:
        ResetProx();
    }
}

// Whatever its framing said, the response ends with the server's connection. Requests the
// browser sent after it were waiting for its end; they end with the browser's connection, and a
// browser that pipelines sends them again.
void ProxySession::WinSend_Close()
{
    Connections.isResponsePending = false;
    if (Connections.isSendComplete || !m_held.isEmpty())
        ResetProx();
}
