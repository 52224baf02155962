#pragma once

#include <QByteArray>
#include <QString>

// The HTML page a browser gets when its request cannot be taken to the origin server.
QByteArray errorPage(qint16 Number, const QString &Description);

// The page as a whole HTTP response with the given status ("502 Bad Gateway"), for a client
// that waits for a status line: a browser asking for a tunnel.
QByteArray errorResponse(const char *status, const QByteArray &page);
