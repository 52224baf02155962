#pragma once

#include <QByteArray>
#include <QString>

// What the proxy itself says to a browser: the HTML page it gets when its request cannot be
// taken to the origin server, the texts on it, and the answer that opens a tunnel.

// The page, with the error's number and description.
QByteArray errorPage(qint16 Number, const QString &Description);

// The page as a whole HTTP response with the given status ("502 Bad Gateway"), for a client
// that waits for a status line: a browser asking for a tunnel.
QByteArray errorResponse(const char *status, const QByteArray &page);

// A request that cannot be forwarded: no usable request line, a Host port outside 1 to 65535, an
// unusable replacement rule, or a body whose end cannot be told safely. The number mirrors
// HTTP's "400 Bad Request".
constexpr qint16 kBadRequestNumber = 400;
QString badRequestDescription();
QString unframeableDescription();

// A header block whose CR LF CR LF has not come within this many bytes is refused: no browser
// sends one nearly this large, and collecting it without end would let one connection take all
// memory.
constexpr qsizetype kMaxHeaderBytes = 256 * 1024;
constexpr qint16 kHeaderTooLargeNumber = 431;
QString headerTooLargeDescription();

// A response head that cannot be rewritten by the response list: it did not end within
// ResponseFramer::kMaxHeadBytes, or its lines cannot be read alike by every recipient.
constexpr qint16 kResponseHeadTooLargeNumber = 10040;
QString responseHeadTooLargeDescription();
constexpr qint16 kBadResponseNumber = 502;
QString badResponseDescription();

// What a browser may send after its CONNECT request before the tunnel is open; it is not read
// further until then.
constexpr qsizetype kMaxEarlyTunnelBytes = 256 * 1024;

// The answer to a CONNECT once its upstream connection is up.
extern const char kTunnelEstablished[];
