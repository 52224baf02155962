#include "net/request_reception.h"

#include <QString>
#include <cmath>
#include <limits>

#include "log/request_log.h"
#include "net/engine_context.h"
#include "net/error_page.h"
#include "net/proxy_session.h"

namespace {

const QByteArray kEndOfHeader = QByteArrayLiteral("\r\n\r\n");
const QByteArray kLineEnd = QByteArrayLiteral("\r\n");

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isContentLengthName(const QByteArray &name)
{
    static const QByteArray wanted = QByteArrayLiteral("content-length");
    return name.size() == wanted.size() && name.toLower() == wanted;
}

// Blanks around the number are ignored and a fraction is rounded; anything that is not a
// number, is negative or does not fit a signed 32-bit integer counts as no body.
qint32 lengthValue(const QByteArray &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    const QByteArray number = text.mid(begin, end - begin);
    bool isNumber = false;
    double value = double(number.toLongLong(&isNumber));
    if (!isNumber)
        value = number.toDouble(&isNumber);
    if (!isNumber || !std::isfinite(value))
        return 0;
    value = std::nearbyint(value);
    if (value < 0 || value > double(std::numeric_limits<qint32>::max()))
        return 0;
    return qint32(value);
}

} // namespace

QString headerTooLargeDescription()
{
    return QStringLiteral("Request header too large: the header block did not end within %1 bytes")
        .arg(kMaxHeaderBytes);
}

QString badRequestDescription()
{
    return QStringLiteral("Bad request: the request line or the Host header cannot be forwarded");
}

qint32 contentLengthOf(const QByteArray &header)
{
    // Line 0 is the request line; only a header line can name the length.
    qsizetype lineStart = header.indexOf(kLineEnd);
    while (lineStart >= 0) {
        lineStart += kLineEnd.size();
        qsizetype lineEnd = header.indexOf(kLineEnd, lineStart);
        if (lineEnd < 0)
            lineEnd = header.size();
        const qsizetype colon = header.indexOf(':', lineStart);
        if (colon >= 0 && colon < lineEnd &&
            isContentLengthName(header.mid(lineStart, colon - lineStart)))
            return lengthValue(header.mid(colon + 1, lineEnd - colon - 1));
        lineStart = lineEnd < header.size() ? lineEnd : -1;
    }
    return 0;
}

bool collectChunk(ProxyConnection &record, const QByteArray &chunk)
{
    if (!record.isReceivingBody) {
        record.isReceivingBody = true;
        record.isHeaderComplete = false;
        record.strHeader.clear();
        record.strBody.clear();
        record.lngContentLength = 0;
    }
    if (record.isHeaderComplete) {
        record.strBody.append(chunk);
    } else {
        // Until the header block is whole, strBody collects everything of the request. Only
        // the newly arrived bytes (and the three before them) can complete CR LF CR LF.
        const qsizetype searchFrom = qMax<qsizetype>(0, record.strBody.size() - 3);
        record.strBody.append(chunk);
        const qsizetype headerEnd = record.strBody.indexOf(kEndOfHeader, searchFrom);
        if (headerEnd < 0)
            return false;
        record.strHeader = record.strBody.left(headerEnd);
        record.strBody.remove(0, headerEnd + kEndOfHeader.size());
        record.isHeaderComplete = true;
        record.lngContentLength = contentLengthOf(record.strHeader);
    }
    if (record.strBody.size() < record.lngContentLength)
        return false;
    record.isReceivingBody = false;
    return true;
}

// Data arrived from the browser: a request is collected until it is complete, then rewritten
// and sent on its way through a new upstream connection.
void ProxySession::Win_DataArrival()
{
    char *buffer = m_engine.readBuffer();
    const Winsock::Received piece = Win.GetData(buffer, EngineContext::kReadBufferBytes);
    if (piece.isPeerClosed || piece.error) {
        Win_Close();
        return;
    }
    if (piece.size == 0 || Connections.isRefused) {
        Win.ReceiveMore();
        return;
    }
    if (Connections.isTunnel) {
        // A tunnel carries bytes, not requests.
        passToServer(buffer, piece.size);
        return;
    }
    if (!Connections.isReceivingBody && m_engine.log)
        m_engine.log->writeRequestEntry(Win.RemoteHostIP());
    if (!collectChunk(Connections, QByteArray(buffer, piece.size))) {
        if (!Connections.isHeaderComplete && Connections.strBody.size() > kMaxHeaderBytes) {
            Connections.isRefused = true;
            Connections.strBody.clear();
            sendErrorPage(kHeaderTooLargeNumber, headerTooLargeDescription(),
                          "431 Request Header Fields Too Large");
        }
        if (!m_isReset)
            Win.ReceiveMore();
        return;
    }

    const bool isForwardable = RewriteRequest();
    // Ends whatever upstream connection the slot still has from an earlier request.
    WinSend.Close();
    if (!isForwardable) {
        // Whatever the browser sends after a refused request is dropped until the page is out.
        Connections.isRefused = true;
        sendErrorPage(kBadRequestNumber, badRequestDescription(), "400 Bad Request");
    } else {
        WinSend.Connect(Connections.strHost, quint16(Connections.intPort));
    }
    if (!m_isReset)
        Win.ReceiveMore();
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
