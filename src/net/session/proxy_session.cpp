#include "net/session/proxy_session.h"

#include <asio/connect.hpp>
#include <asio/post.hpp>
#include <cstring>
#include <optional>
#include <vector>

#include "log/request_log.h"
#include "log/request_records.h"
#include "net/engine/connection_table.h"
#include "net/engine/engine_context.h"
#include "net/engine/socket_errors.h"
#include "net/engine/socket_platform.h"
#include "net/http/error_page.h"
#include "net/http/request_head_check.h"
#include "net/rules/address_policy.h"
#include "net/rules/allow_pattern.h"
#include "net/rules/response_rewriter.h"
#include "net/tls/tls_inspection.h"
#include "net/tls/tls_layer.h"

namespace {

const char kBadGateway[] = "502 Bad Gateway";
const char kBadRequest[] = "400 Bad Request";

// The browser's address, an IPv4 browser of the dual-stack listener as plain IPv4.
asio::ip::address addressOf(const asio::ip::tcp::socket &socket)
{
    std::error_code error;
    const asio::ip::address address = socket.remote_endpoint(error).address();
    return error ? asio::ip::address() : unmapped(address);
}

} // namespace

ProxySession::ProxySession(EngineContext &engine, ConnectionTable &table, int slotIndex,
                           asio::ip::tcp::socket browser)
    : Index(slotIndex), m_engine(engine), m_table(table), m_browser(std::move(browser)),
      m_browserIp(addressOf(m_browser.socket())),
      m_browserAddress(QString::fromStdString(m_browserIp.to_string())), m_deadline(engine.io),
      m_rows(engine.records, m_browserAddress), m_requestHead(kMaxHeaderBytes)
{
    m_browser.setConnected();
}

// --- accept ------------------------------------------------------------------------------------

void ProxySession::start()
{
    noteActivity();
    m_deadline.startHead();
    watchDeadlines();
    readBrowser();
}

// The browser is read while nothing of it waits (no bytes held back, nothing queued for the
// origin), except that early tunnel bytes are collected up to their limit.
void ProxySession::readBrowser()
{
    const bool isCollectingEarlyTunnelBytes =
        m_phase == Phase::Connecting && m_request.isTunnel && m_held.size() < kMaxEarlyTunnelBytes;
    if (m_phase == Phase::Closed || m_phase == Phase::Handshaking ||
        (!m_held.isEmpty() && !isCollectingEarlyTunnelBytes) ||
        (m_origin && m_origin->queued() > 0))
        return;
    m_browser.waitReadable([self = shared_from_this()](const std::error_code &error) {
        self->onBrowserReadable(error);
    });
}

// In Ending, what arrives is read and dropped.
void ProxySession::onBrowserReadable(const std::error_code &error)
{
    if (m_browser.isClosed())
        return;
    Q_ASSERT(m_phase != Phase::Closed);
    char *buffer = m_engine.readBuffer();
    const qsizetype capacity = m_phase == Phase::Connecting && m_request.isTunnel
                                   ? kMaxEarlyTunnelBytes - m_held.size()
                                   : EngineContext::kReadBufferBytes;
    SessionSide::Read piece;
    piece.error = error;
    if (!error)
        piece = m_browser.read(buffer, capacity);
    // The browser has closed its connection, or it failed: the slot ends, whatever is in flight.
    if (piece.isEnd || piece.error) {
        if (piece.isEnd && m_trust.isQuietRefusal())
            logCertificateRefused();
        ResetProx(piece.error ? EndReason::BrowserFailed : EndReason::BrowserClosed);
        return;
    }
    noteActivity();
    m_rows.countTunnelBytes(piece.size);
    if (m_isInspected)
        m_trust.noteRequestBytes();
    takeFromBrowser(buffer, piece.size);
    readBrowser();
}

// Requests are taken one after the other: the head is framed and rewritten, its body follows it
// upstream, and what comes after the body begins the next request. What cannot be taken yet is
// held, and the browser is not read until it has been.
void ProxySession::takeFromBrowser(const char *data, qsizetype size)
{
    while (size > 0) {
        qsizetype taken = 0;
        switch (m_phase) {
        case Phase::ReadingHead:
            taken = takeHead(data, size);
            break;
        case Phase::StreamingBody:
            taken = takeBody(data, size);
            break;
        case Phase::Connecting:
        case Phase::AwaitingResponse:
            // A body waits for its connection; the next request waits for this response's end.
            m_held.append(data, size);
            return;
        case Phase::Tunnel:
            sendToOrigin(data, size);
            return;
        case Phase::Sniffing:
            // A TLS handshake record begins with 0x16; anything else is left alone.
            if (data[0] == 0x16) {
                startInspection(data, size);
                return;
            }
            m_phase = Phase::Tunnel;
            continue;
        case Phase::Handshaking:
        case Phase::Ending:
        case Phase::Closed:
            return; // dropped
        }
        data += taken;
        size -= taken;
    }
}

