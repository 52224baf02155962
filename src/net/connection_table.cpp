#include "net/connection_table.h"

#include <cmath>

#include "net/error_page.h"
#include "net/proxy_host.h"
#include "net/request_reception.h"
#include "net/tunnel.h"
#include "net/upstream_relay.h"

ConnectionTable::ConnectionTable(ProxyHost &host, RequestLog &log, QObject *parent)
    : QObject(parent), m_host(host), m_log(log)
{
    ClearConnections();
    connect(&Listener, &Winsock::ConnectionRequest, this,
            &ConnectionTable::Listener_ConnectionRequest);
    connect(&Listener, &Winsock::CloseEvent, this, &ConnectionTable::Listener_Close);
    connect(&Win, &WinsockArray::CloseEvent, this, &ConnectionTable::Win_Close);
    // A browser connection that fails is as good as closed; left alone its slot would stay
    // taken for good.
    connect(&Win, &WinsockArray::Error, this, [this](int Index) { Win_Close(Index); });
    connect(&Win, &WinsockArray::DataArrival, this,
            [this](int Index) { Win_DataArrival(*this, Index); });
    connect(&Win, &WinsockArray::SendComplete, this,
            [this](int Index) { Win_SendComplete(*this, Index); });
    connect(&WinSend, &WinsockArray::ConnectEvent, this,
            [this](int Index) { WinSend_Connect(*this, Index); });
    connect(&WinSend, &WinsockArray::SendComplete, this,
            [this](int Index) { WinSend_SendComplete(*this, Index); });
    connect(&WinSend, &WinsockArray::DataArrival, this,
            [this](int Index) { WinSend_DataArrival(*this, Index); });
    connect(&WinSend, &WinsockArray::CloseEvent, this,
            [this](int Index) { WinSend_Close(*this, Index); });
    connect(&WinSend, &WinsockArray::Error, this,
            [this](int Index, qint16 Number, const QString &Description) {
                WinSend_Error(*this, Index, Number, Description);
            });
}

ProxyConnection &ConnectionTable::record(int Index)
{
    if (Index >= int(Connections.size()))
        Connections.resize(size_t(Index) + 1);
    return Connections[size_t(Index)];
}

void ConnectionTable::ClearConnections()
{
    Connections.assign(1, ProxyConnection());
}

bool ConnectionTable::isBusy(int Index) const
{
    const Winsock *client = Win(Index);
    return client && client->State() == Winsock::sckConnected;
}

// A browser connection waits: it takes the lowest free slot, or a new slot while the limit in
// txtMaxThr allows one, or is refused.
void ConnectionTable::Listener_ConnectionRequest(qintptr requestID)
{
    const int upperBound = Win.UBound();
    for (int i = 0; i <= upperBound; ++i) {
        if (isBusy(i))
            continue;
        Win.Load(i);
        WinSend.Load(i);
        takeSlot(i, requestID);
        return;
    }

    // New slots are made only below the limit minus one: with "255", slots 0 to 253.
    const int j = upperBound + 1;
    bool isNumber = false;
    const double limit = m_host.maxThreadsText().trimmed().toDouble(&isNumber);
    // "nan" converts, but is no number to compare with: without this test it would let every
    // client in.
    if (!isNumber || std::isnan(limit) || j >= limit - 1 || j > WinsockArray::kMaxIndex) {
        // Refused: the connection is not accepted, so the listener closes it without a byte.
        // Only this client is turned away; the listener keeps listening for everyone else.
        return;
    }
    Win.Load(j);
    WinSend.Load(j);
    Connections.resize(size_t(j) + 1);
    takeSlot(j, requestID);
}

void ConnectionTable::takeSlot(int Index, qintptr requestID)
{
    // ResetProx leaves a missing record missing; the slot must start from an empty one.
    if (Index >= int(Connections.size()))
        Connections.resize(size_t(Index) + 1);
    ResetProx(Index, true);
    Winsock *client = Win(Index);
    if (client && client->State() != Winsock::sckClosed)
        client->Close();
    if (client)
        client->Accept(requestID);
    RefreshCounter();
}

void ConnectionTable::ResetProx(int Index, bool isConnectionAccept)
{
    if (Winsock *upstream = WinSend(Index))
        upstream->Close();
    if (Winsock *client = Win(Index))
        client->Close();
    if (Index >= 0 && Index < int(Connections.size())) {
        ProxyConnection &slot = Connections[size_t(Index)];
        const int keptPort = slot.intPort;
        slot = ProxyConnection();
        slot.intPort = keptPort;
    }
    if (!isConnectionAccept && Index > 0) {
        Win.Unload(Index);
        WinSend.Unload(Index);
    }
    RefreshCounter();
}

// A listener is never closed by a peer; should the platform report it anyway, listen again on
// the same port.
void ConnectionTable::Listener_Close()
{
    Listener.Close();
    Listener.Listen();
}

void ConnectionTable::Win_Close(int Index)
{
    ResetProx(Index, false);
}

// Every element above 0 counts, connected or not; element 0 only while connected.
void ConnectionTable::RefreshCounter()
{
    const Winsock *first = Win(0);
    const int count =
        (Win.Count() - 1) + (first && first->State() == Winsock::sckConnected ? 1 : 0);
    m_host.showConnectionCount(QString::number(count));
}
