#include "net/rules/allow_pattern.h"

#include <bitset>
#include <vector>

#include "net/http/ascii.h"

namespace {

// One pattern element. Everything but a star consumes exactly one byte, which is what lets the
// matcher get by with a single backtrack point.
struct PatternToken {
    bool isStar = false;
    std::bitset<256> accepted; // bytes this element takes, unused for a star
};

unsigned char byteOf(char c)
{
    return static_cast<unsigned char>(c);
}

// Turns the folded pattern into tokens; false when the pattern is ill-formed.
bool compilePattern(const QByteArray &pattern, std::vector<PatternToken> &tokens)
{
    const qsizetype n = pattern.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = pattern.at(i);
        PatternToken token;
        if (c == '*') {
            ++i;
            // A run of stars means the same as one; keeping one keeps the matching loop short.
            if (!tokens.empty() && tokens.back().isStar)
                continue;
            token.isStar = true;
            tokens.push_back(token);
            continue;
        }
        if (c == '?') {
            token.accepted.set();
            ++i;
        } else if (c == '#') {
            for (char d = '0'; d <= '9'; ++d)
                token.accepted.set(byteOf(d));
            ++i;
        } else if (c == '[') {
            qsizetype j = i + 1;
            bool negated = false;
            if (j < n && pattern.at(j) == '!') {
                negated = true;
                ++j;
            }
            bool closed = false;
            while (j < n) {
                const char first = pattern.at(j);
                if (first == ']') {
                    closed = true;
                    ++j;
                    break;
                }
                if (j + 2 < n && pattern.at(j + 1) == '-' && pattern.at(j + 2) != ']') {
                    const unsigned char low = byteOf(first);
                    const unsigned char high = byteOf(pattern.at(j + 2));
                    if (low > high)
                        return false;
                    for (unsigned b = low; b <= high; ++b)
                        token.accepted.set(b);
                    j += 3;
                } else {
                    token.accepted.set(byteOf(first));
                    ++j;
                }
            }
            if (!closed)
                return false;
            if (negated)
                token.accepted.flip();
            i = j;
        } else {
            token.accepted.set(byteOf(c));
            ++i;
        }
        tokens.push_back(token);
    }
    return true;
}

} // namespace

bool matchesAllowPattern(const QByteArray &line, const QByteArray &pattern)
{
    std::vector<PatternToken> tokens;
    if (!compilePattern(asciiLower(pattern), tokens))
        return false;
    const QByteArray text = asciiLower(line);

    const size_t tokenCount = tokens.size();
    const qsizetype textSize = text.size();
    size_t t = 0;
    qsizetype s = 0;
    // Where the last star stood and the text position it has been stretched to. When a later
    // token fails, the star takes one byte more and matching resumes after it; earlier stars
    // never need revisiting because the last one can absorb anything they could.
    size_t starToken = tokenCount;
    qsizetype starText = 0;
    while (s < textSize) {
        if (t < tokenCount && tokens[t].isStar) {
            starToken = t++;
            starText = s;
        } else if (t < tokenCount && tokens[t].accepted.test(byteOf(text.at(s)))) {
            ++t;
            ++s;
        } else if (starToken < tokenCount) {
            t = starToken + 1;
            s = ++starText;
        } else {
            return false;
        }
    }
    while (t < tokenCount && tokens[t].isStar)
        ++t;
    return t == tokenCount;
}
