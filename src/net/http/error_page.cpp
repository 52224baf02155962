#include "net/http/error_page.h"

namespace {

const char kPagePiece1[] =
    "<head><title>Error</title></head><body bgcolor=#77B8FF><table border=1 cellpadding=2 "
    "style=\"border-collapse: collapse\" bordercolor=0 width=90% cellspacing=3 "
    "align=center><tr><td width=100%><table border=1 style=\"border-collapse: collapse\" "
    "bordercolor=#0000FF width=100% bgcolor=#5BA9FF height=148><tr><td width=100% "
    "height=21><b><font face=Arial size=4 color=#FFFFFF>Error Number: ";
const char kPagePiece2[] = "</font></b></td></tr><tr><td width=100% bgcolor=#AED5FF "
                           "height=92><p><b><font face=Arial size=2 color=#0055B3>";
const char kPagePiece3[] =
    "</font></b></p></td></tr><tr><td width=100% bgcolor=#AED5FF height=18><b><font "
    "face=Arial size=2 color=#E6F1FF>Vesktor 1.0</font></b></td></tr></table></td></tr></"
    "table></body>";

} // namespace

QByteArray errorPage(qint16 Number, const QString &Description)
{
    return QByteArray(kPagePiece1) + QByteArray::number(Number) + kPagePiece2 +
           Description.toLatin1() + kPagePiece3;
}

QByteArray errorResponse(const char *status, const QByteArray &page)
{
    return QByteArray("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(page.size()) +
           "\r\nConnection: close\r\n\r\n" + page;
}

QString headerTooLargeDescription()
{
    return QStringLiteral("Request header too large: the header block did not end within %1 bytes")
        .arg(kMaxHeaderBytes);
}

QString badRequestDescription()
{
    return QStringLiteral("Bad request: the request line or the Host header cannot be forwarded");
}

QString unframeableDescription()
{
    return QStringLiteral("Bad request: where the request's body ends cannot be told safely");
}

QString responseHeadTooLargeDescription()
{
    return QStringLiteral("Message too long: the server's response head is too large");
}

QString badResponseDescription()
{
    return QStringLiteral("Bad gateway: the server's response head is malformed");
}

const char kTunnelEstablished[] = "HTTP/1.1 200 Connection established\r\n\r\n";
