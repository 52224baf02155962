#include <QtTest>

#include "net/http/ascii.h"
#include "net/rules/allow_pattern.h"

namespace {

// Byte arrays from literals that may hold NUL or high bytes.
template <size_t N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, qsizetype(N - 1));
}

} // namespace

class TestAllowPattern : public QObject {
    Q_OBJECT

private slots:
    void asciiLowerFoldsOnlyAsciiLetters();
    void equalsIgnoringAsciiCase_data();
    void equalsIgnoringAsciiCase();
    void matches_data();
    void matches();
    void manyStarsAgainstLongLine_data();
    void manyStarsAgainstLongLine();
};

void TestAllowPattern::asciiLowerFoldsOnlyAsciiLetters()
{
    // '@' and '[' sit right before and after 'A'..'Z'; 0xC4/0xE4 are Latin-1 A/a umlaut.
    QCOMPARE(asciiLower(bytes("@ABCXYZ[abc`{09\xC4\xE4")), bytes("@abcxyz[abc`{09\xC4\xE4"));
    QCOMPARE(asciiLower('Q'), 'q');
    QCOMPARE(asciiLower('\xC4'), '\xC4');
    QCOMPARE(asciiLower(QByteArray()), QByteArray());
}

void TestAllowPattern::equalsIgnoringAsciiCase_data()
{
    QTest::addColumn<QByteArray>("a");
    QTest::addColumn<QByteArray>("b");
    QTest::addColumn<bool>("expected");

    QTest::newRow("same") << bytes("Cookie") << bytes("Cookie") << true;
    QTest::newRow("case differs") << bytes("USER-agent") << bytes("user-AGENT") << true;
    QTest::newRow("prefix only") << bytes("Cookie") << bytes("Cookie2") << false;
    QTest::newRow("trailing blank") << bytes("User-Agent ") << bytes("User-Agent") << false;
    QTest::newRow("both empty") << QByteArray() << QByteArray() << true;
    QTest::newRow("neighbours of letters") << bytes("@") << bytes("`") << false;
    QTest::newRow("latin-1 letters not folded") << bytes("\xC4") << bytes("\xE4") << false;
    QTest::newRow("high bytes equal") << bytes("X\xC4") << bytes("x\xC4") << true;
}

void TestAllowPattern::equalsIgnoringAsciiCase()
{
    QFETCH(QByteArray, a);
    QFETCH(QByteArray, b);
    QFETCH(bool, expected);
    QCOMPARE(::equalsIgnoringAsciiCase(a, b), expected);
    QCOMPARE(::equalsIgnoringAsciiCase(b, a), expected);
}

