#pragma once

#include <QByteArray>
#include <QString>

struct ProxyConnection;

// Adds one chunk received from the browser to the request collected in the record. Returns
// true when the request is complete: its header block (up to CR LF CR LF, which may arrive over
// several chunks) and as many body bytes as its Content-Length announces.
bool collectChunk(ProxyConnection &record, const QByteArray &chunk);

// The value of the header named Content-Length (any letter case) at the start of a header
// line, surrounding blanks and tabs ignored; 0 when absent, negative or unreadable.
qint32 contentLengthOf(const QByteArray &header);

// The error page a browser gets when its complete request cannot be rewritten for forwarding
// (no usable request line, a Host port outside 1 to 65535, an unusable replacement rule): the
// number mirrors HTTP's "400 Bad Request".
constexpr qint16 kBadRequestNumber = 400;
QString badRequestDescription();

// A header block that has not ended after this many bytes is refused with an error page: no
// browser sends one nearly this large, and collecting it without end would let one connection
// take all memory. Bodies are not limited; their size is announced.
constexpr qsizetype kMaxHeaderBytes = 256 * 1024;
constexpr qint16 kHeaderTooLargeNumber = 431;
QString headerTooLargeDescription();
