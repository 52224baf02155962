#include "app/har_export.h"

#include <QByteArrayList>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimeZone>
#include <QUrl>

#include "app/request_text.h"
#include "net/http/ascii.h"

namespace {

using Kind = RuleEffect::Kind;

QString latin1(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.data(), bytes.size());
}

// The header lines as HAR's name and value pairs; a line without a colon has none.
QJsonArray headersOf(const QByteArrayList &lines)
{
    QJsonArray headers;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines.at(i);
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            continue;
        headers.append(QJsonObject{
            {QStringLiteral("name"), latin1(trimBlanksAndTabs(QByteArrayView(line).first(colon)))},
            {QStringLiteral("value"),
             latin1(trimBlanksAndTabs(QByteArrayView(line).sliced(colon + 1)))}});
    }
    return headers;
}

// "HTTP/1.1" from "GET / HTTP/1.1", or from "HTTP/1.1 200 OK".
QString versionOf(const QByteArrayList &lines, bool isStatusLine)
{
    if (lines.isEmpty())
        return QStringLiteral("HTTP/1.1");
    const QByteArrayList parts = lines.first().split(' ');
    return latin1(isStatusLine ? parts.first() : parts.last());
}

QString urlOf(const RequestRecord &record)
{
    const bool isHttps = record.isInspected;
    QByteArray url = isHttps ? "https://" : "http://";
    url += record.host;
    if (record.port != (isHttps ? 443 : 80))
        url += ':' + QByteArray::number(record.port);
    if (!record.path.startsWith('/'))
        url += '/';
    url += record.path;
    return latin1(url);
}

QJsonArray queryStringOf(const QByteArray &path)
{
    QJsonArray query;
    const qsizetype mark = path.indexOf('?');
    if (mark < 0)
        return query;
    QByteArray rest = path.mid(mark + 1);
    const qsizetype fragment = rest.indexOf('#');
    if (fragment >= 0)
        rest.truncate(fragment);
    for (const QByteArray &pair : rest.split('&')) {
        if (pair.isEmpty())
            continue;
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = equals < 0 ? pair : pair.left(equals);
        const QByteArray value = equals < 0 ? QByteArray() : pair.mid(equals + 1);
        query.append(QJsonObject{{QStringLiteral("name"), QUrl::fromPercentEncoding(name)},
                                 {QStringLiteral("value"), QUrl::fromPercentEncoding(value)}});
    }
    return query;
}

QString actionOf(Kind kind)
{
    switch (kind) {
    case Kind::Allowed:
        return QStringLiteral("allowed");
    case Kind::NotAllowed:
        return QStringLiteral("not allowed");
    case Kind::Replaced:
        return QStringLiteral("replaced");
    case Kind::Removed:
    case Kind::ResponseRemoved:
        return QStringLiteral("removed");
    case Kind::Added:
        return QStringLiteral("added");
    case Kind::HopByHop:
        return QStringLiteral("meant for this proxy");
    case Kind::NotAHeader:
        return QStringLiteral("not a header line");
    }
    return QString();
}

// Each effect with the header line it acted on: the line as it came, or the line added.
void appendEffects(QJsonArray &effects, const QList<RuleEffect> &list, const QByteArrayList &in,
                   const QByteArrayList &out)
{
    for (const RuleEffect &effect : list) {
        RuleList ruleList;
        const bool hasList = effect.ruleList(ruleList);
        QByteArray header;
        if (effect.inLine >= 0 && effect.inLine + 1 < in.size())
            header = in.at(effect.inLine + 1);
        else if (effect.outLine >= 0 && effect.outLine + 1 < out.size())
            header = out.at(effect.outLine + 1);
        effects.append(
            QJsonObject{{QStringLiteral("list"), hasList ? ruleListName(ruleList) : QString()},
                        {QStringLiteral("rule"), latin1(effect.rule)},
                        {QStringLiteral("action"), actionOf(effect.kind)},
                        {QStringLiteral("header"), latin1(header)}});
    }
}

// The bytes of a head as it crossed, its CR LF CR LF included; -1 when it was not kept whole.
qint64 headSizeOf(const QByteArray &head)
{
    return head.isEmpty() || head.size() >= RequestRecord::kMaxHeadersBytes ? -1 : head.size() + 4;
}

// The status an error page stands for: the one it carries inside a tunnel.
int statusOfPage(int pageNumber)
{
    return pageNumber == 400 || pageNumber == 431 ? pageNumber : 502;
}