// The bytes held back are taken now that they can be: the connection is up, the origin's queue
// has drained, or the previous response has ended.
void ProxySession::takeHeld()
{
    if (m_held.isEmpty())
        return;
    const QByteArray held = std::move(m_held);
    m_held = QByteArray();
    takeFromBrowser(held.constData(), held.size());
}

// --- read and frame the head -------------------------------------------------------------------

qsizetype ProxySession::takeHead(const char *data, qsizetype size)
{
    const bool hadBegun = m_requestHead.hasBegun();
    const qsizetype taken = m_requestHead.take(data, size);
    if (!hadBegun && m_requestHead.hasBegun()) {
        m_rows.noteHeadBegan();
        if (m_engine.log)
            m_engine.log->writeRequestEntry(m_browserAddress);
        if (!m_deadline.isHeadRunning()) {
            m_deadline.startHead();
            watchDeadlines();
        }
    }
    if (m_requestHead.state() != MessageHead::Empty &&
        m_requestHead.state() != MessageHead::Partial)
        m_deadline.endHead();
    if (m_requestHead.state() == MessageHead::TooLarge)
        sendErrorPage(kHeaderTooLargeNumber, headerTooLargeDescription(),
                      "431 Request Header Fields Too Large");
    else if (m_requestHead.state() == MessageHead::Malformed)
        sendErrorPage(kBadRequestNumber, badRequestDescription(), kBadRequest);
    else if (m_requestHead.state() == MessageHead::Complete)
        onRequestHead();
    return taken;
}

// --- rewrite -----------------------------------------------------------------------------------

// The head is complete: it is rewritten by the rules as they stand now (its header lines logged
// while chkLog is ticked), and its origin is connected. A request whose body's end cannot be
// told, or that cannot be forwarded, is refused.
void ProxySession::onRequestHead()
{
    const RequestHead head = parseRequestHead(m_requestHead.block());
    m_requestHead.clear();
    BodyFraming framing;
    const bool isFramed = requestBodyFraming(head, framing);

    const std::shared_ptr<const ProxySettings> settings = m_engine.settings();
    RequestLog *log = settings->isLogging ? m_engine.log : nullptr;
    HeaderLogSink logHeader;
    if (log)
        logHeader = [log](const QByteArray &line) { log->writeHeaderEntry(line); };
    m_request = rewriteRequest(head, settings->rules, logHeader);
    if (m_isInspected) {
        // Inside an inspected tunnel every request goes where the CONNECT said, whatever its
        // Host line names; a tunnel inside it makes no sense. Read like a plain request all the
        // same: an HTTP/1.1 request without Host is refused, as any server refuses it.
        const bool lacksHost =
            head.hostLineCount == 0 && head.version == QByteArrayView("HTTP/1.1");
        m_request.isForwardable = m_request.isForwardable && !m_request.isTunnel && !lacksHost;
        m_request.host = QByteArray::fromStdString(m_tunnelHost);
        m_request.port = m_tunnelPort;
    }

    // A head that servers may read in more than one way is never passed on: what the origin
    // read differently from the proxy could slip past the rules.
    if (!isStrictRequestHead(head))
        m_request.isForwardable = false;
    m_rows.begin(head, m_request, m_isInspected, m_browser.socket());
    if (!m_request.isForwardable || (!m_request.isTunnel && !isFramed)) {
        sendErrorPage(kBadRequestNumber,
                      isFramed ? badRequestDescription() : unframeableDescription(), kBadRequest);
        return;
    }
    if (m_engine.records)
        m_engine.records->countHits(m_request.effects);
    if (!m_request.isTunnel) {
        m_requestBody.start(framing);
        m_removeFromResponse = settings->rules.removeResponse
                                   ? settings->rules.removeResponseEntries
                                   : QList<QByteArray>();
        m_response.start(m_request.method == "HEAD", !m_removeFromResponse.isEmpty());
        m_responseBytes = 0;
    }
    m_phase = Phase::Connecting;
    if (m_isInspected && m_origin) {
        // Inside an inspected tunnel the origin's connection serves the next request while the
        // origin keeps it open: the first one still needs its TLS session.
        if (m_origin->tls())
            sendRequestHead();
        else
            secureOrigin(m_origin);
        return;
    }
    // The previous exchange's connection, if its origin kept it open, is not used again.
    closeOrigin();
    if (m_request.isTunnel) {
        m_tunnelHost = m_request.host.toStdString();
        m_tunnelPort = m_request.port;
    }
    connectOrigin();
}

