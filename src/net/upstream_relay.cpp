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
}

// Each piece of the response goes to the browser in the event that brings it, unchanged.
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
    Win.SendData(buffer, piece.size);
    // The server is read again once the browser has been sent this piece: Win_SendComplete.
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

void ProxySession::WinSend_Close()
{
    if (Connections.isSendComplete)
        ResetProx();
}
