#pragma once

#include <QByteArray>
#include <QList>

#include "net/rules/request_rewriter.h"

class HeadLines;

// What rewriting one response head gives: the head to relay, and what the response list did.
struct RewrittenResponse {
    QByteArray head;           // the status line and header lines to relay, ending in CR LF CR LF
    QList<RuleEffect> effects; // one ResponseRemoved per line dropped, in order
};

// Drops from a response head every header line whose name equals an entry of removeEntries,
// whole and in any letter case; every other line, the status line included, is relayed as it
// came. Content-Length and Transfer-Encoding stay whatever the list says, since the body is
// framed by them, and so do Connection and Upgrade on a 101, which say what the connection
// carries next. An empty entry matches nothing.
RewrittenResponse rewriteResponseHead(const HeadLines &head, const QList<QByteArray> &removeEntries,
                                      bool isSwitchingProtocols);
