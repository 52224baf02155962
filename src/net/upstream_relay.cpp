#include "net/upstream_relay.h"

#include "net/connection_table.h"

void WinSend_Connect(ConnectionTable &table, int Index)
{
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
        client->SendData(piece);
    } else {
        table.ResetProx(Index, false);
    }
}

// The exchange is over once the server has closed and the browser has been sent everything,
// whichever of the two is seen last.
void Win_SendComplete(ConnectionTable &table, int Index)
{
    table.record(Index).isSendComplete = true;
    const Winsock *upstream = table.WinSend(Index);
    if (!upstream || upstream->State() != Winsock::sckConnected)
        table.ResetProx(Index, false);
}

void WinSend_Close(ConnectionTable &table, int Index)
{
    if (table.record(Index).isSendComplete)
        table.ResetProx(Index, false);
}
