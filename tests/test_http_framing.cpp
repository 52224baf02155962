// HTTP/1.1 message framing: message heads, request body framing, chunked bodies and response
// streams. Every stream is fed whole, byte by byte and cut in two at many positions, and must
// give the same result each way.
#include <QTest>

#include "net/http/http_framing.h"

namespace {

constexpr qsizetype kRequestHeadLimit = 256 * 1024;
const QByteArray kNextResponse = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";

// Piece lengths: whole, byte by byte, and in two at every position (at about 300 positions for
// long streams, to keep the run short).
QList<QList<qsizetype>> cutsOf(qsizetype size)
{
    QList<QList<qsizetype>> cuts{{size}, QList<qsizetype>(size, 1)};
    const qsizetype step = size > 300 ? size / 300 + 1 : 1;
    for (qsizetype at = 1; at < size; at += step)
        cuts.append({at, size - at});
    return cuts;
}

// Offers every piece in turn, also after the framer has stopped taking, and adds up what it took.
template <typename Framer>
qsizetype feed(Framer &framer, const QByteArray &stream, const QList<qsizetype> &pieces)
{
    qsizetype position = 0;
    qsizetype taken = 0;
    for (const qsizetype length : pieces) {
        taken += framer.take(stream.constData() + position, length);
        position += length;
    }
    return taken;
}

} // namespace

class TestHttpFraming : public QObject {
    Q_OBJECT
private slots:
    void messageHead_data();
    void messageHead();
    void requestBodyFraming_data();
    void requestBodyFraming();
    void chunkedBody_data();
    void chunkedBody();
    void responseFramer_data();
    void responseFramer();
};

void TestHttpFraming::messageHead_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<int>("state");
    QTest::addColumn<qsizetype>("taken");
    QTest::addColumn<QByteArray>("block");

    const QByteArray get = "GET / HTTP/1.1\r\nHost: a.test";
    QTest::newRow("body after the head is left")
        << get + "\r\n\r\nBODY" << int(MessageHead::Complete) << get.size() + 4 << get;
    QTest::newRow("empty lines before the start line are dropped")
        << "\r\n\r\n" + get + "\r\n\r\nX" << int(MessageHead::Complete) << get.size() + 8 << get;
    QTest::newRow("bare LF empty lines before the start line are dropped")
        << "\n\r\n\n" + get + "\r\n\r\n"
        << int(MessageHead::Complete) << get.size() + 8 << get;
    QTest::newRow("unfinished") << get + "\r\n\r" << int(MessageHead::Partial) << get.size() + 3
                                << QByteArray();
    // A malformed head is given up at the byte that shows it (whatever comes later is taken
    // and dropped): the row's count is what one piece holding the whole stream takes.
    const auto malformed = [](const char *name, const QByteArray &stream, qsizetype taken) {
        QTest::newRow(name) << stream << int(MessageHead::Malformed) << taken << QByteArray();
    };
    malformed("lines ending in bare LFs", "GET / HTTP/1.1\n\nX", 15);
    malformed("bare LF after a header line", get + "\nX: 1\r\n\r\n", get.size() + 1);
    malformed("bare LF ending the head", get + "\r\n\n", get.size() + 3);
    malformed("CR inside a header line", get + "\r\nX: a\rb\r\n\r\n", get.size() + 8);
    malformed("CR CR LF", get + "\r\r\n\r\n", get.size() + 2);
    malformed("CR ending no empty line before the start line", "\r\n\r" + get + "\r\n\r\n", 4);
    malformed("NUL in the start line", QByteArray("GET /\0 HTTP/1.1\r\n\r\n", 19), 6);
    malformed("NUL as the first byte", QByteArray("\0GET / HTTP/1.1\r\n\r\n", 19), 1);
    malformed("NUL in a header value", get + QByteArray("\r\nX: \0\r\n\r\n", 10), get.size() + 6);
    // The exact limit, also when the end arrives in the piece that crosses it.
    const QByteArray fill = "POST / HTTP/1.1\r\nX-Fill: ";
    const QByteArray atLimit = fill + QByteArray(kRequestHeadLimit - fill.size() - 4, 'a');
    QTest::newRow("256 KiB head") << atLimit + "\r\n\r\nNEXT" << int(MessageHead::Complete)
                                  << kRequestHeadLimit << atLimit;
    QTest::newRow("256 KiB head after empty lines")
        << "\r\n" + atLimit + "\r\n\r\n"
        << int(MessageHead::Complete) << kRequestHeadLimit + 2 << atLimit;
    QTest::newRow("one byte over") << atLimit + "a\r\n\r\nNEXT" << int(MessageHead::TooLarge)
                                   << kRequestHeadLimit << QByteArray();
    QTest::newRow("only empty lines")
        << QByteArray("\r\n\r\n\r") << int(MessageHead::Empty) << qsizetype(5) << QByteArray();
    QTest::newRow("only bare LF empty lines")
        << QByteArray("\n\n\r\n\n") << int(MessageHead::Empty) << qsizetype(5) << QByteArray();
}