void TestAllowPattern::matches_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<bool>("expected");

    // The shape the default allow list uses.
    QTest::newRow("accept star") << bytes("Accept: text/html") << bytes("Accept: *") << true;
    QTest::newRow("accept-language is not accept")
        << bytes("Accept-Language: en") << bytes("Accept: *") << false;
    QTest::newRow("line upper case") << bytes("ACCEPT: X") << bytes("Accept: *") << true;
    QTest::newRow("pattern upper case") << bytes("accept: x") << bytes("ACCEPT: *") << true;
    QTest::newRow("no blank after colon") << bytes("Accept:*/*") << bytes("Accept: *") << false;
    QTest::newRow("star takes nothing") << bytes("Accept: ") << bytes("Accept: *") << true;
    QTest::newRow("whole line, not a prefix") << bytes("Accept: a") << bytes("Accept") << false;
    QTest::newRow("whole line, not a suffix")
        << bytes("X-Accept: a") << bytes("Accept: *") << false;

    QTest::newRow("empty line, star") << QByteArray() << bytes("*") << true;
    QTest::newRow("empty line, empty pattern") << QByteArray() << QByteArray() << true;
    QTest::newRow("line, empty pattern") << bytes("a") << QByteArray() << false;
    QTest::newRow("empty line, question mark") << QByteArray() << bytes("?") << false;
    QTest::newRow("empty line, star question") << QByteArray() << bytes("*?") << false;

    QTest::newRow("question one char") << bytes("abc") << bytes("a?c") << true;
    QTest::newRow("question needs a char") << bytes("ac") << bytes("a?c") << false;
    QTest::newRow("question takes a high byte") << bytes("a\xC4"
                                                         "c")
                                                << bytes("a?c") << true;
    QTest::newRow("question is one byte of utf-8") << bytes("a\xC3\x84"
                                                            "c")
                                                   << bytes("a?c") << false;

    QTest::newRow("hash digits") << bytes("X-N: 42") << bytes("X-N: ##") << true;
    QTest::newRow("hash not a letter") << bytes("X-N: 4a") << bytes("X-N: ##") << false;
    QTest::newRow("hash not a blank") << bytes("X-N:  4") << bytes("X-N: ##") << false;

    QTest::newRow("range inside") << bytes("b") << bytes("[a-c]") << true;
    QTest::newRow("range ends") << bytes("c") << bytes("[a-c]") << true;
    QTest::newRow("range outside") << bytes("d") << bytes("[a-c]") << false;
    QTest::newRow("range, upper-case line") << bytes("B") << bytes("[a-c]") << true;
    QTest::newRow("range, upper-case pattern") << bytes("b") << bytes("[A-C]") << true;
    QTest::newRow("list of singles") << bytes("y") << bytes("[xyz]") << true;
    QTest::newRow("range and singles") << bytes("7") << bytes("[a-c0-9_]") << true;
    QTest::newRow("negated, not in list") << bytes("d") << bytes("[!a-c]") << true;
    QTest::newRow("negated, in list") << bytes("b") << bytes("[!a-c]") << false;
    QTest::newRow("hyphen last") << bytes("-") << bytes("[a-]") << true;
    QTest::newRow("hyphen first") << bytes("-") << bytes("[-a]") << true;
    QTest::newRow("hyphen last is no range") << bytes("b") << bytes("[a-]") << false;
    QTest::newRow("bracket in list") << bytes("[") << bytes("[[]") << true;
    QTest::newRow("star in list is literal") << bytes("*") << bytes("[*]") << true;
    QTest::newRow("star in list not wild") << bytes("x") << bytes("[*]") << false;
    QTest::newRow("question in list is literal") << bytes("x") << bytes("[?]") << false;
    QTest::newRow("closing bracket alone") << bytes("]") << bytes("]") << true;
    QTest::newRow("empty list matches no byte") << bytes("a") << bytes("[]") << false;
    QTest::newRow("negated empty list any byte") << bytes("a") << bytes("[!]") << true;
    QTest::newRow("list then literal") << bytes("b]") << bytes("[ab]]") << true;

    QTest::newRow("ill-formed: unclosed") << bytes("[abc") << bytes("[abc") << false;
    QTest::newRow("ill-formed: unclosed after star") << bytes("anything") << bytes("*[a") << false;
    QTest::newRow("ill-formed: descending range") << bytes("b") << bytes("[z-a]") << false;
    QTest::newRow("ill-formed: descending range in middle")
        << bytes("anything") << bytes("*[c-a]*") << false;
    // 'Z' (0x5A) comes before 'a', but the pattern is folded first: "[z-a]" descends.
    QTest::newRow("ill-formed: descending after folding") << bytes("z") << bytes("[Z-a]") << false;

    QTest::newRow("high byte literal") << bytes("X: \xC4") << bytes("X: \xC4") << true;
    QTest::newRow("high bytes not folded") << bytes("X: \xC4") << bytes("X: \xE4") << false;

    QTest::newRow("stars in order") << bytes("aXXbYYc") << bytes("a*b*c") << true;
    QTest::newRow("stars, missing tail") << bytes("aXXbYY") << bytes("a*b*c") << false;
    QTest::newRow("leading star") << bytes("ba") << bytes("*a") << true;
    QTest::newRow("star must back up") << bytes("aab") << bytes("*ab") << true;
    QTest::newRow("star back up twice") << bytes("abcabcabd") << bytes("*abd") << true;
    QTest::newRow("not enough for stars") << bytes("aa") << bytes("a*a*a") << false;
    QTest::newRow("star then digit") << bytes("abc1") << bytes("*#") << true;
    QTest::newRow("adjacent stars") << bytes("abc") << bytes("a***c") << true;
    QTest::newRow("star then list") << bytes("Host: x.example") << bytes("host: *.[a-z]*") << true;
}

void TestAllowPattern::matches()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, pattern);
    QFETCH(bool, expected);
    QCOMPARE(matchesAllowPattern(line, pattern), expected);
}

void TestAllowPattern::manyStarsAgainstLongLine_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<bool>("expected");

    const QByteArray manyA(100000, 'a');
    QByteArray stars;
    for (int i = 0; i < 200; ++i)
        stars += "*a";
    // A backtracking matcher explores an exponential number of ways to share the a's out among
    // the stars before it gives up here.
    QTest::newRow("no final b") << manyA << QByteArray(stars + "*b") << false;
    QTest::newRow("final b") << QByteArray(manyA + 'b') << QByteArray(stars + "*b") << true;
    // Every start position of the star has to be retried against a long literal run.
    QTest::newRow("star then long literal run")
        << manyA << QByteArray("*" + QByteArray(300, 'a') + "b") << false;
    QTest::newRow("stars and questions") << manyA << QByteArray(stars + "?*?*?b") << false;
}

void TestAllowPattern::manyStarsAgainstLongLine()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, pattern);
    QFETCH(bool, expected);
    QCOMPARE(matchesAllowPattern(line, pattern), expected);
}

QTEST_APPLESS_MAIN(TestAllowPattern)
#include "test_allow_pattern.moc"
