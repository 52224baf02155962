// The framing module fed arbitrary messages in arbitrary splits. Each input is fed whole, in
// the pieces its cut field gives and byte by byte, and every way must report the same messages,
// verdicts and counts. Beyond that:
// - a body built valid from the input is framed to exactly its bytes, and the next message's
//   bytes are left;
// - a head is given up as malformed exactly at its first NUL, bare LF or CR without LF; a
//   complete head's lines end in CR LF, and the strict head check reads them so;
// - the bytes after an end are never taken, and none before it are skipped: a head's taken
//   bytes are dropped empty lines (CR LF or bare LF), its block and CR LF CR LF, nothing else;
// - an invalid verdict is final: nothing more is taken.
//
// Input: a mode byte, a flag byte, then fields separated by \x01: the cut (each byte a piece
// length from 1 to 64, cycling), and the stream; for mode 3, choices for the built body and its
// chunks' payloads separated by \x02.
#include <QList>

#include "fuzz/fuzz_support.h"
#include "net/http/http_framing.h"
#include "net/http/request_head_check.h"

namespace {

using Pieces = QList<qsizetype>;

Pieces piecesOf(const QByteArray &cut, qsizetype size)
{
    Pieces pieces;
    for (qsizetype at = 0, i = 0; at < size; ++i) {
        const qsizetype wanted = cut.isEmpty() ? size : uchar(cut[i % cut.size()]) % 64 + 1;
        pieces.append(qMin(wanted, size - at));
        at += pieces.last();
    }
    return pieces;
}

QList<Pieces> feedsOf(const QByteArray &cut, qsizetype size)
{
    return {piecesOf({}, size), piecesOf(cut, size), piecesOf(QByteArray(1, '\0'), size)};
}

// What was reported, message by message, as numbers.
using Trace = QList<quint64>;

QByteArray upperCaseAfterLineZero(QByteArray block)
{
    const qsizetype lineEnd = block.indexOf("\r\n");
    for (qsizetype i = lineEnd < 0 ? block.size() : lineEnd; i < block.size(); ++i)
        if (block[i] >= 'a' && block[i] <= 'z')
            block[i] = char(block[i] - 'a' + 'A');
    return block;
}

// Header names and codings ignore letter case, and an unrelated header changes nothing.
void checkRequestFramingStable(const QByteArray &block, bool isFramed, const BodyFraming &framing)
{
    const RequestHeadFault fault = requestHeadFault(parseRequestHead(block));
    for (const QByteArray &variant : {upperCaseAfterLineZero(block), block + "\r\nX-Fuzz: 1"}) {
        const RequestHead head = parseRequestHead(variant);
        BodyFraming other;
        FUZZ_CHECK(requestBodyFraming(head, other) == isFramed);
        FUZZ_CHECK(other.kind == framing.kind && other.length == framing.length);
        FUZZ_CHECK(requestHeadFault(head) == fault);
    }
}

// Where a head's bytes first break the CR LF line ends: a NUL, an LF without its CR, or the
// byte after a CR that is not LF. -1 when they do not.
qsizetype firstBadByte(QByteArrayView bytes)
{
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const bool afterCr = i > 0 && bytes[i - 1] == '\r';
        if (bytes[i] == '\0' || afterCr != (bytes[i] == '\n'))
            return i;
    }
    return -1;
}

// The head's bytes without the empty lines before the start line.
QByteArray withoutLeadingEmptyLines(QByteArray sent)
{
    for (;;) {
        if (sent.startsWith("\r\n"))
            sent.remove(0, 2);
        else if (sent.startsWith('\n'))
            sent.remove(0, 1);
        else
            return sent;
    }
}

