#pragma once

#include <QByteArray>

#include "net/http/chunked_body.h"

struct RequestHead;

// How a message's body is delimited (HTTP/1.1 message body length).
struct BodyFraming {
    enum Kind { None, Length, Chunked, UntilClose };
    Kind kind = None;
    quint64 length = 0; // Kind::Length only
};

// Reads how the body of a request is delimited from its head. False when the request cannot be
// framed safely, so that it must be refused (400) rather than forwarded: the proxy and the origin
// could then disagree on where the body ends, and the rest would reach the origin as a request the
// proxy never saw (request smuggling). That is the case for
// - Content-Length values that differ, in one list ("5, 6") or on several lines; identical
//   values count as one, as HTTP allows;
// - a Content-Length that is not a plain decimal number (sign, fraction, empty, empty list
//   element) or is above 2^63-1;
// - both Content-Length and Transfer-Encoding: HTTP lets a sender that does this be refused;
// - a Transfer-Encoding whose codings (several lines combine in order) do not end in "chunked",
//   name "chunked" twice or hold an empty or malformed element: a request body has no other end;
// - Transfer-Encoding in an HTTP/1.0 request, whose recipients may ignore it;
// - a framing header with a blank before its colon or folded onto a continuation line, and a
//   bare CR or LF anywhere in the block: other parsers split such lines and names differently.
// Without either header the request has no body (None). Never returns UntilClose.
bool requestBodyFraming(const RequestHead &head, BodyFraming &framing);

// Follows a body through any split of its bytes without changing them (the proxy forwards the
// bytes as they came): how many of the bytes fed belong to it, chunk framing included, when it
// has ended, and whether its chunked framing is broken.
class BodyFramer {
public:
    // None: complete at once.
    void start(const BodyFraming &framing);
    // Never takes a byte beyond the body's end.
    qsizetype take(const char *data, qsizetype size);
    bool isComplete() const;
    // Chunked syntax broken; takes nothing more once invalid.
    bool isInvalid() const { return m_kind == BodyFraming::Chunked && m_chunked.isInvalid(); }
    bool isUntilClose() const { return m_kind == BodyFraming::UntilClose; }

private:
    BodyFraming::Kind m_kind = BodyFraming::None;
    quint64 m_lengthLeft = 0;
    ChunkedBody m_chunked;
};
