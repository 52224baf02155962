#pragma once

#include <QString>
#include <QtGlobal>

// Requests are taken by ProxySession (request_reception.cpp), one after the other on a browser's
// connection, framed as HTTP/1.1 frames them (net/http_framing.h): each is rewritten and sent
// upstream as soon as its header block is complete, and its body follows as it arrives.

// The error page a browser gets when its request cannot be forwarded: no usable request line, a
// Host port outside 1 to 65535, an unusable replacement rule, or a body whose end cannot be told
// safely. The number mirrors HTTP's "400 Bad Request".
constexpr qint16 kBadRequestNumber = 400;
QString badRequestDescription();
QString unframeableDescription();

// A header block whose CR LF CR LF has not come within this many bytes is refused with an error
// page: no browser sends one nearly this large, and collecting it without end would let one
// connection take all memory.
constexpr qsizetype kMaxHeaderBytes = 256 * 1024;
constexpr qint16 kHeaderTooLargeNumber = 431;
QString headerTooLargeDescription();

// What a browser may send after its CONNECT request before the tunnel is open; it is not read
// further until then.
constexpr qsizetype kMaxEarlyTunnelBytes = 256 * 1024;
