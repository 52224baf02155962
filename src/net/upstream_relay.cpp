#include "net/upstream_relay.h"

#include "net/connection_table.h"
#include "net/flow_control.h"
#include "net/tunnel.h"

void WinSend_Connect(ConnectionTable &table, int Index)
{
    if (table.record(Index).isTunnel) {
        openTunnel(table, Index);
        return;
    }
    if (Winsock *upstream = table.WinSend(Index))
        upstream->SendData(table.record(Index).strRequest);
}

// Each piece of the response goes to the browser in the event that brings it, unchanged.
void WinSend_DataArrival(ConnectionTable &table, int Index)
{
    Winsock *upstream = table.WinSend(Index);
    if (!upstream)
        return;
    const QByteArray piece = upstream->GetData();
    Winsock *client = table.Win(Index);
    if (client && client->State() == Winsock::sckConnected) {
        table.record(Index).isSendComplete = false;
        passOn(*upstream, *client, piece);
    } else {
        table.ResetProx(Index, false);
    }
}

// The exchange is over once the server has closed and the browser has been sent everything,
// whichever of the two is seen last. An upstream connection still being made belongs to the
// browser's next request, which is already on its way: ending the slot here would drop that
// request unanswered, so the new exchange is left to end by these same rules.
void Win_SendComplete(ConnectionTable &table, int Index)
{
    table.record(Index).isSendComplete = true;
    Winsock *upstream = table.WinSend(Index);
    resumeAfterDrain(upstream);
    const int state = upstream ? upstream->State() : Winsock::sckClosed;
    if (state == Winsock::sckConnected || state == Winsock::sckResolvingHost ||
        state == Winsock::sckConnecting)
        return;
    table.ResetProx(Index, false);
}

void WinSend_Close(ConnectionTable &table, int Index)
{
    if (table.record(Index).isSendComplete)
        table.ResetProx(Index, false);
}