// --- resolve and connect -----------------------------------------------------------------------

// Looks the host up and connects to each of its addresses in turn until one answers.
void ProxySession::connectOrigin()
{
    auto origin = std::make_shared<SessionSide>(asio::ip::tcp::socket(m_engine.io));
    m_origin = origin;
    m_rows.noteConnecting();
    const quint16 port = m_request.port;
    m_engine.resolver.resolve(
        m_request.host.toStdString(),
        [self = shared_from_this(), origin, port](const std::error_code &error,
                                                  const HostResolver::Addresses &addresses) {
            if (origin->isClosed())
                return;
            if (error) {
                const SocketErrorInfo notFound = lookupErrorInfo(error);
                self->sendErrorPage(notFound.number, notFound.description, kBadGateway);
                return;
            }
            // Checked on the very addresses about to be tried, so that nothing can change
            // between the check and the connect.
            if (self->refuseForbiddenTarget(addresses, port))
                return;
            auto whenConnected = [self, origin](const std::error_code &connected) {
                self->onOriginConnected(origin, connected);
            };
            if (addresses.size() == 1) {
                // Opened and made non-blocking here, once: the connect needs no switch of its
                // own, and the connection is ready for reading and writing as it stands.
                const asio::ip::tcp::endpoint endpoint(addresses.front(), port);
                std::error_code opened;
                origin->socket().open(endpoint.protocol(), opened);
                if (!opened)
                    origin->socket().non_blocking(true, opened);
                if (opened) {
                    self->onOriginConnected(origin, opened);
                    return;
                }
                origin->socket().async_connect(endpoint, std::move(whenConnected));
                return;
            }
            // The error reported is the last address's.
            std::vector<asio::ip::tcp::endpoint> endpoints;
            endpoints.reserve(addresses.size());
            for (const asio::ip::address &address : addresses)
                endpoints.emplace_back(address, port);
            asio::async_connect(
                origin->socket(), endpoints,
                [whenConnected](const std::error_code &connected, const asio::ip::tcp::endpoint &) {
                    whenConnected(connected);
                });
        });
}

// Two kinds of target are never connected: the proxy itself, where each request would come back
// in as a new one until every slot was taken; and, for a browser on another computer, this
// computer's own services, which often trust whatever comes from this machine. The browser gets
// the page instead; true then.
bool ProxySession::refuseForbiddenTarget(const HostResolver::Addresses &addresses, quint16 port)
{
    // Interfaces are listed only when a check needs them, and then once.
    std::optional<std::vector<asio::ip::address>> local;
    const auto localAddresses = [&local]() -> const std::vector<asio::ip::address> & {
        if (!local)
            local = interfaceAddresses();
        return *local;
    };
    if (port == m_engine.listeningPort) {
        for (const asio::ip::address &address : addresses) {
            if (namesThisProxy(address, port, m_engine.listeningPort, localAddresses())) {
                sendErrorPage(kNamesThisProxyNumber, namesThisProxyDescription(), kBadGateway);
                return true;
            }
        }
    }
    if (!m_browserIp.is_loopback()) {
        for (const asio::ip::address &address : addresses) {
            if (!mayReachThisMachine(m_browserIp, address, localAddresses())) {
                sendErrorPage(kThisMachineRefusedNumber, thisMachineRefusedDescription(),
                              kThisMachineRefusedConnectStatus);
                return true;
            }
        }
    }
    return false;
}

// --- send the head and stream the body ---------------------------------------------------------

void ProxySession::onOriginConnected(const std::shared_ptr<SessionSide> &origin,
                                     const std::error_code &error)
{
    if (origin->isClosed())
        return;
    Q_ASSERT(m_phase == Phase::Connecting);
    if (error) {
        onOriginFailed(error);
        return;
    }
    origin->setConnected();
    if (m_request.isTunnel) {
        if (!shouldInspect()) {
            openTunnel();
            return;
        }
        m_phase = Phase::Sniffing;
        m_isTunnelOpen = true;
        sendToBrowser(kTunnelEstablished, qsizetype(std::strlen(kTunnelEstablished)));
        takeHeld();
        readOrigin();
        readBrowser();
        return;
    }
    if (m_isInspected) {
        secureOrigin(origin);
        return;
    }
    sendRequestHead();
}