QJsonObject entryOf(const RequestRecord &record, const RequestEnd *end)
{
    const QByteArrayList browserLines = headLines(record.headersIn);
    const QByteArrayList sentLines = headLines(record.headersOut);
    const QByteArrayList serverLines = headLines(record.responseIn);
    const QByteArrayList relayedLines = headLines(record.responseOut);

    QJsonObject request{
        {QStringLiteral("method"), latin1(record.method)},
        {QStringLiteral("url"), urlOf(record)},
        {QStringLiteral("httpVersion"), versionOf(sentLines, false)},
        {QStringLiteral("cookies"), QJsonArray()},
        {QStringLiteral("headers"), headersOf(sentLines)},
        {QStringLiteral("queryString"), queryStringOf(record.path)},
        {QStringLiteral("headersSize"), headSizeOf(record.headersOut)},
        {QStringLiteral("bodySize"), -1},
    };

    const int pageNumber = end ? end->pageNumber : 0;
    int status = end ? end->status : 0;
    QString statusText;
    if (pageNumber != 0) {
        status = statusOfPage(pageNumber);
        statusText = status == 400   ? QStringLiteral("Bad Request")
                     : status == 431 ? QStringLiteral("Request Header Fields Too Large")
                                     : QStringLiteral("Bad Gateway");
    } else if (!relayedLines.isEmpty()) {
        // "HTTP/1.1 200 OK": the reason phrase is all after the second blank.
        const QByteArray &line = relayedLines.first();
        const qsizetype first = line.indexOf(' ');
        const qsizetype second = first < 0 ? -1 : line.indexOf(' ', first + 1);
        if (second >= 0)
            statusText = latin1(QByteArrayView(line).sliced(second + 1));
    }
    QString mimeType = pageNumber != 0 ? QStringLiteral("text/html") : QString();
    for (const QJsonValue &header : headersOf(relayedLines)) {
        if (header[QStringLiteral("name")].toString().compare(QStringLiteral("Content-Type"),
                                                              Qt::CaseInsensitive) == 0)
            mimeType = header[QStringLiteral("value")].toString();
    }
    // What was relayed after the final head: interim heads before it are few and small.
    const qint64 headersSize = pageNumber == 0 ? headSizeOf(record.responseOut) : -1;
    const qint64 bodySize =
        end && headersSize >= 0 && end->bytes >= headersSize ? end->bytes - headersSize : -1;
    QJsonObject response{
        {QStringLiteral("status"), status},
        {QStringLiteral("statusText"), statusText},
        {QStringLiteral("httpVersion"), versionOf(relayedLines, true)},
        {QStringLiteral("cookies"), QJsonArray()},
        {QStringLiteral("headers"), headersOf(relayedLines)},
        {QStringLiteral("content"), QJsonObject{{QStringLiteral("size"), qMax<qint64>(bodySize, 0)},
                                                {QStringLiteral("mimeType"), mimeType}}},
        {QStringLiteral("redirectURL"), QString()},
        {QStringLiteral("headersSize"), headersSize},
        {QStringLiteral("bodySize"), bodySize},
    };
    if (pageNumber != 0)
        response.insert(QStringLiteral("_errorPage"), pageNumber);

    QJsonArray effects;
    appendEffects(effects, record.effects, browserLines, sentLines);
    appendEffects(effects, record.responseEffects, serverLines, relayedLines);

    QJsonObject entry{
        {QStringLiteral("startedDateTime"),
         QDateTime::fromMSecsSinceEpoch(record.startedAtMs, QTimeZone::utc())
             .toString(Qt::ISODateWithMs)},
        {QStringLiteral("time"), end ? end->elapsedMs : 0},
        {QStringLiteral("request"), request},
        {QStringLiteral("response"), response},
        {QStringLiteral("cache"), QJsonObject()},
        {QStringLiteral("timings"),
         QJsonObject{{QStringLiteral("blocked"), -1},
                     {QStringLiteral("dns"), -1},
                     {QStringLiteral("connect"), end ? end->connectMs : -1},
                     {QStringLiteral("ssl"), -1},
                     {QStringLiteral("send"), -1},
                     {QStringLiteral("wait"), end ? end->waitMs : -1},
                     {QStringLiteral("receive"), end ? end->receiveMs : -1}}},
        {QStringLiteral("_browserHeaders"), latin1(record.headersIn)},
        {QStringLiteral("_serverHeaders"), latin1(record.responseIn)},
        {QStringLiteral("_ruleEffects"), effects},
    };
    if (record.isHeadTextDropped)
        entry.insert(QStringLiteral("_headersDropped"), true);
    return entry;
}

} // namespace

QByteArray harOf(const std::vector<HarRow> &rows)
{
    QJsonArray entries;
    for (const HarRow &row : rows) {
        if (!row.record->isTunnel)
            entries.append(entryOf(*row.record, row.end));
    }
    const QJsonObject log{
        {QStringLiteral("version"), QStringLiteral("1.2")},
        {QStringLiteral("creator"),
         QJsonObject{{QStringLiteral("name"), QStringLiteral("Vesktor")},
                     {QStringLiteral("version"), QStringLiteral("1.0")}}},
        {QStringLiteral("entries"), entries},
    };
    return QJsonDocument(QJsonObject{{QStringLiteral("log"), log}}).toJson(QJsonDocument::Indented);
}

bool saveHar(const QString &path, const QByteArray &har)
{
    QSaveFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(har) == har.size() && file.commit();
}
