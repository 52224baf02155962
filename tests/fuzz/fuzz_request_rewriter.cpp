// Rewriting arbitrary header blocks under arbitrary rules. Whatever comes in, a
// request that is reported forwardable is well formed, and a failure leaves nothing to send.
// Every header line handed to the log is one entry as the log writes it.
#include "fuzz/fuzz_support.h"
#include "log/request_log.h"
#include "net/http/request_head.h"
#include "net/rules/request_rewriter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const uint8_t switches = data[0];
    FuzzFields fields(data + 1, size - 1);

    HeaderRules rules;
    rules.allowAll = switches & 1;
    rules.change = switches & 2;
    rules.remove = switches & 4;
    rules.add = switches & 8;
    rules.allow = splitEntries(fields.next());
    rules.changeEntries = splitEntries(fields.next());
    rules.removeEntries = splitEntries(fields.next());
    rules.addEntries = splitEntries(fields.next());

    const QByteArray header = fields.next();

    // The parsed lines, joined again, are the block: nothing is lost or read twice.
    const RequestHead parsed = parseRequestHead(header);
    QByteArray joined = parsed.lines.startLine().toByteArray();
    for (const HeaderLine &line : parsed.lines.headers()) {
        FUZZ_CHECK(line.hasColon == line.text.contains(':'));
        joined += "\r\n" + line.text.toByteArray();
    }
    FUZZ_CHECK(joined == header);

    qsizetype loggedLines = 0;
    const RewrittenRequest result =
        rewriteRequest(parsed, rules, [&loggedLines](const QByteArray &line) {
            FUZZ_CHECK(!line.contains("\r\n"));
            // As the log writes it, no line can end its entry or begin another.
            const QByteArray written = escapeControlBytes(line);
            FUZZ_CHECK(!written.contains('\r') && !written.contains('\n'));
            ++loggedLines;
        });

    FUZZ_CHECK(loggedLines <= qsizetype(header.count("\r\n")));
    if (!result.isForwardable) {
        FUZZ_CHECK(result.head.isEmpty());
        return 0;
    }
    FUZZ_CHECK(result.port >= 1);
    if (result.isTunnel) {
        // A tunnel sends nothing upstream; it only names where to connect.
        FUZZ_CHECK(result.head.isEmpty());
        FUZZ_CHECK(!result.host.isEmpty());
        for (const char byte : result.host)
            FUZZ_CHECK(static_cast<unsigned char>(byte) > ' ' && byte != '\x7f');
        return 0;
    }
    const QByteArray &head = result.head;
    // One head, ended by the first empty line, and nothing after it.
    FUZZ_CHECK(head.indexOf("\r\n\r\n") == head.size() - 4);
    const QByteArray requestLine = head.left(head.indexOf("\r\n"));
    FUZZ_CHECK(requestLine.count(' ') >= 2);
    FUZZ_CHECK(requestLine.startsWith(result.method + ' '));
    // An upgrade is asked for only by lines that are sent.
    if (result.asksForUpgrade)
        FUZZ_CHECK(head.toLower().contains("\r\nupgrade:"));
    // Every effect points at lines that exist, and a line it says was sent is the rule's line
    // (a replacement names the header it replaces, an addition is the entry itself).
    const QList<QByteArray> linesIn = splitEntries(header);
    const QList<QByteArray> linesOut = splitEntries(head.chopped(4));
    for (const RuleEffect &effect : result.effects) {
        FUZZ_CHECK(effect.inLine < linesIn.size() - 1);
        FUZZ_CHECK(effect.outLine < linesOut.size() - 1);
        FUZZ_CHECK((effect.inLine >= 0) != (effect.kind == RuleEffect::Kind::Added));
        if (effect.outLine < 0)
            continue;
        const QByteArray &sent = linesOut.at(effect.outLine + 1);
        if (effect.kind == RuleEffect::Kind::Added)
            FUZZ_CHECK(sent == effect.rule);
        else if (effect.kind == RuleEffect::Kind::Replaced)
            FUZZ_CHECK(sent.startsWith(effect.rule.left(effect.rule.indexOf(':') + 1)));
    }
    return 0;
}
