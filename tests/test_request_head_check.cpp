// The strict request head check, over head blocks as MessageHead gives them.
#include <QTest>

#include "net/http/request_head_check.h"

class TestRequestHeadCheck : public QObject {
    Q_OBJECT
private slots:
    void requestHeadFault_data();
    void requestHeadFault();
};

void TestRequestHeadCheck::requestHeadFault_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<int>("fault");

    const QByteArray get = "GET http://a.test/ HTTP/1.1\r\n";
    const auto accepted = [](const char *name, const QByteArray &block) {
        QTest::newRow(name) << block << int(RequestHeadFault::None);
    };
    const auto refused = [](const char *name, const QByteArray &block, RequestHeadFault fault) {
        QTest::newRow(name) << block << int(fault);
    };

    accepted("plain", get + "Host: a.test\r\nAccept: */*");
    accepted("request line alone", "GET / HTTP/1.1");
    accepted("no Host", get + "Accept: */*");
    accepted("Host with a port, blanks and tabs around", get + "Host: \t a.test:8080 \t");
    accepted("Host in any letter case", get + "hOST: A.Test");
    accepted("Host of letters, digits, '-' and '_'", get + "Host: my_host-1.example");
    accepted("IPv4 Host", get + "Host: 192.0.2.1:80");
    accepted("IPv6 Host", get + "Host: [2001:db8::1]:443");
    accepted("IPv4-mapped IPv6 Host", get + "Host: [::ffff:192.0.2.1]");
    accepted("CONNECT", "CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443");
    accepted("HTTP/1.0 with a length", "POST / HTTP/1.0\r\nContent-Length: 5");
    accepted("Transfer-Encoding in HTTP/1.1", get + "Transfer-Encoding: chunked");
    accepted("every token character in a name", get + "!#$%&'*+-.^_`|~09azAZ: v");
    accepted("empty value", get + "X-A:");
    accepted("other control bytes in a value", get + "X-A: a\x01\x1b\x7f"
                                                     "b");
    accepted("UTF-8 in the target and a value", "GET /\xC3\xA9 HTTP/1.1\r\nX-A: \xE2\x82\xAC");
    accepted("Proxy-Connection", get + "Proxy-Connection: keep-alive");

    refused("bare LF", "GET / HTTP/1.1\nHost: a.test", RequestHeadFault::LineEnd);
    refused("CR inside a value", get + "X-A: a\rb", RequestHeadFault::LineEnd);
    refused("CR at the end", get + "X-A: a\r", RequestHeadFault::LineEnd);
    refused("NUL in a value", get + QByteArray("X-A: a\0b", 8), RequestHeadFault::LineEnd);
    refused("NUL in the target", QByteArray("GET /\0 HTTP/1.1", 15), RequestHeadFault::LineEnd);

    refused("empty", "", RequestHeadFault::RequestLine);
    refused("blank after the version", "GET / HTTP/1.1 ", RequestHeadFault::RequestLine);
    refused("blank before the method", " GET / HTTP/1.1", RequestHeadFault::RequestLine);
    refused("two blanks after the method", "GET  / HTTP/1.1", RequestHeadFault::RequestLine);
    refused("two blanks before the version", "GET /  HTTP/1.1", RequestHeadFault::RequestLine);
    refused("blank inside the target", "GET /a b HTTP/1.1", RequestHeadFault::RequestLine);
    refused("tab for a blank", "GET\t/ HTTP/1.1", RequestHeadFault::RequestLine);
    refused("lower-case version", "GET / http/1.1", RequestHeadFault::RequestLine);
    refused("version without its minor", "GET / HTTP/1", RequestHeadFault::RequestLine);
    refused("version of two digits", "GET / HTTP/1.10", RequestHeadFault::RequestLine);
    refused("no target", "GET HTTP/1.1", RequestHeadFault::RequestLine);
    refused("no version", "GET /", RequestHeadFault::RequestLine);
    refused("method with a non-token character", "GE(T / HTTP/1.1", RequestHeadFault::RequestLine);
    refused("control byte in the target", "GET /\x01 HTTP/1.1", RequestHeadFault::RequestLine);

    refused("Transfer-Encoding in HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked",
            RequestHeadFault::TransferEncodingBeforeHttp11);
    refused("Transfer-Encoding in any letter case in HTTP/1.0",
            "POST / HTTP/1.0\r\ntransfer-ENCODING: gzip",
            RequestHeadFault::TransferEncodingBeforeHttp11);
    refused("HTTP/0.9", "GET / HTTP/0.9", RequestHeadFault::Version);
    refused("HTTP/1.2", "GET / HTTP/1.2\r\nHost: a.test", RequestHeadFault::Version);
    refused("HTTP/2.0", "GET / HTTP/2.0\r\nHost: a.test", RequestHeadFault::Version);
    refused("HTTP/9.9", "GET / HTTP/9.9\r\nHost: a.test", RequestHeadFault::Version);
    refused("HTTP/2 preface", "PRI * HTTP/2.0", RequestHeadFault::Version);

    refused("blank before the colon", get + "Host : a.test", RequestHeadFault::BlankBeforeColon);
    refused("tab before the colon", get + "Content-Length\t: 5",
            RequestHeadFault::BlankBeforeColon);
    refused("blank before the colon of any header", get + "X-Other : v",
            RequestHeadFault::BlankBeforeColon);

    refused("folded with a blank", get + "X-A: b\r\n c", RequestHeadFault::ObsoleteFolding);
    refused("folded with a tab", get + "X-A: b\r\n\tc", RequestHeadFault::ObsoleteFolding);

    refused("no colon", get + "NoColon", RequestHeadFault::HeaderName);
    refused("empty name", get + ": v", RequestHeadFault::HeaderName);
    refused("non-token name", get + "X(A): v", RequestHeadFault::HeaderName);
    refused("UTF-8 in a name", get + "X\xC3\xA9: v", RequestHeadFault::HeaderName);

    refused("two Host lines", get + "Host: a.test\r\nHost: a.test",
            RequestHeadFault::DuplicateHost);
    refused("two Host lines in other letter cases", get + "host: a.test\r\nHOST: b.test",
            RequestHeadFault::DuplicateHost);

    const auto badHost = [&get, &refused](const char *name, const QByteArray &value) {
        refused(name, get + "Host:" + value, RequestHeadFault::HostValue);
    };
    badHost("empty Host", "");
    badHost("blank Host", " \t ");
    badHost("blank inside the Host", " a test");
    badHost("user in the Host", " user@a.test");
    badHost("path in the Host", " a.test/x");
    badHost("colon without a port", " a.test:");
    badHost("port with a letter", " a.test:8o");
    badHost("two ports", " a.test:80:80");
    badHost("IPv6 without brackets", " 2001:db8::1");
    badHost("IPv6 without its closing bracket", " [2001:db8::1");
    badHost("brackets around a name", " [a.test]");
    badHost("IPv6 with a zone", " [fe80::1%25eth0]");
    badHost("IPv6 with a bad group", " [2001:db8::12345]");
    badHost("bytes after the brackets", " [::1]x");
}

void TestRequestHeadCheck::requestHeadFault()
{
    QFETCH(QByteArray, block);
    QFETCH(int, fault);
    const RequestHead head = parseRequestHead(block);
    QCOMPARE(int(::requestHeadFault(head)), fault);
    QCOMPARE(isStrictRequestHead(head), fault == int(RequestHeadFault::None));
}

QTEST_APPLESS_MAIN(TestRequestHeadCheck)
#include "test_request_head_check.moc"
