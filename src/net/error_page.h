#pragma once

#include <QByteArray>
#include <QString>

class ConnectionTable;

// The HTML page a browser gets when its request cannot be taken to the origin server.
QByteArray errorPage(qint16 Number, const QString &Description);

// The page as a whole HTTP response with the given status ("502 Bad Gateway"), for a client
// that waits for a status line: a browser asking for a tunnel.
QByteArray errorResponse(const char *status, const QByteArray &page);

// Closes the upstream socket of slot Index and sends the browser the error page; the slot is
// reset once the page has been sent. A browser waiting for a tunnel gets it as a response with
// tunnelStatus; on a tunnel that is already open a page would corrupt the stream, so the slot is
// reset instead.
void sendErrorPage(ConnectionTable &table, int Index, qint16 Number, const QString &Description,
                   const char *tunnelStatus);

// The upstream socket of slot Index failed.
void WinSend_Error(ConnectionTable &table, int Index, qint16 Number, const QString &Description);