void ProxySession::sendRequestHead()
{
    m_rows.noteConnected();
    m_rows.noteRequestSent();
    sendToOrigin(m_request.head.constData(), m_request.head.size());
    m_phase = m_requestBody.isComplete() ? Phase::AwaitingResponse : Phase::StreamingBody;
    readOrigin();
    // The body, or the next request, may have been waiting for the connection.
    takeHeld();
    readBrowser();
}

// The body follows its head as it arrives, once what went before has been taken by the origin.
// An origin that has gone gets nothing; the rest of the body is read and dropped.
qsizetype ProxySession::takeBody(const char *data, qsizetype size)
{
    if (m_origin && m_origin->queued() > 0) {
        m_held.append(data, size);
        return size;
    }
    const qsizetype taken = m_requestBody.take(data, size);
    sendToOrigin(data, taken);
    if (m_requestBody.isInvalid()) {
        onBodyBroken();
        return size;
    }
    if (m_requestBody.isComplete())
        onBodyEnd();
    return taken;
}

void ProxySession::onBodyEnd()
{
    if (m_origin && !m_response.isComplete()) {
        m_phase = Phase::AwaitingResponse;
        return;
    }
    // The response was over before the body was: the exchange is.
    m_phase = Phase::ReadingHead;
    endIfOver();
}

// A chunked body turned out malformed halfway: nothing more of it may reach the origin. A
// browser that has had nothing of the response yet is told why; otherwise a page would land in
// the middle of a response, and the connection just ends.
void ProxySession::onBodyBroken()
{
    if (m_responseBytes > 0) {
        closeOrigin();
        ResetProx(EndReason::ResponseCutShort);
        return;
    }
    sendErrorPage(kBadRequestNumber, unframeableDescription(), kBadRequest);
}

void ProxySession::sendToOrigin(const char *data, qsizetype size)
{
    if (!m_origin || size <= 0)
        return;
    const std::error_code error = m_origin->write(data, size);
    if (error) {
        // Heard from the event loop, so that no step of the path is cut off in its middle.
        asio::post(m_engine.io, [self = shared_from_this(), origin = m_origin, error] {
            if (!origin->isClosed())
                self->onOriginFailed(error);
        });
        return;
    }
    if (m_origin->queued() > 0) {
        m_origin->whenDrained(
            [self = shared_from_this(), origin = m_origin](const std::error_code &drained) {
                self->onOriginDrained(origin, drained);
            });
    }
}

// The origin has taken everything: the browser may be read again.
void ProxySession::onOriginDrained(const std::shared_ptr<SessionSide> &origin,
                                   const std::error_code &error)
{
    if (origin->isClosed())
        return;
    // Every path to Ending or Closed closes the origin first.
    Q_ASSERT(m_phase != Phase::Closed && m_phase != Phase::Ending);
    if (error) {
        onOriginFailed(error);
        return;
    }
    noteActivity();
    takeHeld();
    readBrowser();
}

// --- relay the response ------------------------------------------------------------------------

// The origin is read while the browser's queue is empty, so a slot holds at most one read's
// worth of a response however slowly its browser reads. An origin kept open after its response
// is still read, so that its close, or anything it sends out of turn, is seen.
void ProxySession::readOrigin()
{
    if (!m_origin || m_browser.queued() > 0 || m_phase == Phase::Connecting ||
        m_phase == Phase::Handshaking || m_phase == Phase::Ending || m_phase == Phase::Closed)
        return;
    m_origin->waitReadable(
        [self = shared_from_this(), origin = m_origin](const std::error_code &error) {
            self->onOriginReadable(origin, error);
        });
}

