#include "net/error_page.h"

#include "net/proxy_session.h"

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

// The upstream connection is closed and the browser sent the page; the slot is reset once the
// page has been sent (Win_SendComplete finds the upstream socket closed). A browser waiting for a
// tunnel gets it as a response with tunnelStatus; on a tunnel that is already open a page would
// corrupt the stream, so the slot is reset instead.
void ProxySession::sendErrorPage(qint16 Number, const QString &Description,
                                 const char *tunnelStatus)
{
    WinSend.Close();
    Connections.isSendComplete = false;
    if (Win.State() != Winsock::sckConnected || Connections.isTunnelOpen) {
        // Nobody is left to read the page, or it would land inside a tunnelled stream; without
        // the reset the slot would wait for a send-complete report that never comes.
        ResetProx();
        return;
    }
    const QByteArray page = errorPage(Number, Description);
    Win.SendData(Connections.isTunnel ? errorResponse(tunnelStatus, page) : page);
}

void ProxySession::WinSend_Error(qint16 Number, const QString &Description)
{
    sendErrorPage(Number, Description, "502 Bad Gateway");
}
