// Escaping bytes from the network for the log. Whatever comes in:
// - the escaped text holds no control byte but tab, so no entry can be ended early or forged;
// - escaping goes byte by byte: the text cut anywhere escapes to the same bytes;
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

// The byte that "\xHH" at `at` stands for, or -1 when the text there is no escape of a
// control byte.
int escapedByteAt(const QByteArray &text, qsizetype at)
{
    if (at + 4 > text.size() || text[at] != '\\' || text[at + 1] != 'x')
        return -1;
    const int high = hexValue(text[at + 2]);
    const int low = hexValue(text[at + 3]);
    if (high < 0 || low < 0 || !isControl(uchar(high * 16 + low)))
        return -1;
    return high * 16 + low;
}

QByteArray unescaped(const QByteArray &text)
{
    QByteArray bytes;
    for (qsizetype at = 0; at < text.size();) {
        const int byte = escapedByteAt(text, at);
        bytes += byte < 0 ? text[at] : char(byte);
        at += byte < 0 ? 1 : 4;
    }
    return bytes;
}

bool readsAsEscape(const QByteArray &text)
{
    for (qsizetype at = 0; at < text.size(); ++at) {
        if (escapedByteAt(text, at) >= 0)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const QByteArray escaped = escapeControlBytes(input);

    qsizetype controls = 0;
    for (const char c : input)
        controls += isControl(uchar(c));
    FUZZ_CHECK(escaped.size() == input.size() + 3 * controls);
    for (const char c : escaped)
        FUZZ_CHECK(!isControl(uchar(c)));

    const qsizetype cut = input.isEmpty() ? 0 : uchar(input[0]) % (input.size() + 1);
    FUZZ_CHECK(escapeControlBytes(QByteArrayView(input).first(cut)) +
                   escapeControlBytes(QByteArrayView(input).sliced(cut)) ==
               escaped);

    if (!readsAsEscape(input))
        FUZZ_CHECK(unescaped(escaped) == input);
    return 0;
}
