#include "net/rules/response_rewriter.h"

#include "net/http/ascii.h"
#include "net/http/head_lines.h"

namespace {

bool isOutOfReach(QByteArrayView name, bool isSwitchingProtocols)
{
    if (equalsIgnoringAsciiCase(name, "Content-Length") ||
        equalsIgnoringAsciiCase(name, "Transfer-Encoding"))
        return true;
    return isSwitchingProtocols && (equalsIgnoringAsciiCase(name, "Connection") ||
                                    equalsIgnoringAsciiCase(name, "Upgrade"));
}

// The entry that removes a line of this name, or null.
const QByteArray *removingEntry(QByteArrayView name, const QList<QByteArray> &removeEntries)
{
    for (const QByteArray &entry : removeEntries) {
        if (!entry.isEmpty() && equalsIgnoringAsciiCase(entry, name))
            return &entry;
    }
    return nullptr;
}

} // namespace

RewrittenResponse rewriteResponseHead(const HeadLines &head, const QList<QByteArray> &removeEntries,
                                      bool isSwitchingProtocols)
{
    RewrittenResponse rewritten;
    rewritten.head.reserve(head.block().size() + 4);
    rewritten.head.append(head.startLine());
    rewritten.head.append("\r\n");
    const QList<HeaderLine> &lines = head.headers();
    for (qsizetype inLine = 0; inLine < lines.size(); ++inLine) {
        const HeaderLine &line = lines.at(inLine);
        const QByteArray *entry = line.hasColon && !isOutOfReach(line.name, isSwitchingProtocols)
                                      ? removingEntry(line.name, removeEntries)
                                      : nullptr;
        if (entry) {
            rewritten.effects.append({RuleEffect::Kind::ResponseRemoved, int(inLine), -1, *entry});
            continue;
        }
        rewritten.head.append(line.text);
        rewritten.head.append("\r\n");
    }
    rewritten.head.append("\r\n");
    return rewritten;
}
