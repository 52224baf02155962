// Collecting a browser's request chunk by chunk, and reading its Content-Length.
#include <QTest>

#include "net/proxy_connection.h"
#include "net/request_reception.h"

class TestRequestReception : public QObject {
    Q_OBJECT
private slots:
    void contentLengthOf_data();
    void contentLengthOf();
    void collectChunk_data();
    void collectChunk();
    void nextRequestStartsFromScratch();
    void recordIsReusedAfterAReset();
};

void TestRequestReception::contentLengthOf_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<qint32>("expected");

    const QByteArray line = "POST /form HTTP/1.1\r\nHost: example.test\r\n";
    QTest::newRow("mixed case, one blank") << line + "Content-Length: 10" << 10;
    QTest::newRow("capitals") << line + "CONTENT-LENGTH: 10" << 10;
    QTest::newRow("lower case") << line + "content-length: 10" << 10;
    QTest::newRow("no blank after the colon, four digits") << line + "Content-Length:1234" << 1234;
    QTest::newRow("no blank after the colon, one digit") << line + "Content-Length:7" << 7;
    QTest::newRow("two blanks") << line + "Content-Length:  6" << 6;
    QTest::newRow("tabs and trailing blanks") << line + "Content-Length:\t 42 \t" << 42;
    QTest::newRow("not the last line")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 5\r\nHost: example.test") << 5;
    QTest::newRow("X-Content-Length before the real one")
        << line + "X-Content-Length: 3\r\nContent-Length: 8" << 8;
    QTest::newRow("only X-Content-Length") << line + "X-Content-Length: 3" << 0;
    QTest::newRow("name inside another header's value")
        << line + "X-Note: Content-Length: 9\r\nContent-Length: 4" << 4;
    QTest::newRow("name in the request line")
        << QByteArray("GET /content-length: 55 HTTP/1.1\r\nHost: example.test") << 0;
    QTest::newRow("first of two wins") << line + "Content-Length: 4\r\nContent-Length: 9" << 4;
    QTest::newRow("blank before the colon is another name") << line + "Content-Length : 10" << 0;
    QTest::newRow("no colon on its line") << line + "Content-Length 10\r\nX-A: 5" << 0;
    QTest::newRow("absent") << line + "Accept: */*" << 0;
    QTest::newRow("empty block") << QByteArray() << 0;
    QTest::newRow("only a request line") << QByteArray("GET / HTTP/1.1") << 0;
    QTest::newRow("empty value") << line + "Content-Length:" << 0;
    QTest::newRow("blank value") << line + "Content-Length:   " << 0;
    QTest::newRow("negative") << line + "Content-Length: -5" << 0;
    QTest::newRow("explicit plus") << line + "Content-Length: +12" << 12;
    QTest::newRow("not a number") << line + "Content-Length: ten" << 0;
    QTest::newRow("trailing garbage") << line + "Content-Length: 12abc" << 0;
    QTest::newRow("fraction rounds down") << line + "Content-Length: 10.4" << 10;
    QTest::newRow("fraction rounds up") << line + "Content-Length: 10.6" << 11;
    QTest::newRow("largest 32-bit") << line + "Content-Length: 2147483647" << 2147483647;
    QTest::newRow("one past 32-bit") << line + "Content-Length: 2147483648" << 0;
    QTest::newRow("far too large") << line + "Content-Length: 99999999999999999999" << 0;
    QTest::newRow("leading zeros") << line + "Content-Length: 0007" << 7;
}

void TestRequestReception::contentLengthOf()
{
    QFETCH(QByteArray, header);
    QFETCH(qint32, expected);
    QCOMPARE(::contentLengthOf(header), expected);
}

