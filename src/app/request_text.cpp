#include "app/request_text.h"

#include <QByteArrayList>
#include <QHash>

#include "log/request_log.h"

namespace {

using Kind = RuleEffect::Kind;

const char kMark[] = "    <- ";

QByteArray markFor(const RuleEffect &effect)
{
    switch (effect.kind) {
    case Kind::NotAllowed:
        return "no allow line matches";
    case Kind::HopByHop:
        return "meant for this proxy, never forwarded";
    case Kind::NotAHeader:
        return "not a header line, never forwarded";
    case Kind::Allowed:
    case Kind::Replaced:
    case Kind::Removed:
    case Kind::Added:
    case Kind::ResponseRemoved:
        break;
    }
    return effect.rule;
}

// The head's lines, header line n followed by marks[n] when there is one.
QString marked(const QByteArray &head, const QHash<int, QByteArray> &marks)
{
    const QByteArrayList lines = headLines(head);
    QByteArray text;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        text += escapeControlBytes(lines.at(i));
        const auto mark = marks.constFind(int(i - 1));
        if (i > 0 && mark != marks.constEnd()) {
            text += kMark;
            text += escapeControlBytes(*mark);
        }
        text += '\n';
    }
    return QString::fromLatin1(text);
}

} // namespace

QByteArrayList headLines(const QByteArray &head)
{
    QByteArrayList lines = splitEntries(head);
    while (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString rulesSummary(const QList<RuleEffect> &effects, const QList<RuleEffect> &responseEffects)
{
    int notAllowed = 0;
    int removed = 0;
    int replaced = 0;
    int added = 0;
    for (const RuleEffect &effect : effects) {
        switch (effect.kind) {
        case Kind::NotAllowed:
            ++notAllowed;
            break;
        case Kind::Removed:
            ++removed;
            break;
        case Kind::Replaced:
            // A replacement that a Remove rule then dropped changed nothing that went up.
            if (effect.outLine >= 0)
                ++replaced;
            break;
        case Kind::Added:
            ++added;
            break;
        case Kind::Allowed:
        case Kind::HopByHop:
        case Kind::NotAHeader:
        case Kind::ResponseRemoved:
            break;
        }
    }
    QStringList parts;
    if (notAllowed > 0)
        parts << QStringLiteral("allow -%1").arg(notAllowed);
    if (removed > 0)
        parts << QStringLiteral("-%1").arg(removed);
    if (replaced > 0)
        parts << QStringLiteral("~%1").arg(replaced);
    if (added > 0)
        parts << QStringLiteral("+%1").arg(added);
    if (!responseEffects.isEmpty())
        parts << QStringLiteral("resp -%1").arg(responseEffects.size());
    return parts.isEmpty() ? QStringLiteral("-") : parts.join(QLatin1Char(' '));
}

QString markedHeadersIn(const RequestRecord &record)
{
    // The last effect on a line decides its fate: a line replaced and then removed is removed.
    QHash<int, QByteArray> marks;
    for (const RuleEffect &effect : record.effects) {
        const bool isDropped = effect.kind == Kind::NotAllowed || effect.kind == Kind::Removed ||
                               effect.kind == Kind::HopByHop || effect.kind == Kind::NotAHeader;
        const bool isReplaced = effect.kind == Kind::Replaced && effect.outLine >= 0;
        if (effect.inLine >= 0 && (isDropped || isReplaced))
            marks.insert(effect.inLine, markFor(effect));
    }
    return marked(record.headersIn, marks);
}

QString markedHeadersOut(const RequestRecord &record)
{
    QHash<int, QByteArray> marks;
    for (const RuleEffect &effect : record.effects) {
        if ((effect.kind == Kind::Replaced || effect.kind == Kind::Added) && effect.outLine >= 0)
            marks.insert(effect.outLine, effect.rule);
    }
    return marked(record.headersOut, marks);
}

QString markedHeadersResponse(const RequestRecord &record)
{
    QHash<int, QByteArray> marks;
    for (const RuleEffect &effect : record.responseEffects)
        marks.insert(effect.inLine, effect.rule);
    return marked(record.responseIn, marks);
}

QString ruleListName(RuleList list)
{
    switch (list) {
    case RuleList::Allow:
        return QStringLiteral("Allow");
    case RuleList::Replace:
        return QStringLiteral("Replace");
    case RuleList::Remove:
        return QStringLiteral("Remove");
    case RuleList::Add:
        return QStringLiteral("Add");
    case RuleList::RemoveResponse:
        return QStringLiteral("Remove (response)");
    }
    return QString();
}

QString trustStatus(BrowserTrust trust)
{
    switch (trust) {
    case BrowserTrust::CertificateRefused:
        return QStringLiteral("certificate refused");
    case BrowserTrust::ClosedBeforeRequest:
        return QStringLiteral("closed before a request");
    case BrowserTrust::HandshakeFailed:
        return QStringLiteral("handshake failed");
    case BrowserTrust::NotAsked:
    case BrowserTrust::Trusted:
        break;
    }
    return QString();
}

QString trustText(const RequestEnd &end)
{
    const QString status = trustStatus(end.trust);
    if (end.trust == BrowserTrust::ClosedBeforeRequest)
        return status + QStringLiteral("\nThe client completed the TLS handshake, then sent no "
                                       "request. Command-line clients that do not trust the CA "
                                       "end this way; so does a browser's unused spare "
                                       "connection.");
    if (status.isEmpty() || end.trustDetail.isEmpty())
        return status;
    return status + QLatin1Char('\n') + end.trustDetail;
}