void TestHttpFraming::messageHead()
{
    QFETCH(QByteArray, stream);
    QFETCH(int, state);
    QFETCH(qsizetype, taken);
    QFETCH(QByteArray, block);
    const bool isMalformed = state == MessageHead::Malformed;
    for (const QList<qsizetype> &pieces : cutsOf(stream.size())) {
        MessageHead head(kRequestHeadLimit);
        // What a malformed head takes after its bad byte depends on the pieces; see below.
        const qsizetype fed = feed(head, stream, pieces);
        if (!isMalformed)
            QCOMPARE(fed, taken);
        QCOMPARE(int(head.state()), state);
        QCOMPARE(head.hasBegun(), state != MessageHead::Empty);
        if (state == MessageHead::Complete)
            QCOMPARE(head.block(), block);
    }
    if (isMalformed) {
        // Given up at the bad byte, not later: byte by byte, the state changes right there.
        MessageHead head(kRequestHeadLimit);
        QCOMPARE(head.take(stream.constData(), stream.size()), taken);
        MessageHead byByte(kRequestHeadLimit);
        for (qsizetype at = 0; at < taken - 1; ++at)
            byByte.take(stream.constData() + at, 1);
        QVERIFY(byByte.state() != MessageHead::Malformed);
        byByte.take(stream.constData() + taken - 1, 1);
        QCOMPARE(int(byByte.state()), state);
        QCOMPARE(byByte.take(stream.constData() + taken, stream.size() - taken),
                 stream.size() - taken);
    }
}

void TestHttpFraming::requestBodyFraming_data()
{
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("isFramed");
    QTest::addColumn<int>("kind");
    QTest::addColumn<quint64>("length");

    const auto post = [](const QByteArray &lines) {
        return "POST /up HTTP/1.1\r\nHost: a.test\r\n" + lines;
    };
    const auto framed = [&post](const char *name, const QByteArray &lines, int kind,
                                quint64 length = 0) {
        QTest::newRow(name) << post(lines) << true << kind << length;
    };
    const auto refused = [&post](const char *name, const QByteArray &lines) {
        QTest::newRow(name) << post(lines) << false << int(BodyFraming::None) << quint64(0);
    };
    framed("no framing header", "Accept: */*", BodyFraming::None);
    framed("X-Content-Length is another header", "X-Content-Length: 5", BodyFraming::None);
    framed("length", "Content-Length: 10", BodyFraming::Length, 10);
    framed("length, any case, tab and blank", "content-LENGTH:\t10 ", BodyFraming::Length, 10);
    framed("length above 2^32", "Content-Length: 5000000000", BodyFraming::Length, 5000000000);
    framed("length 2^63-1", "Content-Length: 9223372036854775807", BodyFraming::Length,
           9223372036854775807ULL);
    framed("same length twice in a list", "Content-Length: 5, 5", BodyFraming::Length, 5);
    framed("same length on two lines", "Content-Length: 5\r\nContent-Length: 05",
           BodyFraming::Length, 5);
    framed("fold after another header", "X-A: b\r\n c\r\nContent-Length: 5", BodyFraming::Length,
           5);
    framed("chunked", "Transfer-Encoding: chunked", BodyFraming::Chunked);
    framed("gzip, chunked", "Transfer-Encoding: gzip, chunked", BodyFraming::Chunked);
    framed("two lines ending in chunked", "Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked",
           BodyFraming::Chunked);
    refused("length 2^63", "Content-Length: 9223372036854775808");
    refused("differing lengths in a list", "Content-Length: 5, 6");
    refused("differing lengths on two lines", "Content-Length: 5\r\nContent-Length: 6");
    refused("negative length", "Content-Length: -5");
    refused("length with a plus", "Content-Length: +5");
    refused("fractional length", "Content-Length: 5.0");
    refused("empty length", "Content-Length: ");
    refused("length not a number", "Content-Length: ten");
    refused("length list with an empty element", "Content-Length: 5,");
    refused("length and chunked", "Content-Length: 5\r\nTransfer-Encoding: chunked");
    refused("gzip alone", "Transfer-Encoding: gzip");
    refused("chunked, then gzip", "Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip");
    refused("chunked twice", "Transfer-Encoding: chunked, chunked");
    refused("blank before the colon", "Content-Length : 5");
    refused("folded length", "Content-Length: 5\r\n 6");
    refused("folded coding", "Transfer-Encoding: gzip,\r\n\tchunked");
    refused("lone LF before a length", "X-A: b\nContent-Length: 5");
    QTest::newRow("chunked in HTTP/1.0")
        << QByteArray("POST /up HTTP/1.0\r\nTransfer-Encoding: chunked") << false
        << int(BodyFraming::None) << quint64(0);
}