void TestRequestReception::collectChunk_data()
{
    // Each row feeds its chunks one by one into a fresh record. completions has one character
    // per chunk: '+' where collectChunk must report the request complete, '-' where not.
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QByteArray>("completions");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<qint32>("contentLength");

    const QByteArray get = "GET / HTTP/1.1\r\nHost: a.test";
    const QByteArray post = "POST /p HTTP/1.1\r\nHost: a.test\r\nContent-Length: 10";

    QTest::newRow("GET in one chunk")
        << QByteArrayList{get + "\r\n\r\n"} << QByteArray("+") << get << QByteArray() << 0;
    QTest::newRow("POST header, then 4, then 6")
        << QByteArrayList{post + "\r\n\r\n", "abcd", "efghij"} << QByteArray("--+") << post
        << QByteArray("abcdefghij") << 10;
    QTest::newRow("POST with its body in one chunk")
        << QByteArrayList{post + "\r\n\r\nabcdefghij"} << QByteArray("+") << post
        << QByteArray("abcdefghij") << 10;
    QTest::newRow("body longer than announced keeps the surplus")
        << QByteArrayList{post + "\r\n\r\nabcd", "efghijKLM"} << QByteArray("-+") << post
        << QByteArray("abcdefghijKLM") << 10;
    QTest::newRow("two requests in one chunk: the second is the first's body")
        << QByteArrayList{get + "\r\n\r\n" + get + "\r\n\r\n"} << QByteArray("+") << get
        << get + "\r\n\r\n"
        << 0;
    QTest::newRow("negative length counts as no body")
        << QByteArrayList{"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n"} << QByteArray("+")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: -5") << QByteArray() << 0;
    QTest::newRow("announced length never reached")
        << QByteArrayList{post + "\r\n\r\n", "abcde"} << QByteArray("--") << post
        << QByteArray("abcde") << 10;
    QTest::newRow("header block split inside a line")
        << QByteArrayList{"GET / HTTP/1.1\r\nHo", "st: a.test\r\n\r\n"} << QByteArray("-+") << get
        << QByteArray() << 0;
    QTest::newRow("end of header split 1 + 3")
        << QByteArrayList{get + "\r", "\n\r\n"} << QByteArray("-+") << get << QByteArray() << 0;
    QTest::newRow("end of header split 2 + 2")
        << QByteArrayList{get + "\r\n", "\r\n"} << QByteArray("-+") << get << QByteArray() << 0;
    QTest::newRow("end of header split 3 + 1")
        << QByteArrayList{get + "\r\n\r", "\n"} << QByteArray("-+") << get << QByteArray() << 0;
    QTest::newRow("end of header over three chunks")
        << QByteArrayList{get + "\r", "\n\r", "\n"} << QByteArray("--+") << get << QByteArray()
        << 0;
    QTest::newRow("split Content-Length name, body after the header end")
        << QByteArrayList{"POST / HTTP/1.1\r\nContent-Le", "ngth: 3\r\n\r\nab", "c"}
        << QByteArray("--+") << QByteArray("POST / HTTP/1.1\r\nContent-Length: 3")
        << QByteArray("abc") << 3;
    QTest::newRow("lone CR LF pairs do not end the header")
        << QByteArrayList{"GET / HTTP/1.1\r\n", "Host: a.test\r\n", "\r\n"} << QByteArray("--+")
        << get << QByteArray() << 0;
    QTest::newRow("empty header block") << QByteArrayList{"\r\n\r\nxyz"} << QByteArray("+")
                                        << QByteArray() << QByteArray("xyz") << 0;
    QTest::newRow("no blank after the colon reads all four digits")
        << QByteArrayList{"POST / HTTP/1.1\r\nContent-Length:1234\r\n\r\n" + QByteArray(1000, 'x'),
                          QByteArray(234, 'y')}
        << QByteArray("-+") << QByteArray("POST / HTTP/1.1\r\nContent-Length:1234")
        << QByteArray(1000, 'x') + QByteArray(234, 'y') << 1234;
}

void TestRequestReception::collectChunk()
{
    QFETCH(QByteArrayList, chunks);
    QFETCH(QByteArray, completions);
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, body);
    QFETCH(qint32, contentLength);
    QCOMPARE(completions.size(), chunks.size());

    ProxyConnection record;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        const bool isComplete = ::collectChunk(record, chunks.at(i));
        QVERIFY2(isComplete == (completions.at(i) == '+'),
                 qPrintable(QStringLiteral("chunk %1").arg(i)));
        // While a request is open the next chunk continues it; once complete, it starts anew.
        QCOMPARE(record.isReceivingBody, !isComplete);
    }
    QCOMPARE(record.strHeader, header);
    QCOMPARE(record.strBody, body);
    QCOMPARE(record.lngContentLength, contentLength);
}

// After a complete request the record still holds it (it is being rewritten and sent); the
// next chunk must not inherit its header, body or length.
void TestRequestReception::nextRequestStartsFromScratch()
{
    ProxyConnection record;
    QVERIFY(::collectChunk(record, "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"));
    QCOMPARE(record.strBody, QByteArray("abc"));

    QVERIFY(!::collectChunk(record, "GET /b HTTP/1.1\r\nHost: b"));
    QVERIFY(record.isReceivingBody);
    QVERIFY(::collectChunk(record, ".test\r\n\r\n"));
    QCOMPARE(record.strHeader, QByteArray("GET /b HTTP/1.1\r\nHost: b.test"));
    QCOMPARE(record.strBody, QByteArray());
    QCOMPARE(record.lngContentLength, 0);

    QVERIFY(!::collectChunk(record, "PUT /c HTTP/1.1\r\nContent-Length: 2\r\n\r\n"));
    QVERIFY(::collectChunk(record, "zz"));
    QCOMPARE(record.strBody, QByteArray("zz"));
    QCOMPARE(record.lngContentLength, 2);
}

// A reset slot is a default record; half a header collected before the reset is gone.
void TestRequestReception::recordIsReusedAfterAReset()
{
    ProxyConnection record;
    QVERIFY(!::collectChunk(record, "GET /half HTTP/1.1\r\nHo"));
    record = ProxyConnection();
    QVERIFY(::collectChunk(record, "GET /new HTTP/1.1\r\nHost: n.test\r\n\r\n"));
    QCOMPARE(record.strHeader, QByteArray("GET /new HTTP/1.1\r\nHost: n.test"));
}

QTEST_APPLESS_MAIN(TestRequestReception)
#include "test_request_reception.moc"
