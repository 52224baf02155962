#pragma once

#include <QObject>
#include <vector>

#include "net/proxy_connection.h"
#include "net/winsock.h"
#include "net/winsock_array.h"

class ProxyHost;
class RequestLog;

// The connection slots: slot Index is Win(Index) (the browser's connection), WinSend(Index)
// (the connection to the origin server) and Connections[Index] (the request in progress).
// Taking and refusing browsers, resetting slots and the connection counter live here; request
// reception, the upstream relay and the error page are the handlers in their own files, wired
// to the sockets' events by the constructor.
class ConnectionTable : public QObject {
    Q_OBJECT
public:
    ConnectionTable(ProxyHost &host, RequestLog &log, QObject *parent = nullptr);

    Winsock Listener;
    WinsockArray Win;
    WinsockArray WinSend;
    std::vector<ProxyConnection> Connections;

    ProxyHost &host() { return m_host; }
    RequestLog &log() { return m_log; }

    // The record of slot Index, created empty when the table does not reach it yet.
    ProxyConnection &record(int Index);

    void Listener_ConnectionRequest(qintptr requestID);
    void ResetProx(int Index, bool isConnectionAccept);
    void Listener_Close();
    void Win_Close(int Index);
    void RefreshCounter();
    // Back to one empty record, as at load and after a stop.
    void ClearConnections();

private:
    bool isBusy(int Index) const;
    void takeSlot(int Index, qintptr requestID);

    ProxyHost &m_host;
    RequestLog &m_log;
};
