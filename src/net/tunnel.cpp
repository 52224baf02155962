#include "net/tunnel.h"

#include "net/connection_table.h"
#include "net/flow_control.h"

const char kTunnelEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";

void openTunnel(ConnectionTable &table, int Index)
{
    Winsock *client = table.Win(Index);
    Winsock *upstream = table.WinSend(Index);
    ProxyConnection &record = table.record(Index);
    if (!client || !upstream)
        return;
    record.isTunnelOpen = true;
    record.isSendComplete = false;
    client->SendData(QByteArray(kTunnelEstablished));
    // A client may send its first bytes (a TLS hello) before it hears back.
    if (!record.strBody.isEmpty()) {
        upstream->SendData(record.strBody);
        record.strBody.clear();
    }
}

void passToServer(ConnectionTable &table, int Index, const QByteArray &chunk)
{
    ProxyConnection &record = table.record(Index);
    Winsock *client = table.Win(Index);
    Winsock *upstream = table.WinSend(Index);
    if (record.isTunnelOpen && client && upstream && upstream->State() == Winsock::sckConnected)
        passOn(*client, *upstream, chunk);
    else if (!record.isTunnelOpen)
        record.strBody.append(chunk);
}

void WinSend_SendComplete(ConnectionTable &table, int Index)
{
    resumeAfterDrain(table.Win(Index));
}
