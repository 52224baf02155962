#pragma once

#include <QByteArrayList>
#include <QList>
#include <QString>

#include "log/request_records.h"

// How the Requests window words a recorded request. Pure functions of the record.

// A kept head's lines, cut as the rewriter cuts them: the start line, then the header lines,
// without the blank line at its end.
QByteArrayList headLines(const QByteArray &head);

// "allow -N -N ~N +N resp -N" for the lines the allow list dropped, the lines removed, replaced
// (and sent) and added, and the response's lines removed, zeros left out; "-" when the rules
// changed nothing.
QString rulesSummary(const QList<RuleEffect> &effects,
                     const QList<RuleEffect> &responseEffects = QList<RuleEffect>());

// The head as the browser sent it, each line dropped or replaced followed by its mark: four
// blanks, "<- " and the rule line that did it (or why it was dropped, when no rule line did).
QString markedHeadersIn(const RequestRecord &record);

// The head as it went upstream, each line replaced or added followed by its mark.
QString markedHeadersOut(const RequestRecord &record);

// The response's head as it came from the server, each line removed followed by its mark.
QString markedHeadersResponse(const RequestRecord &record);

// The list's names for a rule list: "Allow", "Replace", "Remove", "Add", "Remove (response)".
QString ruleListName(RuleList list);

// An inspected tunnel's status when the browser did not take its certificate: "certificate
// refused", "closed before a request" or "handshake failed"; empty otherwise.
QString trustStatus(BrowserTrust trust);

// What the tunnel's third pane says of it: the status and, on the next line, the detail.
QString trustText(const RequestEnd &end);