// Mostly in StreamingBody, AwaitingResponse, Tunnel and Sniffing, and in ReadingHead while the
// last origin is kept open; a wait armed before the phase moved on may end in another.
void ProxySession::onOriginReadable(const std::shared_ptr<SessionSide> &origin,
                                    const std::error_code &error)
{
    if (origin->isClosed())
        return;
    Q_ASSERT(m_phase != Phase::Closed && m_phase != Phase::Ending);
    // A wait armed while the origin idled, woken while its TLS handshake runs: the handshake
    // reads for itself, and the origin is read again once it is done.
    if (m_phase == Phase::Connecting)
        return;
    char *buffer = m_engine.readBuffer();
    SessionSide::Read piece;
    piece.error = error;
    if (!error)
        piece = origin->read(buffer, EngineContext::kReadBufferBytes);
    if (piece.error) {
        onOriginFailed(piece.error);
        return;
    }
    // Over TLS, a close without close_notify ends a response only where its framing reads
    // until the close; anywhere else it may have been cut by somebody else.
    const bool isCut = piece.isTruncated && !m_response.isUntilClose() &&
                       (m_phase == Phase::StreamingBody || m_phase == Phase::AwaitingResponse);
    if (piece.isEnd && isCut) {
        onOriginFailed(asio::error::connection_reset);
        return;
    }
    if (piece.isEnd) {
        onOriginGone();
        return;
    }
    noteActivity();
    m_rows.countTunnelBytes(piece.size);
    relayResponse(buffer, piece.size);
    readOrigin();
}

// Each piece goes to the browser in the event that brings it, unchanged, as far as the
// response's framing reaches. Past its end nothing the origin sends belongs to any response: it
// is dropped, and the origin counts as closed there.
void ProxySession::relayResponse(const char *data, qsizetype size)
{
    if (size <= 0)
        return;
    if (m_phase == Phase::Sniffing)
        m_phase = Phase::Tunnel; // the origin spoke first: not TLS from the browser
    if (m_phase == Phase::Tunnel) {
        sendToBrowser(data, size);
        return;
    }
    m_rows.noteResponseBegan();
    if (!m_removeFromResponse.isEmpty()) {
        relayRewrittenResponse(data, size);
        return;
    }
    const bool wasComplete = m_response.isComplete();
    const bool wasReadingHead = m_response.isReadingHead();
    const qsizetype taken = wasComplete ? 0 : m_response.take(data, size);
    m_responseBytes += taken;
    sendToBrowser(data, taken);
    if (wasReadingHead && isFinalHead())
        m_rows.noteResponseHead(m_response.head(), m_response.head(), QList<RuleEffect>());
    if (m_response.isSwitchingProtocols()) {
        onSwitchingProtocols(data + taken, size - taken);
        return;
    }
    if (taken < size) {
        onOriginGone();
        return;
    }
    if (!wasComplete && m_response.isComplete())
        onResponseEnd();
}

// While the response list is on, each head is held until it is whole, and relayed as the list
// leaves it; the body streams as it comes, framed as before. A head that cannot be read whole is
// not relayed: the browser gets a page instead, or, once a part of the response has reached it,
// only the connection's end.
void ProxySession::relayRewrittenResponse(const char *data, qsizetype size)
{
    qsizetype offset = 0;
    while (offset < size) {
        if (m_response.isComplete()) {
            onOriginGone(); // past the end of the responses
            return;
        }
        const bool wasReadingHead = m_response.isReadingHead();
        const qsizetype taken = m_response.take(data + offset, size - offset);
        offset += taken;
        if (taken == 0) { // cannot happen while the responses go on; never loop on it
            onOriginGone();
            return;
        }
        if (m_response.isHeadRefused()) {
            refuseResponseHead();
            return;
        }
        if (!wasReadingHead) {
            m_responseBytes += taken;
            sendToBrowser(data + offset - taken, taken);
        } else if (m_response.hasHeadEnded()) {
            const HeadLines head(m_response.head());
            RewrittenResponse rewritten =
                rewriteResponseHead(head, m_removeFromResponse, m_response.isSwitchingProtocols());
            if (m_engine.records)
                m_engine.records->countHits(rewritten.effects);
            if (isFinalHead())
                m_rows.noteResponseHead(head.block(), rewritten.head.chopped(4), rewritten.effects);
            // The body that came with its head leaves with it, in one write.
            QByteArray &out = rewritten.head;
            if (!m_response.isReadingHead() && !m_response.isComplete() &&
                !m_response.isSwitchingProtocols() && offset < size) {
                const qsizetype body = m_response.take(data + offset, size - offset);
                out.append(data + offset, body);
                offset += body;
            }
            m_responseBytes += out.size();
            sendToBrowser(out.constData(), out.size());
        }
        if (m_response.isSwitchingProtocols()) {
            onSwitchingProtocols(data + offset, size - offset);
            return;
        }
        if (m_response.isComplete() && offset == size)
            onResponseEnd();
    }
}

// The head just taken is the final response's, not an interim one.
bool ProxySession::isFinalHead() const
{
    return m_response.hasHeadEnded() &&
           (m_response.statusCode() >= 200 || m_response.statusCode() == 101 ||
            m_response.statusCode() == 0);
}

