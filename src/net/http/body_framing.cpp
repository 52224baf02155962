#include "net/http/body_framing.h"

#include "net/http/request_head.h"

bool requestBodyFraming(const RequestHead &head, BodyFraming &framing)
{
    framing = BodyFraming();
    const FramingHeaders &headers = head.framing;
    if (headers.isMalformed)
        return false;
    if (headers.transferEncoding != FramingHeaders::NoTransferEncoding) {
        if (headers.hasContentLength || headers.transferEncoding != FramingHeaders::EndsInChunked ||
            head.lines.startLine().endsWith(" HTTP/1.0"))
            return false;
        framing.kind = BodyFraming::Chunked;
    } else if (headers.hasContentLength) {
        if (!headers.isContentLengthValid)
            return false;
        framing.kind = BodyFraming::Length;
        framing.length = headers.contentLength;
    }
    return true;
}

void BodyFramer::start(const BodyFraming &framing)
{
    m_kind = framing.kind;
    m_lengthLeft = framing.kind == BodyFraming::Length ? framing.length : 0;
    m_chunked.restart();
}

qsizetype BodyFramer::take(const char *data, qsizetype size)
{
    switch (m_kind) {
    case BodyFraming::None:
        return 0;
    case BodyFraming::Length: {
        const qsizetype taken = qsizetype(qMin(m_lengthLeft, quint64(size)));
        m_lengthLeft -= quint64(taken);
        return taken;
    }
    case BodyFraming::Chunked:
        return m_chunked.take(data, size);
    case BodyFraming::UntilClose:
        break;
    }
    return size;
}

bool BodyFramer::isComplete() const
{
    switch (m_kind) {
    case BodyFraming::None:
        return true;
    case BodyFraming::Length:
        return m_lengthLeft == 0;
    case BodyFraming::Chunked:
        return m_chunked.isComplete();
    case BodyFraming::UntilClose:
        break;
    }
    return false;
}
