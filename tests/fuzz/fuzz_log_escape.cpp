// Escaping bytes from the network for the log. Whatever comes in:
// - the escaped text holds no control byte but tab, and no UTF-8 line break (NEL, U+2028,
//   U+2029), so no entry can be ended early or forged;
// - escaping goes byte by byte, line breaks as a whole: the text cut anywhere but inside a line
//   break escapes to the same bytes;
// - unescaping gives the input back, unless the input held text that reads as an escape
//   itself (a backslash is written as it came).
//
// Input: the bytes to escape; the first byte also chooses where the cut falls.
#include "fuzz/fuzz_support.h"
#include "log/request_log.h"

namespace {

bool isControl(uchar byte)
{
    return (byte < 0x20 && byte != '\t') || byte == 0x7f;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The byte that "\xHH" at `at` stands for, or -1 when the text there is no "\xHH".
int hexEscapeAt(const QByteArray &text, qsizetype at)
{
    if (at + 4 > text.size() || text[at] != '\\' || text[at + 1] != 'x')
        return -1;
    const int high = hexValue(text[at + 2]);
    const int low = hexValue(text[at + 3]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

// The bytes that the escapes at `at` stand for: one control byte, or a whole line break;
// empty when the text there is no such escape.
QByteArray escapedBytesAt(const QByteArray &text, qsizetype at)
{
    const int first = hexEscapeAt(text, at);
    if (first >= 0 && isControl(uchar(first)))
        return QByteArray(1, char(first));
    QByteArray run;
    for (qsizetype escape = at; run.size() < 3; escape += 4) {
        const int byte = hexEscapeAt(text, escape);
        if (byte < 0)
            break;
        run += char(byte);
        if (unicodeLineBreakSizeAt(run, 0) == run.size())
            return run;
    }
    return {};
}

QByteArray unescaped(const QByteArray &text)
{
    QByteArray bytes;
    for (qsizetype at = 0; at < text.size();) {
        const QByteArray run = escapedBytesAt(text, at);
        bytes += run.isEmpty() ? QByteArray(1, text[at]) : run;
        at += run.isEmpty() ? 1 : 4 * run.size();
    }
    return bytes;
}

bool readsAsEscape(const QByteArray &text)
{
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (!escapedBytesAt(text, at).isEmpty())
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray escaped = escapeControlBytes(input);

    // Each escaped byte grows by three: "\x" and a second hex digit.
    qsizetype escapedBytes = 0;
    QList<bool> isInsideBreak(input.size() + 1, false);
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype breakSize = unicodeLineBreakSizeAt(input, at);
        for (qsizetype inside = 1; inside < breakSize; ++inside)
            isInsideBreak[at + inside] = true;
        escapedBytes += breakSize > 0 ? breakSize : isControl(uchar(input[at]));
        at += breakSize > 0 ? breakSize : 1;
    }
    FUZZ_CHECK(escaped.size() == input.size() + 3 * escapedBytes);
    for (qsizetype at = 0; at < escaped.size(); ++at)
        FUZZ_CHECK(!isControl(uchar(escaped[at])) && unicodeLineBreakSizeAt(escaped, at) == 0);

    const qsizetype cut = input.isEmpty() ? 0 : uchar(input[0]) % (input.size() + 1);
    if (!isInsideBreak[cut])
        FUZZ_CHECK(escapeControlBytes(QByteArrayView(input).first(cut)) +
                       escapeControlBytes(QByteArrayView(input).sliced(cut)) ==
                   escaped);

    if (!readsAsEscape(input))
        FUZZ_CHECK(unescaped(escaped) == input);
    return 0;
}
