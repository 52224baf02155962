// The allow matcher on arbitrary lines and patterns: no crash, no runaway time, and the
// answers that hold for any pattern.
#include "fuzz/fuzz_support.h"
#include "net/http/ascii.h"
#include "net/rules/allow_pattern.h"

namespace {

bool hasWildcards(const QByteArray &pattern)
{
    for (char c : pattern) {
        if (c == '*' || c == '?' || c == '#' || c == '[')
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzFields fields(data, size);
    const QByteArray pattern = fields.next('\0');
    const QByteArray line = fields.rest();

    const bool matches = matchesAllowPattern(line, pattern);
    if (!hasWildcards(pattern))
        FUZZ_CHECK(matches == equalsIgnoringAsciiCase(line, pattern));
    FUZZ_CHECK(matchesAllowPattern(line, QByteArrayLiteral("*")));
    // A trailing star can only widen what a pattern accepts.
    if (matches)
        FUZZ_CHECK(matchesAllowPattern(line, pattern + '*'));
    // Folding case is the matcher's own business: upper-casing the line changes nothing.
    FUZZ_CHECK(matches == matchesAllowPattern(line.toUpper(), pattern));
    return 0;
}
