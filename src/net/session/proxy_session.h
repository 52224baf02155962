#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <string>
#include <system_error>

#include "net/engine/host_resolver.h"
#include "net/http/http_framing.h"
#include "net/rules/request_rewriter.h"
#include "net/session/request_rows.h"
#include "net/session/session_side.h"
#include "net/session/slot_deadline.h"
#include "net/session/tunnel_trust.h"

class ConnectionTable;
class EngineContext;

// One browser connection for as long as it holds its slot, and everything it leads to: the
// requests read from it, the connection to each request's origin, and the responses relayed
// back. Its path, in the order of proxy_session.cpp:
//
//   accept -> read and frame the head -> rewrite -> resolve and connect -> send the head and
//   stream the body -> relay the response -> next request, or end
//
// A CONNECT (or an upgrade the request asked for) turns the path into a tunnel: bytes both ways.
// Every handler holds the session alive through its shared pointer and, first thing, checks
// that the socket it waited on is still open: a side that has been closed since is over, and its
// late handlers return without a word. Each upstream connection is a side object of its own, so
// nothing of an earlier one can reach a later one. The slot ends in one place, ResetProx, whatever
// ends it. Engine thread only.
class ProxySession final : public std::enable_shared_from_this<ProxySession> {
public:
    // Where the session is on its path.
    enum class Phase {
        ReadingHead,      // taking a request's head; the previous exchange, if any, is over
        Connecting,       // the head is complete: its origin is being looked up and connected
        StreamingBody,    // the head went up; its body follows as the browser sends it
        AwaitingResponse, // the request went up whole; its response is relayed until it ends
        Tunnel,           // bytes pass both ways unchanged (CONNECT, or an upgrade asked for)
        Sniffing,         // a CONNECT to inspect is open: the first byte either side sends tells
                          // whether it carries TLS to look into, or is a blind tunnel
        Handshaking,      // the browser's TLS handshake with the leaf for the CONNECT host
        Ending,           // the browser's last bytes are queued (an error page, or an invalid
                          // 101 head); what it sends is dropped, and the slot ends once they
                          // are delivered
        Closed,           // the slot has ended
    };

    // Why a slot ends.
    enum class EndReason {
        BrowserClosed,   // the browser closed its connection
        BrowserFailed,   // a read or write of the browser's connection failed
        BrowserGone,     // found closed by the table, before its close was handled
        SlotTaken,       // a new browser takes the slot of one that has gone
        DeadlinePassed,  // a head not whole in time, or nothing moved for too long
        HandshakeFailed, // the browser's TLS handshake for an inspected tunnel
        TunnelFailed,    // an open tunnel's origin failed: a page would corrupt the stream
        ExchangeOver,    // the origin has gone and the browser has everything it asked for
        Stopped,         // the proxy stops
        // The browser's last bytes are queued; the slot ends once they are delivered, and what
        // it sends until then is dropped:
        ErrorPageSent,    // the request was answered with an error page
        ResponseCutShort, // the response cannot be completed: only the close tells the browser
        InvalidSwitch,    // a 101 the request did not ask for; its head was relayed
        TunnelClosed,     // a tunnel's origin has closed
    };

    ProxySession(EngineContext &engine, ConnectionTable &table, int Index,
                 asio::ip::tcp::socket browser);

    // Begins reading the browser's first request.
    void start();
    // Ends the slot: both connections closed (the browser's gracefully), its rows ended, and
    // the slot given back to the table. Safe to call twice, and from any handler.
    void ResetProx(EndReason why);
    // A slot is busy while its browser is connected.
    bool isBusy() const { return m_phase != Phase::Closed; }
    // The browser has closed its connection, though its close has not been handled yet.
    bool hasBrowserLeft() { return m_browser.hasPeerClosed(); }

    const int Index;

private:
    // accept, read and frame the head, rewrite
    void readBrowser();
    void onBrowserReadable(const std::error_code &error);
    void takeFromBrowser(const char *data, qsizetype size);
    void takeHeld();
    qsizetype takeHead(const char *data, qsizetype size);
    void onRequestHead();

