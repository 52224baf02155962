#pragma once

#include "net/http/request_head.h"

// What makes a request head one a server must refuse with 400 (RFC 9112), so that the proxy and
// the server behind it never read the same bytes as different requests. Checked over the head as
// parseRequestHead read it.
//
// Left alone on purpose: a missing Host (the rewriter decides about that), control bytes other
// than NUL, CR and LF in a header value (RFC 9112 lets a recipient keep them; the log escapes
// them), and the meaning of the target, checked only for holding no blank or control byte.
enum class RequestHeadFault {
    None,
    // A NUL anywhere, a CR not followed by LF, or an LF not preceded by CR.
    LineEnd,
    // Not exactly "method SP target SP HTTP/d.d": the method of token characters, the target
    // without blanks or control bytes, the version as written, upper-case, nothing after it.
    RequestLine,
    // A version other than HTTP/1.0 and HTTP/1.1 (HTTP/2's preface "PRI * HTTP/2.0" among
    // them): its bytes would not mean what the proxy reads them as.
    Version,
    // A header line that begins with a blank or tab: obsolete line folding.
    ObsoleteFolding,
    // A blank or tab between a header's name and its colon.
    BlankBeforeColon,
    // A header line without a colon, or a name that is empty or holds a non-token character.
    HeaderName,
    // Transfer-Encoding in a request below HTTP/1.1, which cannot have it.
    TransferEncodingBeforeHttp11,
    // More than one Host line, in any letter case.
    DuplicateHost,
    // A Host value (blanks and tabs around it aside) that is not a host name of letters,
    // digits, '-', '_' and '.', a dotted IPv4 literal or a bracketed IPv6 literal, with an
    // optional ':' and port digits.
    HostValue,
};

// The first fault found, None for a head that may be forwarded.
RequestHeadFault requestHeadFault(const RequestHead &head);

inline bool isStrictRequestHead(const RequestHead &head)
{
    return requestHeadFault(head) == RequestHeadFault::None;
}
