#include "net/request_reception.h"

#include "log/request_log.h"
#include "net/engine_context.h"
#include "net/error_page.h"
#include "net/proxy_session.h"

QString headerTooLargeDescription()
{
    return QStringLiteral("Request header too large: the header block did not end within %1 bytes")
        .arg(kMaxHeaderBytes);
}

QString badRequestDescription()
{
    return QStringLiteral("Bad request: the request line or the Host header cannot be forwarded");
}

QString unframeableDescription()
{
    return QStringLiteral("Bad request: where the request's body ends cannot be told safely");
}

namespace {

bool isHeadRequest(const QByteArray &header)
{
    qsizetype start = 0;
    while (start < header.size() && header.at(start) == ' ')
        ++start;
    return header.mid(start, 5) == "HEAD ";
}

} // namespace

// Data arrived from the browser: requests are taken one after the other, each rewritten and sent
// on its way through a new upstream connection as soon as its header block is complete, its body
// following as it arrives.
void ProxySession::Win_DataArrival()
{
    char *buffer = m_engine.readBuffer();
    const Winsock::Received piece = Win.GetData(buffer, browserReadLimit());
    if (piece.isPeerClosed || piece.error) {
        Win_Close();
        return;
    }
    if (piece.size > 0)
        takeFromBrowser(buffer, piece.size);
    readBrowserIfReady();
}

// Before its tunnel is open, a browser is read only as far as the tunnel may keep for it.
qsizetype ProxySession::browserReadLimit() const
{
    if (Connections.isTunnel && !Connections.isTunnelOpen)
        return qMax<qsizetype>(0, kMaxEarlyTunnelBytes - Connections.strBody.size());
    return EngineContext::kReadBufferBytes;
}

// The browser is read while nothing of it waits: no bytes held back, nothing queued for the
// server, room for early tunnel bytes.
void ProxySession::readBrowserIfReady()
{
    if (m_isReset || !m_held.isEmpty() || WinSend.BytesQueued() > 0 || browserReadLimit() == 0)
        return;
    Win.ReceiveMore();
}

// What was held back is taken now that it can be (the upstream connection is up, its queue has
// drained, or the previous response has ended), and the browser is read again.
void ProxySession::resumeBrowser()
{
    if (!m_held.isEmpty()) {
        const QByteArray held = std::move(m_held);
        m_held = QByteArray();
        takeFromBrowser(held.constData(), held.size());
    }
    readBrowserIfReady();
}

void ProxySession::hold(const char *data, qsizetype size)
{
    m_held.append(data, size);
}

void ProxySession::takeFromBrowser(const char *data, qsizetype size)
{
    while (size > 0 && !m_isReset) {
        if (Connections.isRefused)
            return; // dropped until the page is out and the slot reset
        if (Connections.isTunnel) {
            // A tunnel carries bytes, not requests.
            passToServer(data, size);
            return;
        }
        if (Connections.isReceivingBody) {
            // The body follows its header to the server as it arrives, once the connection is up
            // and what went before has been taken.
            if (WinSend.State() != Winsock::sckConnected || WinSend.BytesQueued() > 0) {
                hold(data, size);
                return;
            }
            const qsizetype taken = m_requestBody.take(data, size);
            WinSend.SendData(data, taken);
            data += taken;
            size -= taken;
            if (m_requestBody.isInvalid()) {
                requestBodyBroken();
                return;
            }
            if (m_requestBody.isComplete())
                Connections.isReceivingBody = false;
            continue;
        }
        // A new request begins here. While the previous response is still coming it waits, and
        // the browser is not read further.
        if (Connections.isResponsePending) {
            hold(data, size);
            return;
        }
        const bool hadBegun = m_requestHead.hasBegun();
        const qsizetype taken = m_requestHead.take(data, size);
        data += taken;
        size -= taken;
        if (!hadBegun && m_requestHead.hasBegun() && m_engine.log)
            m_engine.log->writeRequestEntry(Win.RemoteHostIP());
        if (m_requestHead.state() == MessageHead::TooLarge) {
            refuse(kHeaderTooLargeNumber, headerTooLargeDescription(),
                   "431 Request Header Fields Too Large");
            return;
        }
        if (m_requestHead.state() == MessageHead::Complete)
            onRequestHead();
    }
}

// A request's header block is complete: it is rewritten (its header lines logged) and its
// upstream connection made; its body, if any, follows.
void ProxySession::onRequestHead()
{
    Connections.strHeader = m_requestHead.block();
    m_requestHead.clear();
    BodyFraming framing;
    const bool isFramed = requestBodyFraming(Connections.strHeader, framing);
    const bool isForwardable = RewriteRequest();
    if (Connections.isTunnel) {
        // What follows the CONNECT request is tunnel data.
        if (!isForwardable) {
            refuse(kBadRequestNumber, badRequestDescription(), "400 Bad Request");
            return;
        }
        WinSend.Close();
        WinSend.Connect(Connections.strHost, quint16(Connections.intPort));
        return;
    }
    if (!isFramed || !isForwardable) {
        refuse(kBadRequestNumber, isFramed ? badRequestDescription() : unframeableDescription(),
               "400 Bad Request");
        return;
    }
    // Ends whatever upstream connection the slot still has from an earlier request.
    WinSend.Close();
    Connections.lngContentLength = framing.kind == BodyFraming::Length ? qint64(framing.length) : 0;
    m_requestBody.start(framing);
    Connections.isReceivingBody = !m_requestBody.isComplete();
    m_response.start(isHeadRequest(Connections.strHeader));
    Connections.isResponsePending = true;
    Connections.hasResponseBytes = false;
    WinSend.Connect(Connections.strHost, quint16(Connections.intPort));
}

// A chunked body turned out malformed halfway: nothing more of it may reach the server. A
// browser that has had nothing of the response yet is told why; otherwise a page would land in
// the middle of a response, and the connection just ends.
void ProxySession::requestBodyBroken()
{
    if (Connections.hasResponseBytes) {
        ResetProx();
        return;
    }
    refuse(kBadRequestNumber, unframeableDescription(), "400 Bad Request");
}

// The request is not served: the page goes out after everything already relayed, what the
// browser sends from now on is dropped, and the slot is reset once the page has been sent.
void ProxySession::refuse(qint16 Number, const QString &Description, const char *tunnelStatus)
{
    Connections.isRefused = true;
    Connections.isResponsePending = false;
    Connections.isReceivingBody = false;
    m_held.clear();
    sendErrorPage(Number, Description, tunnelStatus);
}

// The rules as the window showed them when this request's header block was complete; header
// lines are logged while chkLog is ticked.
bool ProxySession::RewriteRequest()
{
    const std::shared_ptr<const ProxySettings> settings = m_engine.settings();
    RequestLog *log = settings->isLogging ? m_engine.log : nullptr;
    HeaderLogSink logHeader;
    if (log)
        logHeader = [log](const QByteArray &line) { log->writeHeaderEntry(line); };
    return rewriteRequest(Connections, settings->rules, logHeader);
}
