#include "net/http/response_framing.h"

#include "net/http/ascii.h"
#include "net/http/framing_headers.h"

namespace {

// "HTTP/1.1 200 OK": the code of an HTTP/1.x status line, 0 when there is none. The reason
// phrase is optional, and so is the blank before it.
int statusCodeOf(QByteArrayView line)
{
    if (line.size() < 12 || !line.startsWith("HTTP/1.") || !isAsciiDigit(line[7]) ||
        line[8] != ' ' || (line.size() > 12 && line[12] != ' '))
        return 0;
    int code = 0;
    for (qsizetype i = 9; i < 12; ++i) {
        if (!isAsciiDigit(line[i]))
            return 0;
        code = code * 10 + (line[i] - '0');
    }
    return code >= 100 && code <= 599 ? code : 0;
}

// Rules 3 to 5, for a final response that may have a body.
BodyFraming bodyFramingOf(const HeadLines &head)
{
    const FramingHeaders headers = readFramingHeaders(head);
    BodyFraming framing;
    framing.kind = BodyFraming::UntilClose;
    if (headers.isMalformed)
        return framing;
    if (headers.transferEncoding == FramingHeaders::EndsInChunked &&
        !head.startLine().startsWith("HTTP/1.0"))
        framing.kind = BodyFraming::Chunked;
    if (headers.transferEncoding == FramingHeaders::NoTransferEncoding &&
        headers.isContentLengthValid) {
        framing.kind = BodyFraming::Length;
        framing.length = headers.contentLength;
    }
    return framing;
}

} // namespace

void ResponseFramer::start(bool isHeadRequest, bool holdsHeads)
{
    m_phase = Phase::Head;
    m_isHeadRequest = isHeadRequest;
    m_holdsHeads = holdsHeads;
    m_hasHeadEnded = false;
    m_isSwitchingProtocols = false;
    m_statusCode = 0;
    m_head.clear();
    m_body.start(BodyFraming());
}

qsizetype ResponseFramer::take(const char *data, qsizetype size)
{
    qsizetype taken = 0;
    m_hasHeadEnded = false;
    while (taken < size) {
        switch (m_phase) {
        case Phase::Head:
            // An interim head is kept until the next one begins.
            if (m_head.state() == MessageHead::Complete)
                m_head.clear();
            taken += m_head.take(data + taken, size - taken);
            if (m_head.state() == MessageHead::TooLarge ||
                m_head.state() == MessageHead::Malformed) {
                m_phase = m_holdsHeads ? Phase::Refused : Phase::UntilClose;
            } else if (m_head.state() == MessageHead::Complete) {
                frameHead();
                m_hasHeadEnded = true;
                if (m_holdsHeads)
                    return taken;
            }
            break;
        case Phase::Body:
            taken += m_body.take(data + taken, size - taken);
            if (m_body.isInvalid())
                m_phase = Phase::UntilClose;
            else if (m_body.isComplete())
                m_phase = Phase::Complete;
            break;
        case Phase::UntilClose:
            return size;
        case Phase::Complete:
        case Phase::Refused:
            return taken;
        }
    }
    return taken;
}

const QByteArray &ResponseFramer::head() const
{
    static const QByteArray none;
    return m_head.state() == MessageHead::Complete ? m_head.block() : none;
}

void ResponseFramer::frameHead()
{
    const HeadLines head(m_head.block());
    m_statusCode = statusCodeOf(head.startLine());
    if (m_statusCode == 0) {
        m_phase = Phase::UntilClose;
    } else if (m_statusCode == 101) {
        m_isSwitchingProtocols = true;
        m_phase = Phase::Complete;
    } else if (m_statusCode < 200) {
        // interim: another head follows
    } else if (m_isHeadRequest || m_statusCode == 204 || m_statusCode == 304) {
        m_phase = Phase::Complete;
    } else {
        m_body.start(bodyFramingOf(head));
        m_phase = m_body.isComplete()     ? Phase::Complete
                  : m_body.isUntilClose() ? Phase::UntilClose
                                          : Phase::Body;
    }
}