void ProxySession::refuseResponseHead()
{
    if (m_responseBytes > 0) {
        closeOrigin();
        ResetProx(EndReason::ResponseCutShort);
        return;
    }
    if (m_response.isHeadTooLarge())
        sendErrorPage(kResponseHeadTooLargeNumber, responseHeadTooLargeDescription(), kBadGateway);
    else
        sendErrorPage(kBadResponseNumber, badResponseDescription(), kBadGateway);
}

// 101: the connection carries another protocol from here on, both ways, as a tunnel, when the
// request asked for that protocol; its head has been relayed, and `rest` is what came after it.
// Any other 101 is an invalid answer: nothing after its head is relayed, and the browser's
// connection ends once the head is delivered, since nothing that follows could be told apart
// from the answer to its next request.
void ProxySession::onSwitchingProtocols(const char *rest, qsizetype restSize)
{
    if (m_request.asksForUpgrade) {
        m_phase = Phase::Tunnel;
        sendToBrowser(rest, restSize);
        takeHeld();
        readBrowser();
        return;
    }
    closeOrigin();
    ResetProx(EndReason::InvalidSwitch);
}

// The response has ended by its framing, or with the origin's close where its framing reads
// until then. A request that waited for it is taken now, whatever of it has arrived; the rest
// of a head is read from the browser.
void ProxySession::onResponseEnd()
{
    endRequestRow(0);
    if (m_phase != Phase::AwaitingResponse)
        return; // the body still goes up; the exchange ends with it (onBodyEnd)
    m_phase = Phase::ReadingHead;
    takeHeld();
    endIfOver();
    readBrowser();
}

// The origin has closed its connection (or counts as closed).
void ProxySession::onOriginGone()
{
    const bool hasResponseEnded = m_response.isComplete() || m_response.isUntilClose();
    closeOrigin();
    switch (m_phase) {
    case Phase::StreamingBody:
    case Phase::AwaitingResponse:
        if (hasResponseEnded) {
            onResponseEnd();
        } else if (m_responseBytes == 0 && !m_hasAnswered && m_held.isEmpty()) {
            // Stalled: nothing was ever sent to this browser. It waits for its answer, and may
            // send its request again; a body still coming is read and dropped.
            if (m_phase == Phase::AwaitingResponse)
                m_phase = Phase::ReadingHead;
        } else {
            // Cut short of its framing: only the connection's end tells the browser so.
            ResetProx(EndReason::ResponseCutShort);
        }
        return;
    case Phase::ReadingHead:
        endIfOver();
        return;
    case Phase::Tunnel:
    case Phase::Sniffing:
        ResetProx(EndReason::TunnelClosed);
        return;
    case Phase::Connecting:
    case Phase::Handshaking:
    case Phase::Ending:
    case Phase::Closed:
        return;
    }
}

void ProxySession::sendToBrowser(const char *data, qsizetype size)
{
    if (size <= 0 || m_browser.isClosed())
        return;
    m_hasAnswered = true;
    const std::error_code error = m_browser.write(data, size);
    if (error) {
        asio::post(m_engine.io,
                   [self = shared_from_this()] { self->ResetProx(EndReason::BrowserFailed); });
        return;
    }
    if (m_browser.queued() > 0) {
        m_browser.whenDrained([self = shared_from_this()](const std::error_code &drained) {
            self->onBrowserDrained(drained);
        });
    }
}

// The browser has been sent everything: the origin may be read again, or the slot ends by the
// close rules.
void ProxySession::onBrowserDrained(const std::error_code &error)
{
    if (m_browser.isClosed())
        return;
    Q_ASSERT(m_phase != Phase::Closed);
    if (error) {
        ResetProx(EndReason::BrowserFailed);
        return;
    }
    if (m_phase == Phase::Ending) {
        ResetProx(m_endReason); // its last bytes are delivered now
        return;
    }
    if (isTunnelPhase() && !m_origin) {
        ResetProx(EndReason::TunnelClosed);
        return;
    }
    noteActivity();
    endIfOver();
    readOrigin();
}

// --- next request, or end ----------------------------------------------------------------------

// A slot ends when the origin has gone, the browser has been sent everything, and nothing of a
// next request waits. Until something has been sent to the browser, an origin that closed
// without a word leaves it waiting instead (it may send its request again).
void ProxySession::endIfOver()
{
    if (m_phase == Phase::ReadingHead && !m_origin && m_hasAnswered && !m_requestHead.hasBegun() &&
        m_held.isEmpty() && m_browser.queued() == 0)
        ResetProx(EndReason::ExchangeOver);
}