void TestHttpFraming::requestBodyFraming()
{
    QFETCH(QByteArray, block);
    QFETCH(bool, isFramed);
    QFETCH(int, kind);
    QFETCH(quint64, length);
    BodyFraming framing;
    framing.kind = BodyFraming::UntilClose;
    QCOMPARE(::requestBodyFraming(parseRequestHead(block), framing), isFramed);
    QCOMPARE(int(framing.kind), kind);
    QCOMPARE(framing.length, length);
}

void TestHttpFraming::chunkedBody_data()
{
    // Valid bodies are followed by the next request, which must be left untouched; an invalid
    // one is taken up to the byte that breaks it.
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qsizetype>("taken");
    QTest::addColumn<bool>("isComplete");
    QTest::addColumn<bool>("isInvalid");

    const QByteArray next = "GET / HTTP/1.1\r\n\r\n";
    const auto valid = [&next](const char *name, const QByteArray &body) {
        QTest::newRow(name) << body + next << body.size() << true << false;
    };
    const auto invalid = [](const char *name, const QByteArray &stream, qsizetype at) {
        QTest::newRow(name) << stream << at << false << true;
    };
    valid("two chunks, hex in both cases",
          "5\r\nhello\r\na\r\n0123456789\r\nA\r\n0123456789\r\n0\r\n\r\n");
    valid("extensions",
          "5;a=b;c\r\nhello\r\n3 ; q = \"x\\\"; y\" ;r\r\nabc\r\n0;last=\"\"\r\n\r\n");
    valid("trailers", "3\r\nabc\r\n0\r\nExpires: never\r\nX-T:\r\n\r\n");
    valid("leading zeros", "0003\r\nabc\r\n000\r\n\r\n");
    valid("data holding CR LF and a chunk line", "7\r\n\r\n0\r\n\r\n\r\n0\r\n\r\n");
    QTest::newRow("unfinished") << QByteArray("5\r\nhel") << qsizetype(6) << false << false;
    invalid("size 2^63 overflows", "8000000000000000\r\n", 15);
    invalid("bad size digit", "5x\r\nhello", 1);
    invalid("blank before CR LF", "5 \r\nhello", 2);
    invalid("lone LF after the size", "5\nhello", 1);
    invalid("no CR LF after the data", "3\r\nabcX\r\n0\r\n\r\n", 6);
    invalid("quoted extension with a CR", "1;a=\"b\rc\"\r\nx\r\n", 6);
    invalid("trailer without a colon", "0\r\nNoColon\r\n\r\n", 10);
    invalid("folded trailer", "0\r\nA: b\r\n c\r\n\r\n", 9);
    valid("size line of 16 KiB", "1;" + QByteArray(16 * 1024 - 4, 'a') + "\r\nx\r\n0\r\n\r\n");
    invalid("size line over 16 KiB", "1;" + QByteArray(16 * 1024, 'a') + "\r\nx\r\n", 16 * 1024);
    QByteArray trailers = "0\r\n";
    for (int line = 0; line < 20; ++line)
        trailers += "X: " + QByteArray(15000, 'a') + "\r\n";
    invalid("trailers over 256 KiB", trailers + "\r\n", 3 + 256 * 1024);
}

