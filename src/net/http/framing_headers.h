#pragma once

#include <QtGlobal>

#include "net/http/head_lines.h"

// What a message head (start line + header lines, without the final CR LF CR LF) says about
// the length of its body. Requests and responses read it alike and then judge it differently: a
// request that is unclear is refused, a response that is unclear is read until the server closes.
struct FramingHeaders {
    // A bare CR or LF inside a line, or a Content-Length or Transfer-Encoding written with a
    // blank before its colon or folded onto a continuation line. Other parsers split lines and
    // names of this kind differently, so the message's end would be in doubt.
    bool isMalformed = false;

    bool hasContentLength = false;
    // Every Content-Length value is a plain decimal number up to 2^63-1 (no sign, fraction or
    // empty list element) and all values are equal; "5, 5" and two lines saying 5 are one 5.
    bool isContentLengthValid = false;
    quint64 contentLength = 0;

    enum Coding {
        NoTransferEncoding,
        // The codings of all Transfer-Encoding lines, in order, end in "chunked" and name it once.
        EndsInChunked,
        // Anything else, empty or malformed list elements included.
        OtherCoding,
    };
    Coding transferEncoding = NoTransferEncoding;
};

// Reads the framing header fields of a head's lines. Header names compare without regard to
// letter case; blanks and tabs around values are ignored.
FramingHeaders readFramingHeaders(const HeadLines &head);