void ProxySession::closeOrigin()
{
    if (!m_origin)
        return;
    m_origin->closePromptly(m_engine.closing);
    m_origin.reset();
}

// The upstream connection of a tunnel is up: tell the browser, and pass on what it sent early
// (a TLS hello may come before the browser hears back).
void ProxySession::openTunnel()
{
    m_phase = Phase::Tunnel;
    m_isTunnelOpen = true;
    sendToBrowser(kTunnelEstablished, qsizetype(std::strlen(kTunnelEstablished)));
    takeHeld();
    readOrigin();
    readBrowser();
}

// A connect, read or write of the origin's connection failed. An origin whose response had
// ended is as good as closed: a page then would be read as the answer to the next request.
void ProxySession::onOriginFailed(const std::error_code &error)
{
    if (m_phase == Phase::ReadingHead ||
        (m_phase == Phase::StreamingBody && m_response.isComplete())) {
        onOriginGone();
        return;
    }
    const SocketErrorInfo info = socketErrorInfo(error);
    sendErrorPage(info.number, info.description, kBadGateway);
}

// The request is not served: the page goes out after everything already relayed, what the
// browser sends from now on is dropped, and the slot ends once the page has been delivered. A
// browser waiting for a tunnel gets the page as a response with tunnelStatus; on a tunnel that
// is already open a page would corrupt the stream, so the slot just ends.
void ProxySession::sendErrorPage(qint16 Number, const QString &Description,
                                 const char *tunnelStatus)
{
    if (m_rows.hasRequestRow())
        endRequestRow(Number);
    else if (!m_isTunnelOpen)
        endTunnelRow(Number);
    closeOrigin();
    if (m_phase == Phase::Tunnel || m_phase == Phase::Sniffing || m_phase == Phase::Handshaking) {
        ResetProx(EndReason::TunnelFailed);
        return;
    }
    const QByteArray page = errorPage(Number, Description);
    // A browser waiting for its tunnel, or one inside an inspected tunnel, reads a response.
    const bool needsStatusLine = m_request.isTunnel || m_isInspected;
    const QByteArray answer = needsStatusLine ? errorResponse(tunnelStatus, page) : page;
    sendToBrowser(answer.constData(), answer.size());
    ResetProx(EndReason::ErrorPageSent);
}

bool ProxySession::deliversFirst(EndReason why)
{
    switch (why) {
    case EndReason::ErrorPageSent:
    case EndReason::ResponseCutShort:
    case EndReason::InvalidSwitch:
    case EndReason::TunnelClosed:
        return true;
    case EndReason::BrowserClosed:
    case EndReason::BrowserFailed:
    case EndReason::BrowserGone:
    case EndReason::SlotTaken:
    case EndReason::DeadlinePassed:
    case EndReason::HandshakeFailed:
    case EndReason::TunnelFailed:
    case EndReason::ExchangeOver:
    case EndReason::Stopped:
        break;
    }
    return false;
}

// The one way a slot ends. Where the browser's last bytes are still queued and the reason wants
// them delivered, the slot waits in Ending (nothing the browser sends is taken) and ends when
// onBrowserDrained calls again.
void ProxySession::ResetProx(EndReason why)
{
    if (m_phase == Phase::Closed)
        return;
    if (m_phase != Phase::Ending) {
        m_endReason = why;
        m_held.clear();
        if (deliversFirst(why) && m_browser.queued() > 0) {
            m_phase = Phase::Ending;
            return;
        }
    }
    // Held alive to the end: the table's reference may be the last one.
    const std::shared_ptr<ProxySession> self = shared_from_this();
    m_phase = Phase::Closed;
    endRequestRow(0);
    endTunnelRow(0);
    m_deadline.cancel();
    closeOrigin();
    m_browser.closeLingering(m_engine.closing);
    m_table.release(*this);
}

// --- HTTPS inspection -------------------------------------------------------------------------

// A CONNECT is looked into when the run inspects HTTPS and its host is not excluded.
bool ProxySession::shouldInspect() const
{
    if (!m_engine.inspection)
        return false;
    const std::shared_ptr<const ProxySettings> settings = m_engine.settings();
    if (!settings->isInspecting)
        return false;
    const QByteArray host = QByteArray::fromStdString(m_tunnelHost);
    for (const QByteArray &pattern : settings->noInspect) {
        if (!pattern.isEmpty() && matchesAllowPattern(host, pattern))
            return false;
    }
    return true;
}