// A request stream as the engine reads it: a head, its body, the next head...
Trace frameRequests(const QByteArray &stream, const Pieces &pieces, qsizetype limit)
{
    Trace trace;
    MessageHead head(limit);
    BodyFramer body;
    bool isInBody = false;
    qsizetype messageStart = 0;
    qsizetype position = 0;
    for (const qsizetype length : pieces) {
        qsizetype offset = 0;
        while (offset < length) {
            const char *rest = stream.constData() + position + offset;
            const qsizetype offered = length - offset;
            const qsizetype taken = isInBody ? body.take(rest, offered) : head.take(rest, offered);
            FUZZ_CHECK(taken >= 0 && taken <= offered);
            offset += taken;
            const qsizetype at = position + offset;
            if (isInBody) {
                if (body.isInvalid() || body.isComplete()) {
                    trace << 'B' << body.isInvalid() << quint64(at);
                    if (body.isInvalid()) {
                        FUZZ_CHECK(body.take(rest + taken, stream.size() - at) == 0);
                        FUZZ_CHECK(body.isInvalid());
                        return trace;
                    }
                    isInBody = false;
                    messageStart = at;
                    continue;
                }
                FUZZ_CHECK(taken == offered);
                continue;
            }
            if (head.state() == MessageHead::Malformed) {
                const QByteArray sent =
                    withoutLeadingEmptyLines(stream.mid(messageStart, at - messageStart));
                FUZZ_CHECK(firstBadByte(sent) == sent.size() - 1);
                FUZZ_CHECK(sent.size() <= limit);
                FUZZ_CHECK(head.take(rest + taken, stream.size() - at) == stream.size() - at);
                trace << 'M' << quint64(at);
                return trace;
            }
            if (head.state() == MessageHead::TooLarge) {
                const QByteArray sent =
                    withoutLeadingEmptyLines(stream.mid(messageStart, at - messageStart));
                FUZZ_CHECK(sent.size() == limit);
                FUZZ_CHECK(firstBadByte(sent) < 0);
                FUZZ_CHECK(head.take(rest + taken, stream.size() - at) == 0);
                trace << 'L' << quint64(at);
                return trace;
            }
            if (head.state() != MessageHead::Complete) {
                FUZZ_CHECK(taken == offered);
                continue;
            }
            const QByteArray sent = stream.mid(messageStart, at - messageStart);
            const QByteArray &block = head.block();
            FUZZ_CHECK(sent.endsWith(block + "\r\n\r\n") && !block.contains("\r\n\r\n"));
            FUZZ_CHECK(block.size() + 4 <= limit);
            const qsizetype dropped = sent.size() - block.size() - 4;
            FUZZ_CHECK(withoutLeadingEmptyLines(sent.first(dropped)).isEmpty());
            FUZZ_CHECK(firstBadByte(block) < 0 && !block.endsWith('\r'));
            const RequestHead parsed = parseRequestHead(block);
            FUZZ_CHECK(parsed.lines.hasCleanLineEnds());
            FUZZ_CHECK(requestHeadFault(parsed) != RequestHeadFault::LineEnd);
            BodyFraming framing;
            const bool isFramed = requestBodyFraming(parsed, framing);
            checkRequestFramingStable(block, isFramed, framing);
            trace << 'H' << quint64(at) << isFramed << framing.kind << framing.length;
            if (!isFramed)
                return trace;
            FUZZ_CHECK(framing.kind != BodyFraming::UntilClose);
            head.clear();
            body.start(framing);
            isInBody = !body.isComplete();
            messageStart = at;
        }
        position += length;
    }
    trace << 'E' << isInBody << head.state();
    return trace;
}

// The response streams to a row of requests, each HEAD or not by one bit of the flags.
Trace frameResponses(const QByteArray &stream, const Pieces &pieces, quint8 headRequests)
{
    Trace trace;
    int request = 0;
    ResponseFramer framer;
    framer.start(headRequests & 1);
    qsizetype position = 0;
    for (const qsizetype length : pieces) {
        qsizetype offset = 0;
        while (offset < length) {
            const qsizetype offered = length - offset;
            const qsizetype taken = framer.take(stream.constData() + position + offset, offered);
            FUZZ_CHECK(taken >= 0 && taken <= offered);
            FUZZ_CHECK(taken == offered || framer.isComplete());
            offset += taken;
            if (!framer.isComplete())
                continue;
            FUZZ_CHECK(!framer.isUntilClose());
            FUZZ_CHECK(framer.take(stream.constData() + position + offset, offered - taken) == 0);
            trace << quint64(position + offset) << framer.statusCode()
                  << framer.isSwitchingProtocols();
            if (framer.isSwitchingProtocols())
                return trace;
            ++request;
            framer.start((headRequests >> (request % 8)) & 1);
        }
        position += length;
    }
    trace << 'E' << framer.isUntilClose() << framer.statusCode();
    return trace;
}

Trace frameBody(const QByteArray &stream, const Pieces &pieces, const BodyFraming &framing)
{
    BodyFramer body;
    body.start(framing);
    qsizetype position = 0;
    qsizetype total = 0;
    for (const qsizetype length : pieces) {
        const bool wasEnded = body.isComplete() || body.isInvalid();
        const qsizetype taken = body.take(stream.constData() + position, length);
        FUZZ_CHECK(taken >= 0 && taken <= length);
        FUZZ_CHECK(!wasEnded || taken == 0);
        FUZZ_CHECK(taken == length || body.isComplete() || body.isInvalid());
        FUZZ_CHECK(!(body.isComplete() && body.isInvalid()));
        total += taken;
        position += length;
    }
    return {quint64(total), body.isComplete(), body.isInvalid()};
}

// Picks from the input's choice bytes in turn, 0 once there are none.
class Choices {
public:
    explicit Choices(const QByteArray &bytes) : m_bytes(bytes) {}
    uchar next() { return m_bytes.isEmpty() ? 0 : uchar(m_bytes[m_next++ % m_bytes.size()]); }
    char from(const char *alphabet) { return alphabet[next() % qstrlen(alphabet)]; }

private:
    QByteArray m_bytes;
    qsizetype m_next = 0;
};

