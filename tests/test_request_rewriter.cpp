#include <QtTest>

#include "net/http/request_head.h"
#include "net/rules/request_rewriter.h"

Q_DECLARE_METATYPE(HeaderRules)

namespace {

// Byte arrays from literals that may hold NUL or high bytes.
template <size_t N> QByteArray bytes(const char (&text)[N])
{
    return QByteArray(text, qsizetype(N - 1));
}

const QByteArray kUserAgentEntry("User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)");

// The rules as the window starts: every header allowed, only removal ticked.
HeaderRules defaultRules()
{
    HeaderRules rules;
    rules.allowAll = true;
    rules.allow = splitEntries("Accept: *\r\nAccept-Language: *\r\nAccept-Encoding: *\r\n"
                               "Accept-Charset: *\r\nHost: *\r\nKeep-Alive: *\r\nRange: *\r\n"
                               "Cache-Control: *\r\nContent-Length: *\r\nContent-Type: *\r\n"
                               "Authorization: *");
    rules.change = false;
    rules.changeEntries = {kUserAgentEntry};
    rules.remove = true;
    rules.removeEntries = splitEntries("User-Agent\r\nCookie\r\nReferer\r\nFrom\r\nDate");
    rules.add = false;
    rules.addEntries = {"Via: Vesktor 1.0"};
    return rules;
}

// No rule ticked, every header allowed: only the fixed rules act.
HeaderRules passAllRules()
{
    HeaderRules rules;
    rules.allowAll = true;
    return rules;
}

HeaderRules onlyAllow(const QList<QByteArray> &patterns)
{
    HeaderRules rules = passAllRules();
    rules.allowAll = false;
    rules.allow = patterns;
    return rules;
}

HeaderRules withChange(HeaderRules rules, const QList<QByteArray> &entries)
{
    rules.change = true;
    rules.changeEntries = entries;
    return rules;
}

HeaderRules withRemove(HeaderRules rules, const QList<QByteArray> &entries)
{
    rules.remove = true;
    rules.removeEntries = entries;
    return rules;
}

HeaderRules withAdd(HeaderRules rules, const QList<QByteArray> &entries)
{
    rules.add = true;
    rules.addEntries = entries;
    return rules;
}

} // namespace

class TestRequestRewriter : public QObject {
    Q_OBJECT

private slots:
    void splitEntries_data();
    void splitEntries();
    void rewrites_data();
    void rewrites();
    void failures_data();
    void failures();
    void logsHeaderLines_data();
    void logsHeaderLines();
    void worksWithoutLogSink();
    void connectRequests_data();
    void connectRequests();
    void connectIsExactMethod();
    void asksForUpgradeAsSent_data();
    void asksForUpgradeAsSent();
};

void TestRequestRewriter::splitEntries_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QList<QByteArray>>("expected");

    QTest::newRow("empty text") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("one entry") << bytes("Cookie") << QList<QByteArray>{"Cookie"};
    QTest::newRow("two entries") << bytes("Cookie\r\nDate") << QList<QByteArray>{"Cookie", "Date"};
    QTest::newRow("double line end") << bytes("a\r\n\r\nb") << QList<QByteArray>{"a", "", "b"};
    QTest::newRow("trailing line end") << bytes("a\r\n") << QList<QByteArray>{"a", ""};
    QTest::newRow("line end only") << bytes("\r\n") << QList<QByteArray>{"", ""};
    QTest::newRow("lone cr and lf stay")
        << bytes("a\rb\nc\r\nd") << QList<QByteArray>{"a\rb\nc", "d"};
    QTest::newRow("cr cr lf") << bytes("a\r\r\nb") << QList<QByteArray>{"a\r", "b"};
    QTest::newRow("not trimmed") << bytes(" a \r\n\tb ") << QList<QByteArray>{" a ", "\tb "};
}

void TestRequestRewriter::splitEntries()
{
    QFETCH(QByteArray, text);
    QFETCH(QList<QByteArray>, expected);
    QCOMPARE(::splitEntries(text), expected);
}