void TestHttpFraming::chunkedBody()
{
    QFETCH(QByteArray, stream);
    QFETCH(qsizetype, taken);
    QFETCH(bool, isComplete);
    QFETCH(bool, isInvalid);
    BodyFraming chunked;
    chunked.kind = BodyFraming::Chunked;
    for (const QList<qsizetype> &pieces : cutsOf(stream.size())) {
        BodyFramer body;
        body.start(chunked);
        QCOMPARE(feed(body, stream, pieces), taken);
        QCOMPARE(body.isComplete(), isComplete);
        QCOMPARE(body.isInvalid(), isInvalid);
    }
}

void TestHttpFraming::responseFramer_data()
{
    // Each complete row's responses are followed by the next request's response, which must
    // be left untouched.
    QTest::addColumn<bool>("isHeadRequest");
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<qsizetype>("taken");
    QTest::addColumn<QByteArray>("outcome"); // complete, until close or switching

    const auto ends = [](const char *name, const QByteArray &responses, bool isHead = false) {
        QTest::newRow(name) << isHead << responses + kNextResponse << responses.size()
                            << QByteArray("complete");
    };
    const auto untilClose = [](const char *name, const QByteArray &stream) {
        QTest::newRow(name) << false << stream + kNextResponse
                            << stream.size() + kNextResponse.size() << QByteArray("until close");
    };
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    ends("length", ok + "Content-Length: 5\r\n\r\nhello");
    ends("HEAD has no body", ok + "Content-Length: 5\r\n\r\n", true);
    ends("204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n");
    ends("304 has no body", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n");
    ends("status without a reason", "HTTP/1.1 204\r\n\r\n");
    ends("100 then 200", "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 2\r\n\r\nok");
    ends("chunked wins over length",
         ok + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    ends("HTTP/1.0 with a length", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok");
    const QByteArray switching = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n";
    QTest::newRow("101 switches after its head")
        << false << switching + "\x81\x05tunnel" << switching.size() << QByteArray("switching");
    untilClose("no length", ok + "\r\nbody");
    untilClose("differing lengths", ok + "Content-Length: 5, 6\r\n\r\nhello");
    untilClose("gzip alone", ok + "Transfer-Encoding: gzip\r\n\r\nbody");
    untilClose("chunked in HTTP/1.0",
               "HTTP/1.0 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n");
    untilClose("broken chunked", ok + "Transfer-Encoding: chunked\r\n\r\n5\r\nhelloX");
    untilClose("unreadable status line", "HTTP/1.1 2000 OK\r\nContent-Length: 0\r\n\r\n");
    untilClose("head with bare LF line ends", "HTTP/1.1 200 OK\nContent-Length: 0\n\n");
    untilClose("NUL in the head", ok + QByteArray("X: \0\r\nContent-Length: 0\r\n\r\n", 27));
    untilClose("head too large", ok + "X: " + QByteArray(256 * 1024, 'a') + "\r\n\r\n");
}

void TestHttpFraming::responseFramer()
{
    QFETCH(bool, isHeadRequest);
    QFETCH(QByteArray, stream);
    QFETCH(qsizetype, taken);
    QFETCH(QByteArray, outcome);
    for (const QList<qsizetype> &pieces : cutsOf(stream.size())) {
        ResponseFramer framer;
        framer.start(isHeadRequest);
        QCOMPARE(feed(framer, stream, pieces), taken);
        QCOMPARE(framer.isComplete(), outcome != "until close");
        QCOMPARE(framer.isUntilClose(), outcome == "until close");
        QCOMPARE(framer.isSwitchingProtocols(), outcome == "switching");
    }
}

QTEST_APPLESS_MAIN(TestHttpFraming)
#include "test_http_framing.moc"