    // resolve and connect, send the head and stream the body
    void connectOrigin();
    bool refuseForbiddenTarget(const HostResolver::Addresses &addresses, quint16 port);
    void onOriginConnected(const std::shared_ptr<SessionSide> &origin,
                           const std::error_code &error);
    void sendRequestHead();
    qsizetype takeBody(const char *data, qsizetype size);
    void onBodyEnd();
    void onBodyBroken();
    void sendToOrigin(const char *data, qsizetype size);
    void onOriginDrained(const std::shared_ptr<SessionSide> &origin, const std::error_code &error);

    // relay the response
    void readOrigin();
    void onOriginReadable(const std::shared_ptr<SessionSide> &origin, const std::error_code &error);
    void relayResponse(const char *data, qsizetype size);
    void relayRewrittenResponse(const char *data, qsizetype size);
    bool isFinalHead() const;
    void refuseResponseHead();
    void onSwitchingProtocols(const char *rest, qsizetype restSize);
    void onResponseEnd();
    void onOriginGone();
    void sendToBrowser(const char *data, qsizetype size);
    void onBrowserDrained(const std::error_code &error);

    // next request, or end; tunnels and error pages
    void endIfOver();
    void closeOrigin();
    void openTunnel();
    void onOriginFailed(const std::error_code &error);
    void sendErrorPage(qint16 Number, const QString &Description, const char *tunnelStatus);
    static bool deliversFirst(EndReason why);

    // HTTPS inspection
    bool shouldInspect() const;
    void startInspection(const char *data, qsizetype size);
    void onBrowserSecured(const std::error_code &error);
    void secureOrigin(const std::shared_ptr<SessionSide> &origin);
    void onOriginSecured(const std::shared_ptr<SessionSide> &origin, const std::error_code &error);

    // the Requests window's rows, and the deadlines
    void endRequestRow(int pageNumber);
    void endTunnelRow(int pageNumber);
    // The log's entry for a browser that refused the certificate shown for the tunnel's host.
    void logCertificateRefused();
    bool isTunnelPhase() const { return m_phase == Phase::Tunnel || m_phase == Phase::Sniffing; }
    void noteActivity() { m_deadline.noteActivity(); }
    void watchDeadlines();
    void onDeadline();

    EngineContext &m_engine;
    ConnectionTable &m_table;
    Phase m_phase = Phase::ReadingHead;
    EndReason m_endReason = EndReason::ExchangeOver; // while Ending or Closed
    SessionSide m_browser;
    // The connection to the current request's origin; a new object for every connection, null
    // while there is none.
    std::shared_ptr<SessionSide> m_origin;
    asio::ip::address m_browserIp;
    QString m_browserAddress; // for the log's request entries

    SlotDeadline m_deadline;
    RequestRows m_rows;

    // An inspected tunnel: every request inside goes to the CONNECT's host and port over TLS.
    bool m_isInspected = false;
    TunnelTrust m_trust; // how the browser took the tunnel's certificate
    std::string m_tunnelHost;
    quint16 m_tunnelPort = 0;

    // The browser was told that its tunnel is established.
    bool m_isTunnelOpen = false;

    // The current request: its head as it goes upstream and where its body ends.
    RewrittenRequest m_request;
    MessageHead m_requestHead;
    BodyFramer m_requestBody;
    // Where the responses to the current request end, and how much of them was relayed.
    ResponseFramer m_response;
    qint64 m_responseBytes = 0;
    // The response list's names while it is on, as it stood when the request was read; empty
    // while it is off, and then every response passes as it came.
    QList<QByteArray> m_removeFromResponse;
    // Something has been sent to the browser on this connection. Until then an origin that
    // closes without a word leaves the browser waiting (it may retry), instead of ending the slot.
    bool m_hasAnswered = false;
    // Bytes from the browser that cannot be taken yet: a body while its connection is made, the
    // next request while the previous response is still coming, early tunnel bytes. The browser
    // is not read while any wait, so this holds one read at most (early tunnel bytes: at most
    // kMaxEarlyTunnelBytes).
    QByteArray m_held;
};
