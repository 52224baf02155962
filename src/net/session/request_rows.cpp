#include "net/session/request_rows.h"

#include "log/request_records.h"
#include "net/http/request_head.h"
#include "net/rules/request_rewriter.h"

namespace {

qint64 millisecondsSince(std::chrono::steady_clock::time_point began)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 began)
        .count();
}

// Whole milliseconds from one phase to the next, -1 when either was not reached.
qint64 millisecondsBetween(std::chrono::steady_clock::time_point from,
                           std::chrono::steady_clock::time_point to)
{
    if (from == std::chrono::steady_clock::time_point() ||
        to == std::chrono::steady_clock::time_point() || to < from)
        return -1;
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

} // namespace

RequestRows::RequestRows(std::shared_ptr<RequestRecorder> records, const QString &browserAddress)
    : m_records(std::move(records)), m_browserAddress(browserAddress)
{
}

void RequestRows::begin(const RequestHead &head, const RewrittenRequest &request, bool isInspected,
                        const asio::ip::tcp::socket &browser)
{
    if (!m_records || !m_records->isRecordingRows())
        return;
    endRequest(0, 0, 0); // a request that never had its answer, sent again
    RequestRecord record;
    record.startedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count() -
                         millisecondsSince(m_headBegan);
    if (m_clientText.isEmpty()) {
        std::error_code error;
        const asio::ip::tcp::endpoint peer = browser.remote_endpoint(error);
        m_clientText = m_browserAddress.toLatin1();
        if (!error)
            m_clientText += ':' + QByteArray::number(peer.port());
    }
    record.client = m_clientText;
    record.method = request.method;
    record.host = request.host;
    record.port = request.port;
    record.path = request.target;
    record.isTunnel = request.isTunnel;
    record.isInspected = isInspected;
    record.headersIn = head.block().left(RequestRecord::kMaxHeadersBytes);
    record.headersOut = request.head.left(RequestRecord::kMaxHeadersBytes);
    record.effects = request.effects;
    m_connecting = m_connected = m_requestSent = m_responseBegan = Clock::time_point();
    const quint64 id = m_records->begin(std::move(record));
    if (request.isTunnel && !isInspected) {
        m_tunnelRow = id;
        m_tunnelBegan = m_headBegan;
        m_tunnelBytes = 0;
    } else {
        m_requestRow = id;
    }
}

void RequestRows::noteResponseHead(const QByteArray &asCame, const QByteArray &asRelayed,
                                   const QList<RuleEffect> &effects)
{
    if (m_requestRow == 0)
        return;
    m_responseIn = asCame.left(RequestRecord::kMaxHeadersBytes);
    m_responseOut = asRelayed.left(RequestRecord::kMaxHeadersBytes);
    m_responseEffects = effects;
}

void RequestRows::endRequest(int pageNumber, int status, qint64 bytes)
{
    if (m_requestRow == 0 || !m_records)
        return;
    const Clock::time_point now = Clock::now();
    RequestEnd end;
    end.id = m_requestRow;
    end.pageNumber = pageNumber;
    end.status = pageNumber != 0 ? 0 : status;
    end.bytes = bytes;
    end.elapsedMs = millisecondsSince(m_headBegan);
    end.connectMs = millisecondsBetween(m_connecting, m_connected);
    end.waitMs = millisecondsBetween(m_requestSent, m_responseBegan);
    end.receiveMs = millisecondsBetween(m_responseBegan, now);
    end.responseIn = std::move(m_responseIn);
    end.responseOut = std::move(m_responseOut);
    end.responseEffects = std::move(m_responseEffects);
    m_responseIn.clear();
    m_responseOut.clear();
    m_responseEffects.clear();
    m_records->end(std::move(end));
    m_requestRow = 0;
}

void RequestRows::endTunnel(int pageNumber, bool isOpen, BrowserTrust trust, const QString &detail)
{
    if (m_tunnelRow == 0 || !m_records)
        return;
    RequestEnd end;
    end.id = m_tunnelRow;
    end.pageNumber = pageNumber;
    end.status = pageNumber == 0 && isOpen ? 200 : 0;
    end.bytes = m_tunnelBytes;
    end.elapsedMs = millisecondsSince(m_tunnelBegan);
    end.trust = trust;
    end.trustDetail = detail;
    m_records->end(std::move(end));
    m_tunnelRow = 0;
}