void TestRequestRewriter::rewrites_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<HeaderRules>("rules");
    QTest::addColumn<QByteArray>("expectedRequest");
    QTest::addColumn<QByteArray>("expectedHost");
    QTest::addColumn<int>("expectedPort");

    QTest::newRow("worked example")
        << bytes("GET http://www.h.example/a.html HTTP/1.1\r\nHost: www.h.example\r\n"
                 "User-Agent: U\r\nAccept: */*\r\nCookie: C\r\nProxy-Connection: keep-alive")
        << QByteArray() << defaultRules()
        << bytes("GET /a.html HTTP/1.1\r\nHost: www.h.example\r\nAccept: */*\r\n\r\n")
        << bytes("www.h.example") << 80;

    QTest::newRow("host with port")
        << bytes("GET http://h.example:8080/x?y=1 HTTP/1.1\r\nHost: h.example:8080") << QByteArray()
        << defaultRules() << bytes("GET /x?y=1 HTTP/1.1\r\nHost: h.example:8080\r\n\r\n")
        << bytes("h.example") << 8080;
    QTest::newRow("highest port")
        << bytes("GET http://h.example:65535/ HTTP/1.1\r\nHost: h.example:65535") << QByteArray()
        << passAllRules() << bytes("GET / HTTP/1.1\r\nHost: h.example:65535\r\n\r\n")
        << bytes("h.example") << 65535;
    QTest::newRow("port 1 with leading zeros")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:0001") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHost: h.example:0001\r\n\r\n") << bytes("h.example") << 1;
    QTest::newRow("port with blanks and tab")
        << bytes("GET / HTTP/1.1\r\nHost: h.example: 8081\t ") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHost: h.example: 8081\t \r\n\r\n") << bytes("h.example")
        << 8081;
    QTest::newRow("ipv6 with port")
        << bytes("GET http://[::1]:8080/x HTTP/1.1\r\nHost: [::1]:8080") << QByteArray()
        << passAllRules() << bytes("GET /x HTTP/1.1\r\nHost: [::1]:8080\r\n\r\n") << bytes("[::1]")
        << 8080;
    QTest::newRow("ipv6 without port")
        << bytes("GET http://[::1]/x HTTP/1.1\r\nHost: [::1]") << QByteArray() << passAllRules()
        << bytes("GET /x HTTP/1.1\r\nHost: [::1]\r\n\r\n") << bytes("[::1]") << 80;

    QTest::newRow("host without www, target with")
        << bytes("GET http://www.h.example/p HTTP/1.0\r\nHost: h.example") << QByteArray()
        << passAllRules() << bytes("GET /p HTTP/1.0\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("host with www, target without")
        << bytes("GET http://h.example/p HTTP/1.0\r\nHost: www.h.example") << QByteArray()
        << passAllRules() << bytes("GET /p HTTP/1.0\r\nHost: www.h.example\r\n\r\n")
        << bytes("www.h.example") << 80;
    QTest::newRow("host absent from the line")
        << bytes("GET http://www.h.example/p HTTP/1.1\r\nHost: other.example") << QByteArray()
        << passAllRules() << bytes("GET /p HTTP/1.1\r\nHost: other.example\r\n\r\n")
        << bytes("other.example") << 80;
    // Header names have no letter case; HTTP/2 clients write them in lower case.
    QTest::newRow("lower-case host header")
        << bytes("GET http://h.example/p HTTP/1.1\r\nhost: h.example:8080") << QByteArray()
        << passAllRules() << bytes("GET /p HTTP/1.1\r\nhost: h.example:8080\r\n\r\n")
        << bytes("h.example") << 8080;
    QTest::newRow("upper-case host header")
        << bytes("GET / HTTP/1.1\r\nHOST: h.example:81") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHOST: h.example:81\r\n\r\n") << bytes("h.example") << 81;
    QTest::newRow("no header lines")
        << bytes("GET http://h.example/ HTTP/1.1") << QByteArray() << defaultRules()
        << bytes("GET / HTTP/1.1\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("last host wins")
        << bytes("GET / HTTP/1.1\r\nHost: a.example:81\r\nHost: b.example:82") << QByteArray()
        << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHost: a.example:81\r\nHost: b.example:82\r\n\r\n")
        << bytes("b.example") << 82;
    // The value is taken whole: losing its first character would send the request elsewhere.
    QTest::newRow("host without blank")
        << bytes("GET / HTTP/1.1\r\nHost:www.h.example") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHost:www.h.example\r\n\r\n") << bytes("www.h.example") << 80;
    QTest::newRow("host between blanks and tabs")
        << bytes("GET / HTTP/1.1\r\nHost: \th.example:82 \t") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nHost: \th.example:82 \t\r\n\r\n") << bytes("h.example") << 82;

    QTest::newRow("target equal to host value")
        << bytes("GET www.h.example HTTP/1.1\r\nHost: www.h.example") << QByteArray()
        << passAllRules() << bytes("GET / HTTP/1.1\r\nHost: www.h.example\r\n\r\n")
        << bytes("www.h.example") << 80;
    QTest::newRow("target equal to host value with port")
        << bytes("GET h.example:8080 HTTP/1.1\r\nHost: h.example:8080") << QByteArray()
        << passAllRules() << bytes("GET / HTTP/1.1\r\nHost: h.example:8080\r\n\r\n")
        << bytes("h.example") << 8080;
    QTest::newRow("asterisk target unchanged")
        << bytes("OPTIONS * HTTP/1.1\r\nHost: h.example") << QByteArray() << passAllRules()
        << bytes("OPTIONS * HTTP/1.1\r\nHost: h.example\r\n\r\n") << bytes("h.example") << 80;
    QTest::newRow("path holding host unchanged")
        << bytes("GET /h.example HTTP/1.1\r\nHost: h.example") << QByteArray() << passAllRules()
        << bytes("GET /h.example HTTP/1.1\r\nHost: h.example\r\n\r\n") << bytes("h.example") << 80;
    QTest::newRow("path and query holding scheme and host")
        << bytes("GET http://h.example/search/h.example?q=h.example&next=http://www.h.example/x "
                 "HTTP/1.1\r\nHost: h.example")
        << QByteArray() << passAllRules()
        << bytes("GET /search/h.example?q=h.example&next=http://www.h.example/x HTTP/1.1\r\n"
                 "Host: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("origin-form path with scheme in query")
        << bytes("GET /go?to=http://h.example/ HTTP/1.1\r\nHost: h.example") << QByteArray()
        << passAllRules()
        << bytes("GET /go?to=http://h.example/ HTTP/1.1\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("authority only")
        << bytes("GET http://h.example HTTP/1.1\r\nHost: h.example") << QByteArray()
        << passAllRules() << bytes("GET / HTTP/1.1\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("authority then query")
        << bytes("GET http://h.example?a=1 HTTP/1.1\r\nHost: h.example") << QByteArray()
        << passAllRules() << bytes("GET /?a=1 HTTP/1.1\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("upper-case scheme stays")
        << bytes("GET HTTP://h.example/p HTTP/1.1\r\nHost: h.example") << QByteArray()
        << passAllRules() << bytes("GET HTTP://h.example/p HTTP/1.1\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("blanks around and inside request line")
        << bytes("  POST   http://h.example/f   HTTP/1.1  \r\nHost: h.example") << QByteArray()
        << passAllRules() << bytes("POST /f HTTP/1.1\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;

    QTest::newRow("changed and removed is dropped")
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\nUser-Agent: U") << QByteArray()
        << withChange(defaultRules(), {kUserAgentEntry})
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\n\r\n") << bytes("h.example") << 80;
    QTest::newRow("changed line spelled as the entry")
        << bytes("GET / HTTP/1.1\r\nuSER-aGENT: U\r\nHost: h.example") << QByteArray()
        << withChange(passAllRules(), {kUserAgentEntry})
        << QByteArray("GET / HTTP/1.1\r\n" + kUserAgentEntry + "\r\nHost: h.example\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("change skips empty entries, first match wins")
        << bytes("GET / HTTP/1.1\r\nAccept: */*") << QByteArray()
        << withChange(passAllRules(), {"", "Accept: text/html", "accept: second"})
        << bytes("GET / HTTP/1.1\r\nAccept: text/html\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("change entry ending in colon")
        << bytes("GET / HTTP/1.1\r\nX-Tag: secret") << QByteArray()
        << withChange(passAllRules(), {"X-Tag:"}) << bytes("GET / HTTP/1.1\r\nX-Tag: \r\n\r\n")
        << QByteArray() << 80;
    QTest::newRow("bad change entry after the match is not examined")
        << bytes("GET / HTTP/1.1\r\nAccept: */*") << QByteArray()
        << withChange(passAllRules(), {"Accept: x", "no colon here"})
        << bytes("GET / HTTP/1.1\r\nAccept: x\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("bad change entry not examined for a dropped line")
        << bytes("GET / HTTP/1.1\r\nConnection: close") << QByteArray()
        << withChange(onlyAllow({"Accept: *"}), {"no colon here"})
        << bytes("GET / HTTP/1.1\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("change does not touch the host capture")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:81") << QByteArray()
        << withChange(passAllRules(), {"Host: other.example:82"})
        << bytes("GET / HTTP/1.1\r\nHost: other.example:82\r\n\r\n") << bytes("h.example") << 81;

    QTest::newRow("allow patterns")
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\nConnection: keep-alive\r\n"
                 "accept-language: en\r\nAccept-Encoding:gzip\r\nX-Id: 12\r\nX-Id: 1a\r\n"
                 "X-Code: q\r\nX-Code: Z\r\nX-Code: 5")
        << QByteArray()
        << onlyAllow({"", "Host: *", "Accept-Language: *", "Accept-Encoding: *", "x-id: ##",
                      "X-Code: [!a-m]"})
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\naccept-language: en\r\nX-Id: 12\r\n"
                 "X-Code: q\r\nX-Code: Z\r\nX-Code: 5\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("allow pattern with question mark and range")
        << bytes("GET / HTTP/1.1\r\nX-A: 1\r\nX-B: 1\r\nX-CD: 1") << QByteArray()
        << onlyAllow({"x-?: [0-4]"}) << bytes("GET / HTTP/1.1\r\nX-A: 1\r\nX-B: 1\r\n\r\n")
        << QByteArray() << 80;
    QTest::newRow("ill-formed allow pattern passes nothing")
        << bytes("GET / HTTP/1.1\r\nX-A: [1\r\nX-B: b") << QByteArray()
        << onlyAllow({"X-A: [1", "x-b: [z-a]", "*[*"}) << bytes("GET / HTTP/1.1\r\n\r\n")
        << QByteArray() << 80;
    QTest::newRow("dropped host line still sets host")
        << bytes("GET http://h.example/ HTTP/1.1\r\nHost: h.example:8000\r\nAccept: */*")
        << QByteArray() << onlyAllow({"Accept: *"})
        << bytes("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n") << bytes("h.example") << 8000;
    // The headers that frame the body pass whatever the rules say: the origin must see the
    // body framed as the proxy streams it.
    QTest::newRow("empty allow list drops every header but the framing")
        << bytes("POST http://h.example/f HTTP/1.1\r\nHost: h.example\r\nContent-Length: 3\r\n"
                 "expect: 100-continue\r\nAccept: */*")
        << bytes("a=1") << withAdd(onlyAllow({}), {"Via: Vesktor 1.0"})
        << bytes("POST /f HTTP/1.1\r\nContent-Length: 3\r\nexpect: 100-continue\r\n"
                 "Via: Vesktor 1.0\r\n\r\na=1")
        << bytes("h.example") << 80;
    QTest::newRow("framing headers are not removed, replaced or added")
        << bytes("POST / HTTP/1.1\r\nHost: h.example\r\nTRANSFER-ENCODING: chunked") << QByteArray()
        << withAdd(withRemove(passAllRules(), {"Transfer-Encoding"}),
                   {"Content-Length: 0", "transfer-encoding : gzip", "Via: Vesktor 1.0"})
        << bytes("POST / HTTP/1.1\r\nHost: h.example\r\nTRANSFER-ENCODING: chunked\r\n"
                 "Via: Vesktor 1.0\r\n\r\n")
        << bytes("h.example") << 80;

    QTest::newRow("proxy-connection exact dropped, other cases kept")
        << bytes("GET / HTTP/1.1\r\nProxy-Connection: keep-alive\r\nproxy-connection: a\r\n"
                 "PROXY-CONNECTION: b\r\nProxy-Connection-X: c")
        << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nproxy-connection: a\r\nPROXY-CONNECTION: b\r\n"
                 "Proxy-Connection-X: c\r\n\r\n")
        << QByteArray() << 80;
    QTest::newRow("proxy-connection in other case removable by rule")
        << bytes("GET / HTTP/1.1\r\nproxy-connection: a") << QByteArray()
        << withRemove(passAllRules(), {"Proxy-Connection"}) << bytes("GET / HTTP/1.1\r\n\r\n")
        << QByteArray() << 80;
    QTest::newRow("remove matches whole name in any case")
        << bytes("GET / HTTP/1.1\r\nCOOKIE: a\r\nCookie2: b\r\nSet-Cookie: c\r\nCookie:d")
        << QByteArray() << withRemove(passAllRules(), {"", "cookie"})
        << bytes("GET / HTTP/1.1\r\nCookie2: b\r\nSet-Cookie: c\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("remove entry with trailing blank")
        << bytes("GET / HTTP/1.1\r\nUser-Agent: U") << QByteArray()
        << withRemove(passAllRules(), {"User-Agent "})
        << bytes("GET / HTTP/1.1\r\nUser-Agent: U\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("unticked rules do nothing")
        << bytes("GET / HTTP/1.1\r\nCookie: a") << QByteArray() <<
        [] {
            HeaderRules rules = passAllRules();
            rules.removeEntries = {"Cookie"};
            rules.changeEntries = {"Cookie: b"};
            rules.addEntries = {"Via: x"};
            return rules;
        }()
        << bytes("GET / HTTP/1.1\r\nCookie: a\r\n\r\n") << QByteArray() << 80;

    QTest::newRow("added lines appended even when present")
        << bytes("GET / HTTP/1.1\r\nVia: 1.1 other\r\nHost: h.example") << QByteArray()
        << withAdd(withRemove(passAllRules(), {"Via"}), {"Via: Vesktor 1.0", "", "Via: again"})
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\nVia: Vesktor 1.0\r\nVia: again\r\n\r\n")
        << bytes("h.example") << 80;

    QTest::newRow("body appended unchanged")
        << bytes("POST http://h.example/f HTTP/1.1\r\nHost: h.example\r\nContent-Length: 14")
        << bytes("a\r\n\r\nGET \x00\xff http://") << withRemove(passAllRules(), {"Content-Length"})
        << bytes("POST /f HTTP/1.1\r\nHost: h.example\r\nContent-Length: 14\r\n\r\n"
                 "a\r\n\r\nGET \x00\xff http://")
        << bytes("h.example") << 80;

    QTest::newRow("empty value header forwarded")
        << bytes("GET / HTTP/1.1\r\nX-Empty:\r\nX-Blank: ") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nX-Empty:\r\nX-Blank: \r\n\r\n") << QByteArray() << 80;
    QTest::newRow("empty value header goes through rules")
        << bytes("GET / HTTP/1.1\r\nX-Empty:\r\nX-Other:") << QByteArray()
        << withChange(withRemove(passAllRules(), {"x-other"}), {"x-empty: filled"})
        << bytes("GET / HTTP/1.1\r\nx-empty: filled\r\n\r\n") << QByteArray() << 80;
    QTest::newRow("line without colon dropped")
        << bytes("GET / HTTP/1.1\r\nHost: h.example\r\nnot a header\r\nAccept: */*") << QByteArray()
        << passAllRules() << bytes("GET / HTTP/1.1\r\nHost: h.example\r\nAccept: */*\r\n\r\n")
        << bytes("h.example") << 80;
    QTest::newRow("empty header line skipped")
        << bytes("GET / HTTP/1.1\r\n\r\nAccept: */*") << QByteArray() << passAllRules()
        << bytes("GET / HTTP/1.1\r\nAccept: */*\r\n\r\n") << QByteArray() << 80;
}

void TestRequestRewriter::rewrites()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, body);
    QFETCH(HeaderRules, rules);
    QFETCH(QByteArray, expectedRequest);
    QFETCH(QByteArray, expectedHost);
    QFETCH(int, expectedPort);

    // The body is streamed after the head; the rows give what reaches the origin in all.
    const RewrittenRequest result = rewriteRequest(parseRequestHead(header), rules, {});
    QVERIFY(result.isForwardable);
    QVERIFY(!result.isTunnel);
    QCOMPARE(result.head + body, expectedRequest);
    QCOMPARE(result.host, expectedHost);
    QCOMPARE(int(result.port), expectedPort);
    QCOMPARE(result.method, header.trimmed().left(header.trimmed().indexOf(' ')));
}

void TestRequestRewriter::failures_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<HeaderRules>("rules");

    // Added lines would be gathered before most failures; none of them may be sent.
    const HeaderRules rules = withAdd(passAllRules(), {"Via: Vesktor 1.0"});

    QTest::newRow("empty header block") << QByteArray() << rules;

    QTest::newRow("port not a number") << bytes("GET / HTTP/1.1\r\nHost: h.example:http") << rules;
    QTest::newRow("port empty") << bytes("GET / HTTP/1.1\r\nHost: h.example:") << rules;
    QTest::newRow("port only blanks") << bytes("GET / HTTP/1.1\r\nHost: h.example: \t") << rules;
    QTest::newRow("port 0") << bytes("GET / HTTP/1.1\r\nHost: h.example:0") << rules;
    QTest::newRow("port 65536") << bytes("GET / HTTP/1.1\r\nHost: h.example:65536") << rules;
    QTest::newRow("port far too big")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:99999999999999999999999") << rules;
    QTest::newRow("port with sign") << bytes("GET / HTTP/1.1\r\nHost: h.example:+80") << rules;
    QTest::newRow("port negative") << bytes("GET / HTTP/1.1\r\nHost: h.example:-80") << rules;
    QTest::newRow("port with fraction") << bytes("GET / HTTP/1.1\r\nHost: h.example:80.0") << rules;
    QTest::newRow("port with inner blank")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:8 080") << rules;
    QTest::newRow("port in hex") << bytes("GET / HTTP/1.1\r\nHost: h.example:0x50") << rules;
    QTest::newRow("ipv6 unclosed") << bytes("GET / HTTP/1.1\r\nHost: [::1") << rules;
    QTest::newRow("ipv6 junk after bracket") << bytes("GET / HTTP/1.1\r\nHost: [::1]80") << rules;
    QTest::newRow("ipv6 empty port") << bytes("GET / HTTP/1.1\r\nHost: [::1]:") << rules;

    QTest::newRow("request line without blank") << bytes("GET\r\nHost: h.example") << rules;
    QTest::newRow("request line with one blank")
        << bytes("GET http://h.example/\r\nHost: h.example:81") << rules;
    QTest::newRow("request line only blanks") << bytes("   \r\nHost: h.example") << rules;
    QTest::newRow("request line empty") << bytes("\r\nHost: h.example") << rules;

    QTest::newRow("change entry without colon")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:81\r\nAccept: */*")
        << withChange(rules, {"Accept"});
    QTest::newRow("change entry without colon before the match")
        << bytes("GET / HTTP/1.1\r\nAccept: */*")
        << withChange(rules, {"", "Referer: x", "bogus", "Accept: y"});
}

void TestRequestRewriter::failures()
{
    QFETCH(QByteArray, header);
    QFETCH(HeaderRules, rules);

    const RewrittenRequest result = rewriteRequest(parseRequestHead(header), rules, {});
    QVERIFY(!result.isForwardable);
    QVERIFY(result.head.isEmpty());
}

void TestRequestRewriter::logsHeaderLines_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<HeaderRules>("rules");
    QTest::addColumn<bool>("expectedResult");
    QTest::addColumn<QList<QByteArray>>("expectedLog");

    QTest::newRow("worked example")
        << bytes("GET http://www.h.example/a.html HTTP/1.1\r\nHost: www.h.example\r\n"
                 "User-Agent: U\r\nAccept: */*\r\nCookie: C\r\nProxy-Connection: keep-alive")
        << defaultRules() << true
        << QList<QByteArray>{"Host: www.h.example", "User-Agent: U", "Accept: */*", "Cookie: C",
                             "Proxy-Connection: keep-alive"};
    QTest::newRow("dropped, empty and odd lines logged as received")
        << bytes("GET / HTTP/1.1\r\n\r\nno colon\r\nX-Empty:\r\nConnection: close\r\n a\rb ")
        << onlyAllow({}) << true
        << QList<QByteArray>{"", "no colon", "X-Empty:", "Connection: close", " a\rb "};
    QTest::newRow("request line only")
        << bytes("GET / HTTP/1.1") << defaultRules() << true << QList<QByteArray>{};
    QTest::newRow("all lines logged before a port failure")
        << bytes("GET / HTTP/1.1\r\nHost: h.example:0\r\nAccept: */*") << defaultRules() << false
        << QList<QByteArray>{"Host: h.example:0", "Accept: */*"};
    QTest::newRow("logging stops at a bad change entry")
        << bytes("GET / HTTP/1.1\r\nAccept: */*\r\nHost: h.example")
        << withChange(passAllRules(), {"bogus"}) << false << QList<QByteArray>{"Accept: */*"};
}

void TestRequestRewriter::logsHeaderLines()
{
    QFETCH(QByteArray, header);
    QFETCH(HeaderRules, rules);
    QFETCH(bool, expectedResult);
    QFETCH(QList<QByteArray>, expectedLog);

    QList<QByteArray> logged;
    const RewrittenRequest result =
        rewriteRequest(parseRequestHead(header), rules,
                       [&logged](const QByteArray &line) { logged.append(line); });
    QCOMPARE(result.isForwardable, expectedResult);
    QCOMPARE(logged, expectedLog);
}

void TestRequestRewriter::worksWithoutLogSink()
{
    // Logging off: an empty sink must simply not be called.
    const RewrittenRequest result =
        rewriteRequest(parseRequestHead("GET http://h.example/ HTTP/1.1\r\nHost: h.example"),
                       defaultRules(), HeaderLogSink());
    QVERIFY(result.isForwardable);
    QCOMPARE(result.head, QByteArray("GET / HTTP/1.1\r\nHost: h.example\r\n\r\n"));
}

void TestRequestRewriter::connectRequests_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("forwardable");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");

    QTest::newRow("name and port")
        << QByteArray("CONNECT www.h.example:443 HTTP/1.1\r\nHost: www.h.example:443\r\n"
                      "User-Agent: U")
        << true << QByteArray("www.h.example") << 443;
    QTest::newRow("IPv6 literal") << QByteArray("CONNECT [::1]:8443 HTTP/1.1") << true
                                  << QByteArray("[::1]") << 8443;
    QTest::newRow("highest port") << QByteArray("CONNECT h:65535 HTTP/1.1") << true
                                  << QByteArray("h") << 65535;
    QTest::newRow("no port") << QByteArray("CONNECT h HTTP/1.1") << false << QByteArray() << 7;
    QTest::newRow("empty port") << QByteArray("CONNECT h: HTTP/1.1") << false << QByteArray("h")
                                << 7;
    QTest::newRow("port 0") << QByteArray("CONNECT h:0 HTTP/1.1") << false << QByteArray("h") << 7;
    QTest::newRow("port too large")
        << QByteArray("CONNECT h:65536 HTTP/1.1") << false << QByteArray("h") << 7;
    QTest::newRow("bare IPv6 without brackets")
        << QByteArray("CONNECT ::1:443 HTTP/1.1") << false << QByteArray() << 7;
    QTest::newRow("no host") << QByteArray("CONNECT :443 HTTP/1.1") << false << QByteArray() << 7;
    QTest::newRow("no version") << QByteArray("CONNECT h:443") << false << QByteArray() << 7;
    QTest::newRow("bare line feed in the host")
        << QByteArray("CONNECT h\nx:443 HTTP/1.1") << false << QByteArray() << 7;
    QTest::newRow("control byte in the host")
        << QByteArray("CONNECT h\x01:443 HTTP/1.1") << false << QByteArray() << 7;
}

// A tunnel request passes no header rule and sends nothing upstream; its target names the
// host and the (required) port.
void TestRequestRewriter::connectRequests()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, forwardable);
    QFETCH(QByteArray, host);
    QFETCH(int, port);

    QList<QByteArray> logged;
    HeaderRules rules = withAdd(onlyAllow({}), {"Via: Vesktor 1.0"});
    const RewrittenRequest result =
        rewriteRequest(parseRequestHead(header), rules,
                       [&logged](const QByteArray &line) { logged.append(line); });

    QCOMPARE(result.isForwardable, forwardable);
    QVERIFY(result.isTunnel);
    QVERIFY(result.head.isEmpty());
    if (forwardable) {
        QCOMPARE(result.host, host);
        QCOMPARE(int(result.port), port);
    }
    QCOMPARE(logged, ::splitEntries(header).mid(1));
}

// "connect" in another letter case is not a tunnel request; it is rewritten like any other.
void TestRequestRewriter::connectIsExactMethod()
{
    const RewrittenRequest result = rewriteRequest(
        parseRequestHead("connect http://h/ HTTP/1.1\r\nHost: h"), passAllRules(), {});
    QVERIFY(result.isForwardable);
    QVERIFY(!result.isTunnel);
    QCOMPARE(result.head, QByteArray("connect / HTTP/1.1\r\nHost: h\r\n\r\n"));
}

void TestRequestRewriter::asksForUpgradeAsSent_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<HeaderRules>("rules");
    QTest::addColumn<bool>("asks");

    QTest::newRow("websocket") << bytes("Connection: Upgrade\r\nUpgrade: websocket")
                               << passAllRules() << true;
    QTest::newRow("upgrade among options, any case")
        << bytes("Connection: keep-alive, UPGRADE\r\nupgrade: h2c") << passAllRules() << true;
    QTest::newRow("no Upgrade header") << bytes("Connection: upgrade") << passAllRules() << false;
    QTest::newRow("Connection removed by a rule")
        << bytes("Connection: Upgrade\r\nUpgrade: websocket")
        << withRemove(passAllRules(), {"Connection"}) << false;
    QTest::newRow("another option")
        << bytes("Connection: upgradex\r\nUpgrade: websocket") << passAllRules() << false;
    QTest::newRow("blanks and tabs around an option")
        << bytes("Connection: keep-alive ,\t upgrade\t\r\nUpgrade: websocket") << passAllRules()
        << true;
    // Only blanks and tabs surround a list element in HTTP: an origin reads "upgrade\v" as
    // another option.
    QTest::newRow("vertical tab after the option")
        << bytes("Connection: upgrade\v\r\nUpgrade: websocket") << passAllRules() << false;
}

// A 101 answer makes a tunnel only for a request that asked for it as it went upstream.
void TestRequestRewriter::asksForUpgradeAsSent()
{
    QFETCH(QByteArray, headers);
    QFETCH(HeaderRules, rules);
    QFETCH(bool, asks);

    const RewrittenRequest result = rewriteRequest(
        parseRequestHead("GET http://h.example/ HTTP/1.1\r\nHost: h.example\r\n" + headers), rules,
        {});
    QVERIFY(result.isForwardable);
    QCOMPARE(result.asksForUpgrade, asks);
}

QTEST_APPLESS_MAIN(TestRequestRewriter)
#include "test_request_rewriter.moc"
