#pragma once

#include <QByteArray>
#include <QString>
#include <memory>

#include "net/http_framing.h"
#include "net/proxy_connection.h"
#include "net/request_reception.h"
#include "net/winsock.h"

class ConnectionTable;
class EngineContext;

// One connection slot while a browser holds it: the browser's connection Win(Index), the
// connection to the origin server WinSend(Index) and the slot's record Connections(Index). The
// handlers of the request's path are its methods, each step in its own file:
//   request_reception.cpp  Win_DataArrival: collect the request, rewrite it, connect upstream
//   upstream_relay.cpp     WinSend_Connect, WinSend_DataArrival, Win_SendComplete, WinSend_Close
//   tunnel.cpp             CONNECT: bytes both ways once the upstream connection is up
//   error_page.cpp         WinSend_Error: the page for a request that cannot be served
// The slot ends as one unit through ResetProx: both connections closed, the record gone. Every
// pending operation holds the session alive; once reset, its sockets report nothing more.
class ProxySession final : public WinsockEvents, public std::enable_shared_from_this<ProxySession> {
public:
    ProxySession(EngineContext &engine, ConnectionTable &table, int Index);

    // The slot's browser connection, taken from the listener.
    void Accept(asio::ip::tcp::socket browser);
    // Closes both connections (gracefully); the record is dropped with the session.
    void Close();
    // A slot is busy while its browser is connected; any other slot may be taken.
    bool isBusy() const { return Win.State() == Winsock::sckConnected; }
    // The browser has closed its connection, though its close has not been handled yet.
    bool hasBrowserLeft() { return Win.hasPeerClosed(); }

    const int Index;

private:
    // WinsockEvents: the two sockets' events, each to its handler.
    void ConnectEvent(Winsock &socket) override;
    void DataArrival(Winsock &socket) override;
    void SendComplete(Winsock &socket) override;
    void Error(Winsock &socket, const SocketErrorInfo &error) override;
    std::shared_ptr<void> keepAlive() override { return shared_from_this(); }

    // request_reception.cpp
    void Win_DataArrival();
    void Win_Close();
    qsizetype browserReadLimit() const;
    void readBrowserIfReady();
    void resumeBrowser();
    void hold(const char *data, qsizetype size);
    void takeFromBrowser(const char *data, qsizetype size);
    void onRequestHead();
    void requestBodyBroken();
    void refuse(qint16 Number, const QString &Description, const char *tunnelStatus);
    bool RewriteRequest();

    // upstream_relay.cpp
    void WinSend_Connect();
    void WinSend_DataArrival();
    void Win_SendComplete();
    void WinSend_Close();

    // tunnel.cpp
    void openTunnel();
    void passToServer(const char *data, qsizetype size);
    void WinSend_SendComplete();

    // error_page.cpp
    void WinSend_Error(qint16 Number, const QString &Description);
    void sendErrorPage(qint16 Number, const QString &Description, const char *tunnelStatus);

    // Ends the slot (ResetProx(Index, False)).
    void ResetProx();

    EngineContext &m_engine;
    ConnectionTable &m_table;
    Winsock Win;
    Winsock WinSend;
    ProxyConnection Connections; // this slot's record, Connections(Index)
    bool m_isReset = false;

    // Where the browser's current request and the server's responses end.
    MessageHead m_requestHead{kMaxHeaderBytes};
    BodyFramer m_requestBody;
    ResponseFramer m_response;
    // Bytes from the browser that cannot be taken yet: a body while its upstream connection is
    // being made or its queue drains, the next request while the previous response is still
    // coming. The browser is not read while any wait, so this holds one read at most.
    QByteArray m_held;
};
