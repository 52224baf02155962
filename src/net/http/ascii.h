#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The few byte tests HTTP's grammar is made of, written once so that every reader of a head
// reads it alike: two readers that trimmed or compared differently could read one head two ways.
// ASCII only: no byte above 127 ever passes for a letter, a blank or a token character, so text
// in an unknown 8-bit encoding is compared byte for byte instead of through a guessed code page.

// A blank or tab: the only whitespace HTTP allows inside a line.
inline bool isBlankOrTab(char c)
{
    return c == ' ' || c == '\t';
}

inline bool isAsciiDigit(char c)
{
    return c >= '0' && c <= '9';
}

inline bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Whether c may appear in a token (methods, header names, codings, chunk extension names).
bool isTokenChar(char c);
// A non-empty run of token characters.
bool isToken(QByteArrayView text);

// The text without the blanks and tabs before and after it.
QByteArrayView trimBlanksAndTabs(QByteArrayView text);

// Only the letters A-Z are folded.
inline char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
QByteArray asciiLower(QByteArrayView text);
bool equalsIgnoringAsciiCase(QByteArrayView a, QByteArrayView b);
