#include "net/rules/request_rewriter.h"

#include "net/http/ascii.h"
#include "net/http/authority.h"
#include "net/http/request_head.h"
#include "net/rules/allow_pattern.h"

namespace {

const QByteArray kLineEnd("\r\n");
const QByteArray kHttpScheme("http://");
const QByteArray kHttpsScheme("https://");
const QByteArray kConnectMethod("CONNECT");
constexpr int kDefaultPort = 80;
constexpr int kHighestPort = 65535;

// Name and value of "Name: value". The byte right after the colon is taken to be the separating
// blank and dropped whatever it is; nothing is trimmed. A colon at the very end gives an empty
// value. False when there is no colon at all.
bool splitNameValue(const QByteArray &line, QByteArray &name, QByteArray &value)
{
    const qsizetype colon = line.indexOf(':');
    if (colon < 0)
        return false;
    name = line.left(colon);
    value = colon + 2 < line.size() ? line.mid(colon + 2) : QByteArray();
    return true;
}

// The headers that say where a request's body ends, and whether it waits for a "100 Continue".
// The proxy frames the body it streams by them, so the origin must see them exactly as the
// browser sent them: a rule that dropped or changed one would make the two disagree about where
// the body ends (a way to smuggle a request past the rules), or leave a browser waiting for a
// "100 Continue" that never comes.
bool isFramingHeader(const QByteArray &name)
{
    return equalsIgnoringAsciiCase(name, "Content-Length") ||
           equalsIgnoringAsciiCase(name, "Transfer-Encoding") ||
           equalsIgnoringAsciiCase(name, "Expect");
}

// An added line that would give the request a second say about its body's length.
bool isBodyLengthLine(const QByteArray &entry)
{
    const qsizetype colon = entry.indexOf(':');
    const QByteArrayView name =
        trimBlanksAndTabs(colon < 0 ? QByteArrayView(entry) : QByteArrayView(entry).first(colon));
    return equalsIgnoringAsciiCase(name, "Content-Length") ||
           equalsIgnoringAsciiCase(name, "Transfer-Encoding");
}

// Plain decimal digits with optional blanks or tabs around them, 1 to 65535.
bool parsePort(QByteArrayView text, int &port)
{
    const QByteArrayView digits = trimBlanksAndTabs(text);
    if (digits.isEmpty())
        return false;
    int value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        // Stop before the sum can overflow; long runs of leading zeros stay harmless.
        if (value > kHighestPort)
            return false;
    }
    if (value < 1)
        return false;
    port = value;
    return true;
}

// The host and port a Host value names; no port at all means 80. host is set before the port is
// checked, so on failure it already holds the host part.
bool takeHostAndPort(QByteArrayView hostValue, QByteArray &host, int &port)
{
    Authority authority;
    const bool isSplit = splitAuthority(hostValue, authority);
    host = authority.host.toByteArray();
    if (!isSplit)
        return false;
    if (!authority.hasPort) {
        port = kDefaultPort;
        return true;
    }
    return parsePort(authority.portText, port);
}

// The target as the origin server expects it. An absolute "http://" or "https://" target (the
// latter inside an inspected tunnel) loses its scheme and authority and keeps its path and
// query as they are, so a host name or URL that appears inside the path or query survives. A
// target naming only the host becomes "/".
QByteArray originFormTarget(const QByteArray &target, const QByteArray &hostValue)
{
    const qsizetype schemeSize = target.startsWith(kHttpScheme)    ? kHttpScheme.size()
                                 : target.startsWith(kHttpsScheme) ? kHttpsScheme.size()
                                                                   : 0;
    if (schemeSize > 0) {
        qsizetype pathStart = target.size();
        for (qsizetype i = schemeSize; i < target.size(); ++i) {
            if (target.at(i) == '/' || target.at(i) == '?') {
                pathStart = i;
                break;
            }
        }
        QByteArray pathAndQuery = target.mid(pathStart);
        // "http://host?q" has an empty path, which HTTP sends as "/".
        if (!pathAndQuery.startsWith('/'))
            pathAndQuery.prepend('/');
        return pathAndQuery;
    }
    if (!hostValue.isEmpty() && !target.startsWith('/') && target == hostValue)
        return QByteArray("/");
    return target;
}

