// Rewriting arbitrary header blocks and bodies under arbitrary rules. Whatever comes in, a
// request that is reported forwardable is well formed, and a failure leaves nothing to send.
// Every header line handed to the log is one entry as the log writes it.
#include "fuzz/fuzz_support.h"
#include "log/request_log.h"
#include "net/request_rewriter.h"

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

    ProxyConnection record;
    record.strHeader = fields.next();
    record.strBody = fields.rest();
    record.intPort = 1234;
    const ProxyConnection before = record;

    qsizetype loggedLines = 0;
    const bool isForwardable =
        rewriteRequest(record, rules, [&loggedLines](const QByteArray &line) {
            FUZZ_CHECK(!line.contains("\r\n"));
            // As the log writes it, no line can end its entry or begin another.
            const QByteArray written = escapeControlBytes(line);
            FUZZ_CHECK(!written.contains('\r') && !written.contains('\n'));
            ++loggedLines;
        });

    FUZZ_CHECK(record.strHeader == before.strHeader);
    FUZZ_CHECK(record.strBody == before.strBody);
    FUZZ_CHECK(loggedLines <= qsizetype(before.strHeader.count("\r\n")));
    if (!isForwardable) {
        FUZZ_CHECK(record.strRequest.isEmpty());
        return 0;
    }
    FUZZ_CHECK(record.intPort >= 1 && record.intPort <= 65535);
    if (record.isTunnel) {
        // A tunnel sends nothing upstream; it only names where to connect.
        FUZZ_CHECK(record.strRequest.isEmpty());
        FUZZ_CHECK(!record.strHost.isEmpty());
        for (const char byte : record.strHost)
            FUZZ_CHECK(static_cast<unsigned char>(byte) > ' ' && byte != '\x7f');
        return 0;
    }
    const QByteArray &request = record.strRequest;
    const qsizetype headerEnd = request.indexOf("\r\n\r\n");
    FUZZ_CHECK(headerEnd > 0);
    // The body goes out unchanged, right after the first empty line.
    FUZZ_CHECK(request.mid(headerEnd + 4) == record.strBody);
    const QByteArray requestLine = request.left(request.indexOf("\r\n"));
    FUZZ_CHECK(requestLine.count(' ') >= 2);
    return 0;
}
