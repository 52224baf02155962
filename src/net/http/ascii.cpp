#include "net/http/ascii.h"

bool isTokenChar(char c)
{
    if (isAsciiLetter(c) || isAsciiDigit(c))
        return true;
    return c != '\0' && QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    for (const char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return !text.isEmpty();
}

QByteArrayView trimBlanksAndTabs(QByteArrayView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlankOrTab(text[begin]))
        ++begin;
    while (end > begin && isBlankOrTab(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

QByteArray asciiLower(QByteArrayView text)
{
    QByteArray folded = text.toByteArray();
    for (char &c : folded)
        c = asciiLower(c);
    return folded;
}

bool equalsIgnoringAsciiCase(QByteArrayView a, QByteArrayView b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}