// Runs one header line (number inLine) through the allow, change and remove stages and the fixed
// "Proxy-Connection" rule, noting in effects what acted on it. Gives the line to forward (empty
// to drop it) in candidate; false when a replacement entry that had to be examined is unusable.
bool applyHeaderRules(const QByteArray &line, const QByteArray &name, int inLine,
                      const HeaderRules &rules, QByteArray &candidate, QList<RuleEffect> &effects)
{
    using Kind = RuleEffect::Kind;
    candidate.clear();
    if (rules.allowAll) {
        candidate = line;
    } else {
        for (const QByteArray &pattern : rules.allow) {
            if (matchesAllowPattern(line, pattern)) {
                candidate = line;
                effects.append({Kind::Allowed, inLine, -1, pattern});
                break;
            }
        }
        if (candidate.isEmpty())
            effects.append({Kind::NotAllowed, inLine, -1, QByteArray()});
    }

    if (rules.change && !candidate.isEmpty()) {
        for (const QByteArray &entry : rules.changeEntries) {
            if (entry.isEmpty())
                continue;
            QByteArray entryName;
            QByteArray entryValue;
            if (!splitNameValue(entry, entryName, entryValue))
                return false;
            if (equalsIgnoringAsciiCase(entryName, name)) {
                candidate = entryName + ": " + entryValue;
                effects.append({Kind::Replaced, inLine, -1, entry});
                break;
            }
        }
    }

    if (rules.remove && !candidate.isEmpty()) {
        for (const QByteArray &entry : rules.removeEntries) {
            if (!entry.isEmpty() && equalsIgnoringAsciiCase(entry, name)) {
                candidate.clear();
                effects.append({Kind::Removed, inLine, -1, entry});
                break;
            }
        }
    }

    // Hop-by-hop to this proxy; never passed on.
    if (name == "Proxy-Connection" && !candidate.isEmpty()) {
        candidate.clear();
        effects.append({Kind::HopByHop, inLine, -1, QByteArray()});
    }
    return true;
}

// A CONNECT request asks for a tunnel to "host:port" (an IPv6 literal in brackets); the port is
// required. The tunnel is opaque, so no header rule applies and nothing is sent upstream; the
// header lines are still logged.
bool takeTunnelTarget(RewrittenRequest &result, const RequestHead &head,
                      const HeaderLogSink &logHeader)
{
    result.isTunnel = true;
    if (logHeader) {
        for (const HeaderLine &line : head.lines.headers())
            logHeader(line.text.toByteArray());
    }
    // Three parts with one blank between each.
    if (!head.hasThreeParts || head.rawTarget.contains(' '))
        return false;
    const QByteArray target = head.rawTarget.toByteArray();
    // No host name or address holds control bytes; such a target is malformed, not unreachable.
    for (const char byte : target) {
        if (static_cast<unsigned char>(byte) < ' ' || byte == '\x7f')
            return false;
    }
    QByteArray portText;
    if (target.startsWith('[')) {
        const qsizetype close = target.indexOf("]:");
        if (close < 2)
            return false;
        result.host = target.left(close + 1);
        portText = target.mid(close + 2);
    } else {
        const qsizetype colon = target.indexOf(':');
        if (colon < 1 || target.indexOf(':', colon + 1) >= 0)
            return false;
        result.host = target.left(colon);
        portText = target.mid(colon + 1);
    }
    result.target = target;
    int port = 0;
    if (portText.isEmpty() || portText.contains(' ') || portText.contains('\t') ||
        !parsePort(portText, port))
        return false;
    result.port = quint16(port);
    return true;
}

// Whether the header lines as they go upstream carry an Upgrade header and name "upgrade" in a
// Connection header: only then may a 101 answer turn the connection into a tunnel.
class UpgradeAsk {
public:
    void noteSent(QByteArrayView line)
    {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0)
            return;
        const QByteArrayView name = line.first(colon);
        if (equalsIgnoringAsciiCase(name, "Upgrade")) {
            m_hasUpgrade = true;
        } else if (equalsIgnoringAsciiCase(name, "Connection")) {
            for (const QByteArray &option :
                 trimBlanksAndTabs(line.sliced(colon + 1)).toByteArray().split(',')) {
                if (equalsIgnoringAsciiCase(trimBlanksAndTabs(option), "upgrade"))
                    m_connectionNamesUpgrade = true;
            }
        }
    }
    bool isAsked() const { return m_hasUpgrade && m_connectionNamesUpgrade; }