// The browser's first bytes are a TLS handshake: it is answered as the CONNECT's host, with a
// leaf the local CA signs. A host no leaf can be made for is tunnelled blind.
void ProxySession::startInspection(const char *data, qsizetype size)
{
    auto tls = std::make_unique<TlsLayer>(m_engine.inspection->browserContext(), true);
    if (!m_engine.browserLeaves.present(tls->ssl(), *m_engine.inspection, m_tunnelHost)) {
        m_phase = Phase::Tunnel;
        sendToOrigin(data, size);
        return;
    }
    m_browser.startTls(std::move(tls), data, size);
    m_phase = Phase::Handshaking;
    m_trust.handshakeBegan();
    // The handshake is bounded like a request's head.
    m_deadline.startHead();
    watchDeadlines();
    m_browser.handshake([self = shared_from_this()](const std::error_code &error) {
        self->onBrowserSecured(error);
    });
}

// A browser that turned the handshake down ends its slot quietly; one that
// does not trust the local CA is logged as such.
void ProxySession::onBrowserSecured(const std::error_code &error)
{
    if (m_browser.isClosed())
        return;
    Q_ASSERT(m_phase == Phase::Handshaking);
    if (error) {
        const bool isTlsFailure = error == std::errc::protocol_error && m_browser.tls();
        m_trust.handshakeFailed(isTlsFailure ? m_browser.tls()->failureReason() : 0,
                                isTlsFailure ? m_browser.tls()->failureText() : QString());
        if (m_trust.trust() == BrowserTrust::CertificateRefused)
            logCertificateRefused();
        ResetProx(EndReason::HandshakeFailed);
        return;
    }
    noteActivity();
    m_trust.secured();
    m_isInspected = true;
    m_request = RewrittenRequest();
    m_phase = Phase::ReadingHead;
    m_deadline.startHead();
    readBrowser();
}

// The origin's TLS session, verified against the system's trust store for the CONNECT's host.
void ProxySession::secureOrigin(const std::shared_ptr<SessionSide> &origin)
{
    m_rows.noteConnecting();
    auto tls = std::make_unique<TlsLayer>(m_engine.inspection->originContext(), false);
    if (!TlsInspection::prepareOriginSession(tls->ssl(), m_tunnelHost)) {
        const SocketErrorInfo info = originTlsFailure(tls->ssl(), QString());
        sendErrorPage(info.number, info.description, kBadGateway);
        return;
    }
    origin->startTls(std::move(tls));
    // Bounded like the browser's handshake.
    m_deadline.startHead();
    watchDeadlines();
    origin->handshake([self = shared_from_this(), origin](const std::error_code &error) {
        self->onOriginSecured(origin, error);
    });
}

void ProxySession::onOriginSecured(const std::shared_ptr<SessionSide> &origin,
                                   const std::error_code &error)
{
    if (origin->isClosed())
        return;
    Q_ASSERT(m_phase == Phase::Connecting);
    if (error) {
        const SocketErrorInfo info =
            error == std::errc::protocol_error && origin->tls()
                ? originTlsFailure(origin->tls()->ssl(), origin->tls()->failureText())
                : socketErrorInfo(error);
        sendErrorPage(info.number, info.description, kBadGateway);
        return;
    }
    noteActivity();
    m_deadline.endHead();
    sendRequestHead();
}

// --- the Requests window's rows, and the deadlines --------------------------------------------

void ProxySession::endRequestRow(int pageNumber)
{
    m_rows.endRequest(pageNumber, m_response.statusCode(), m_responseBytes);
}

void ProxySession::endTunnelRow(int pageNumber)
{
    m_rows.endTunnel(pageNumber, m_isTunnelOpen, m_trust.trust(), m_trust.detail());
}

void ProxySession::logCertificateRefused()
{
    if (m_engine.log)
        m_engine.log->writeCertificateNotTrustedEntry(m_browserAddress,
                                                      QString::fromStdString(m_tunnelHost));
}

void ProxySession::watchDeadlines()
{
    m_deadline.watch(isTunnelPhase(), [self = shared_from_this()] {
        if (self->m_phase != Phase::Closed)
            self->onDeadline();
    });
}

// A head that has not come whole in time, or a slot in which nothing moved for too long, ends
// the slot without a page: a browser that is still there opens a new connection.
void ProxySession::onDeadline()
{
    if (m_deadline.hasPassed(isTunnelPhase())) {
        ResetProx(EndReason::DeadlinePassed);
        return;
    }
    watchDeadlines();
}
