#pragma once

#include <QByteArray>

// The error page as a browser receives it, written out here byte for byte rather than taken from
// the engine, so that a change to the page shows as a failure.
namespace testsupport {

// The three fixed pieces of the error page, byte for byte.
inline const QByteArray kPagePiece1 =
    R"piece(<head><title>Error</title></head><body bgcolor=#77B8FF><table border=1 cellpadding=2 style="border-collapse: collapse" bordercolor=0 width=90% cellspacing=3 align=center><tr><td width=100%><table border=1 style="border-collapse: collapse" bordercolor=#0000FF width=100% bgcolor=#5BA9FF height=148><tr><td width=100% height=21><b><font face=Arial size=4 color=#FFFFFF>Error Number: )piece";
inline const QByteArray kPagePiece2 =
    R"piece(</font></b></td></tr><tr><td width=100% bgcolor=#AED5FF height=92><p><b><font face=Arial size=2 color=#0055B3>)piece";
inline const QByteArray kPagePiece3 =
    R"piece(</font></b></p></td></tr><tr><td width=100% bgcolor=#AED5FF height=18><b><font face=Arial size=2 color=#E6F1FF>Vesktor 1.0</font></b></td></tr></table></td></tr></table></body>)piece";

inline QByteArray expectedPage(const QByteArray &numberText, const QByteArray &description)
{
    return kPagePiece1 + numberText + kPagePiece2 + description + kPagePiece3;
}

// The page as the whole response a browser waiting for a tunnel gets, with its status line.
inline QByteArray expectedPageResponse(const QByteArray &status, const QByteArray &page)
{
    return "HTTP/1.1 " + status +
           "\r\nContent-Type: text/html\r\nContent-Length: " + QByteArray::number(page.size()) +
           "\r\nConnection: close\r\n\r\n" + page;
}

} // namespace testsupport
