#include "net/proxy_session.h"

#include "net/connection_table.h"
#include "net/engine_context.h"

ProxySession::ProxySession(EngineContext &engine, ConnectionTable &table, int slotIndex)
    : Index(slotIndex), m_engine(engine), m_table(table),
      Win(engine, *this, Winsock::Closing::Lingering),
      WinSend(engine, *this, Winsock::Closing::Prompt)
{
}

void ProxySession::Accept(asio::ip::tcp::socket browser)
{
    Win.Accept(std::move(browser));
    Win.ReceiveMore();
}

void ProxySession::Close()
{
    m_isReset = true;
    WinSend.Close();
    Win.Close();
}

void ProxySession::ResetProx()
{
    m_table.ResetProx(*this, false);
}

void ProxySession::ConnectEvent(Winsock &socket)
{
    if (!m_isReset && &socket == &WinSend)
        WinSend_Connect();
}

void ProxySession::DataArrival(Winsock &socket)
{
    if (m_isReset)
        return;
    if (&socket == &Win)
        Win_DataArrival();
    else
        WinSend_DataArrival();
}

void ProxySession::SendComplete(Winsock &socket)
{
    if (m_isReset)
        return;
    if (&socket == &Win)
        Win_SendComplete();
    else
        WinSend_SendComplete();
}

// A browser connection that fails is as good as closed; an upstream one gets the error page.
void ProxySession::Error(Winsock &socket, const SocketErrorInfo &error)
{
    if (m_isReset)
        return;
    if (&socket == &Win)
        Win_Close();
    else
        WinSend_Error(error.number, error.description);
}

// The browser closed its connection (or it failed): the slot ends, whatever is in flight.
void ProxySession::Win_Close()
{
    ResetProx();
}
