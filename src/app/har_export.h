#pragma once

#include <QByteArray>
#include <QString>
#include <vector>

#include "log/request_records.h"

// One row of the Requests window as HAR sees it: its record, and its end once it has one.
struct HarRow {
    const RequestRecord *record = nullptr;
    const RequestEnd *end = nullptr; // null while the request is still under way
};

// The rows as a HAR 1.2 log, UTF-8 JSON. A pure function of the rows.
//
// Each request row gives an entry: the request as it went upstream (the absolute URL, "https://"
// inside an inspected tunnel) and the response as it was relayed to the browser, with timings
// from the engine, -1 where not measured. Custom fields keep what only this proxy knows:
// "_browserHeaders" (the head as the browser sent it), "_serverHeaders" (the response's head as
// it came) and "_ruleEffects" (what each rule line did). An error page gives an entry whose
// response is the page ("_errorPage": its number). Tunnels are left out: no request crosses them
// that the proxy could read.
QByteArray harOf(const std::vector<HarRow> &rows);

// Writes the HAR to path whole or not at all (a temporary file renamed over it); false when it
// could not be written.
bool saveHar(const QString &path, const QByteArray &har);