const char kTokenChars[] = "!#$%&'*+-.^_`|~09azAZ";

QByteArray tokenOf(Choices &choices)
{
    QByteArray token;
    for (int i = choices.next() % 4; i >= 0; --i)
        token += choices.from(kTokenChars);
    return token;
}

QByteArray blanksOf(Choices &choices)
{
    return QByteArray(choices.next() % 3, choices.next() % 2 ? ' ' : '\t');
}

// Printable text, with bytes above 127, blanks and tabs: what a value may hold.
QByteArray textOf(Choices &choices)
{
    QByteArray text;
    for (int i = choices.next() % 6; i > 0; --i) {
        const char c = char(choices.next());
        text += uchar(c) < 0x20 || c == 0x7f ? (c == '\t' ? '\t' : 'x') : c;
    }
    return text;
}

QByteArray extensionsOf(Choices &choices)
{
    QByteArray extensions;
    for (int i = choices.next() % 3; i > 0; --i) {
        extensions += blanksOf(choices) + ';' + blanksOf(choices) + tokenOf(choices);
        const uchar value = choices.next() % 3;
        if (value == 0)
            continue;
        extensions += blanksOf(choices) + '=' + blanksOf(choices);
        if (value == 1) {
            extensions += tokenOf(choices);
            continue;
        }
        QByteArray quoted = textOf(choices);
        quoted.replace('\\', "\\\\").replace('"', "\\\"");
        extensions += '"' + quoted + '"';
    }
    return extensions;
}

QByteArray sizeLineOf(qsizetype size, Choices &choices)
{
    QByteArray digits = QByteArray::number(size, 16);
    if (choices.next() % 2)
        digits = digits.toUpper();
    return QByteArray(choices.next() % 3, '0') + digits + extensionsOf(choices) + "\r\n";
}

// A valid chunked encoding of the payloads, with extensions and trailers from the choices.
QByteArray chunkedBodyOf(const QByteArrayList &payloads, Choices &choices)
{
    QByteArray body;
    for (const QByteArray &payload : payloads)
        if (!payload.isEmpty())
            body += sizeLineOf(payload.size(), choices) + payload + "\r\n";
    body += sizeLineOf(0, choices);
    for (int i = choices.next() % 3; i > 0; --i)
        body += tokenOf(choices) + ':' + blanksOf(choices) + textOf(choices) + "\r\n";
    return body + "\r\n";
}

void checkBuiltBodies(FuzzFields &fields, const QByteArray &cut)
{
    Choices choices(fields.next());
    QByteArrayList payloads;
    while (!fields.atEnd() && payloads.size() < 64)
        payloads.append(fields.next('\x02'));
    const QByteArray body = chunkedBodyOf(payloads, choices);
    const QByteArray next = "GET / HTTP/1.1\r\n\r\n";
    BodyFraming framing;
    framing.kind = BodyFraming::Chunked;
    const QByteArray response = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + body;
    BodyFraming length;
    length.kind = BodyFraming::Length;
    const QByteArray joined = payloads.join();
    length.length = quint64(joined.size());
    for (const Pieces &pieces : feedsOf(cut, body.size() + next.size()))
        FUZZ_CHECK(frameBody(body + next, pieces, framing) == Trace({quint64(body.size()), 1, 0}));
    for (const Pieces &pieces : feedsOf(cut, joined.size() + next.size()))
        FUZZ_CHECK(frameBody(joined + next, pieces, length) == Trace({length.length, 1, 0}));
    for (const Pieces &pieces : feedsOf(cut, response.size() + next.size()))
        FUZZ_CHECK(frameResponses(response + next, pieces, 0).first() == quint64(response.size()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t mode = data[0] % 4;
    const uint8_t flags = data[1];
    FuzzFields fields(data + 2, size - 2);
    const QByteArray cut = fields.next();
    if (mode == 3) {
        checkBuiltBodies(fields, cut);
        return 0;
    }
    const QByteArray stream = fields.rest();
    BodyFraming chunked;
    chunked.kind = BodyFraming::Chunked;
    // Small head limits reach the limit with small inputs; the rule is the same at 256 KiB.
    const qsizetype limit = flags & 0x80 ? 256 * 1024 : 4 + (flags & 0x7f);
    Trace whole;
    for (const Pieces &pieces : feedsOf(cut, stream.size())) {
        const Trace trace = mode == 0   ? frameRequests(stream, pieces, limit)
                            : mode == 1 ? frameResponses(stream, pieces, flags)
                                        : frameBody(stream, pieces, chunked);
        if (pieces.size() <= 1)
            whole = trace;
        FUZZ_CHECK(trace == whole);
    }
    return 0;
}
