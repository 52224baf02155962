#include "net/error_page.h"

#include "net/connection_table.h"

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

void sendErrorPage(ConnectionTable &table, int Index, qint16 Number, const QString &Description,
                   const char *tunnelStatus)
{
    if (Winsock *upstream = table.WinSend(Index))
        upstream->Close();
    ProxyConnection &record = table.record(Index);
    record.isSendComplete = false;
    Winsock *client = table.Win(Index);
    if (!client || client->State() != Winsock::sckConnected || record.isTunnelOpen) {
        // Nobody is left to read the page, or it would land inside a tunnelled stream; without
        // the reset the slot would wait for a send-complete report that never comes.
        table.ResetProx(Index, false);
        return;
    }
    const QByteArray page = errorPage(Number, Description);
    client->SendData(record.isTunnel ? errorResponse(tunnelStatus, page) : page);
}

void WinSend_Error(ConnectionTable &table, int Index, qint16 Number, const QString &Description)
{
    sendErrorPage(table, Index, Number, Description, "502 Bad Gateway");
}