private:
    bool m_hasUpgrade = false;
    bool m_connectionNamesUpgrade = false;
};

} // namespace

bool RuleEffect::ruleList(RuleList &list) const
{
    switch (kind) {
    case Kind::Allowed:
        list = RuleList::Allow;
        return true;
    case Kind::Replaced:
        list = RuleList::Replace;
        return true;
    case Kind::Removed:
        list = RuleList::Remove;
        return true;
    case Kind::Added:
        list = RuleList::Add;
        return true;
    case Kind::ResponseRemoved:
        list = RuleList::RemoveResponse;
        return true;
    case Kind::NotAllowed:
    case Kind::HopByHop:
    case Kind::NotAHeader:
        break;
    }
    return false;
}

QList<QByteArray> splitEntries(const QByteArray &text)
{
    QList<QByteArray> entries;
    if (text.isEmpty())
        return entries;
    qsizetype start = 0;
    while (true) {
        const qsizetype end = text.indexOf(kLineEnd, start);
        if (end < 0) {
            entries.append(text.mid(start));
            break;
        }
        entries.append(text.mid(start, end - start));
        start = end + kLineEnd.size();
    }
    return entries;
}

RewrittenRequest rewriteRequest(const RequestHead &head, const HeaderRules &rules,
                                const HeaderLogSink &logHeader)
{
    RewrittenRequest result;
    if (head.isConnect()) {
        result.method = kConnectMethod;
        result.isForwardable = takeTunnelTarget(result, head, logHeader);
        return result;
    }

    QByteArray headerLines;
    UpgradeAsk upgrade;
    int linesSent = 0;
    const QList<HeaderLine> &lines = head.lines.headers();
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).text.toByteArray();
        const int inLine = int(i);
        if (logHeader)
            logHeader(line);
        if (line.isEmpty())
            continue;
        if (!lines.at(i).hasColon) {
            // Not a header at all: logged above, never forwarded.
            result.effects.append({RuleEffect::Kind::NotAHeader, inLine, -1, QByteArray()});
            continue;
        }
        const QByteArray name = lines.at(i).name.toByteArray();
        QByteArray candidate;
        const qsizetype effectsBefore = result.effects.size();
        if (isFramingHeader(name))
            candidate = line; // the body is framed by it: no rule may change it
        else if (!applyHeaderRules(line, name, inLine, rules, candidate, result.effects))
            return result;
        if (candidate.isEmpty())
            continue;
        headerLines += candidate + kLineEnd;
        upgrade.noteSent(candidate);
        // The line went up: a replacement among its effects says where.
        for (qsizetype e = effectsBefore; e < result.effects.size(); ++e) {
            if (result.effects[e].kind == RuleEffect::Kind::Replaced)
                result.effects[e].outLine = linesSent;
        }
        ++linesSent;
    }

    if (rules.add) {
        for (const QByteArray &entry : rules.addEntries) {
            if (entry.isEmpty() || isBodyLengthLine(entry))
                continue;
            headerLines += entry + kLineEnd;
            upgrade.noteSent(entry);
            result.effects.append({RuleEffect::Kind::Added, -1, linesSent++, entry});
        }
    }

    if (head.isEmpty())
        return result;

    // The last Host line counts, whatever the rules did to it; its value is taken whole.
    const QByteArray hostValue = head.hostValue.toByteArray();
    int port = 0;
    if (!takeHostAndPort(hostValue, result.host, port) || !head.hasThreeParts)
        return result;
    result.port = quint16(port);

    result.method = head.method.toByteArray();
    result.target = originFormTarget(head.target.toByteArray(), hostValue);
    const QByteArray &target = result.target;
    const QByteArrayView version = head.version;

    QByteArray &sent = result.head;
    sent.reserve(result.method.size() + target.size() + version.size() + headerLines.size() + 8);
    sent += result.method;
    sent += ' ';
    sent += target;
    sent += ' ';
    sent += version;
    sent += kLineEnd;
    sent += headerLines;
    sent += kLineEnd;
    result.asksForUpgrade = upgrade.isAsked();
    result.isForwardable = true;
    return result;
}
