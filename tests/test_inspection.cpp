// HTTPS inspection through real sockets: a browser stand-in opens a CONNECT tunnel to the
// running window's proxy and speaks TLS inside it, to an HTTPS origin whose certificate a test
// CA made at run time signs. The engine trusts that CA through SSL_CERT_FILE, read at Start.
#include <QCheckBox>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTableView>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

#include "app/request_list_model.h"
#include "net/http/error_page.h"
#include "support/expected_page.h"
#include "support/fixed_names.h"
#include "support/origin_server.h"
#include "support/reliability_support.h"
#include "support/running_engine.h"
#include "support/running_proxy.h"
#include "support/test_support.h"
#include "support/tls_origin_server.h"

using namespace testsupport;

namespace {

constexpr int kWait = 10000;

// The header lines the default Remove list names, each with a value a browser might send.
const QList<QByteArray> kRemovedLines = {
    "User-Agent: probe/1.0", "Cookie: session=secret", "Referer: https://elsewhere.test/",
    "From: someone@example.com", "Date: Tue, 15 Nov 1994 08:12:31 GMT"};

QByteArray getRequest(const QByteArray &authority, const QByteArray &path,
                      const QList<QByteArray> &extraLines = {})
{
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    for (const QByteArray &line : extraLines)
        request += line + "\r\n";
    return request + "Accept: */*\r\n\r\n";
}

// Length of the first whole response in data (its head's Content-Length), or -1 while it is
// still arriving.
qsizetype wholeResponseLength(const QByteArray &data)
{
    const qsizetype end = data.indexOf("\r\n\r\n");
    if (end < 0)
        return -1;
    const QByteArray head = data.left(end).toLower();
    const qsizetype at = head.indexOf("\r\ncontent-length:");
    if (at < 0)
        return -1;
    const qsizetype valueAt = at + int(qstrlen("\r\ncontent-length:"));
    const qsizetype lineEnd = head.indexOf("\r\n", valueAt);
    const qsizetype length =
        head.mid(valueAt, lineEnd < 0 ? -1 : lineEnd - valueAt).trimmed().toLongLong();
    return data.size() >= end + 4 + length ? end + 4 + length : -1;
}

// A browser stand-in: a CONNECT through the proxy, then TLS inside the tunnel when asked.
class TunnelClient {
public:
    TunnelClient()
    {
        QObject::connect(&m_socket, &QSslSocket::sslErrors, &m_socket,
                         [this](const QList<QSslError> &errors) { m_errors << errors; });
        QObject::connect(&m_socket, &QSslSocket::handshakeInterruptedOnError, &m_socket,
                         [this](const QSslError &error) { m_errors << error; });
        QObject::connect(&m_socket, &QSslSocket::disconnected, &m_socket,
                         [this] { m_isDisconnected = true; });
    }

    // True once the proxy answered the CONNECT for authority with its 200 line.
    bool open(quint16 proxyPort, const QByteArray &authority)
    {
        m_socket.connectToHost(QHostAddress::LocalHost, proxyPort);
        m_socket.write("CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n");
        waitUntil([this] { return take().contains("\r\n\r\n") || m_isDisconnected; }, kWait);
        m_connectAnswer = m_received;
        m_received.clear();
        return m_connectAnswer == "HTTP/1.1 200 Connection established\r\n\r\n";
    }

    // The TLS handshake inside the tunnel, verifying the peer against cas for name; with
    // interruptOnError the handshake stops at the first verification error and the peer gets
    // an alert, as a browser's does.
    bool secure(const QList<QSslCertificate> &cas, const QString &name,
                const QList<QByteArray> &protocols = {}, bool interruptOnError = false)
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setCaCertificates(cas);
        configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
        configuration.setHandshakeMustInterruptOnError(interruptOnError);
        if (!protocols.isEmpty())
            configuration.setAllowedNextProtocols(protocols);
        m_socket.setSslConfiguration(configuration);
        m_socket.setPeerVerifyName(name);
        m_socket.startClientEncryption();
        waitUntil(
            [this] { return m_socket.isEncrypted() || !m_errors.isEmpty() || m_isDisconnected; },
            kWait);
        return m_socket.isEncrypted() && m_errors.isEmpty();
    }

    // Sends request and returns the whole response that follows (or what arrived before the
    // connection ended).
    QByteArray exchange(const QByteArray &request)
    {
        m_socket.write(request);
        waitUntil([this] { return wholeResponseLength(take()) >= 0 || m_isDisconnected; }, kWait);
        const qsizetype length = wholeResponseLength(m_received);
        const QByteArray response = length < 0 ? m_received : m_received.left(length);
        m_received.remove(0, response.size());
        return response;
    }

    // Sends bytes as they are and waits until as many have come back.
    QByteArray echo(const QByteArray &bytes)
    {
        m_socket.write(bytes);
        waitUntil([&] { return take().size() >= bytes.size() || m_isDisconnected; }, kWait);
        return m_received;
    }

    QSslSocket &socket() { return m_socket; }
    const QByteArray &connectAnswer() const { return m_connectAnswer; }
    QString errorText() const
    {
        QStringList texts;
        for (const QSslError &error : m_errors)
            texts << error.errorString();
        return texts.join(QLatin1String("; ")) + m_socket.errorString();
    }
    bool waitForDisconnected()
    {
        return waitUntil([this] { return m_isDisconnected; }, kWait);
    }

private:
    const QByteArray &take()
    {
        m_received += m_socket.readAll();
        return m_received;
    }

    QSslSocket m_socket;
    QByteArray m_received;
    QByteArray m_connectAnswer;
    QList<QSslError> m_errors;
    bool m_isDisconnected = false;
};

} // namespace

class TestInspection : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void rulesApplyInsideOnOneOriginConnection();
    void requestsInsideAreLogged();
    void originNotVerified_data();
    void originNotVerified();
    void blindTunnels_data();
    void blindTunnels();
    void alpnSelectsHttp11();
    void requestsInsideReadLikePlainOnes_data();
    void requestsInsideReadLikePlainOnes();
    void originSessionIsResumed();
    void browserSessionResumedOnlyForItsHost();
    void howTheCertificateWasTaken_data();
    void howTheCertificateWasTaken();
    void bundleVerifiesInspectedAndExcludedHosts();

private:
    bool makeCertificates();
    bool runOpenssl(const QStringList &arguments);
    QString path(const QString &name) const { return m_files.filePath(name); }
    // A proxy that inspects HTTPS, except for the hosts in noInspect (one per line).
    std::unique_ptr<RunningEngine> startInspecting(const QString &logPath = QString(),
                                                   const QString &noInspect = QString());
    QList<QSslCertificate> proxyCa() const;
    QByteArray startStatusServer(QProcess &server);

    QTemporaryDir m_dataHome;
    QTemporaryDir m_configHome;
    QTemporaryDir m_files;
    QSslCertificate m_originCertificate;
    QSslKey m_originKey;
};

void TestInspection::initTestCase()
{
    QVERIFY(m_dataHome.isValid() && m_configHome.isValid() && m_files.isValid());
    // The proxy's CA is made in the data folder: never the user's own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
    if (!QSslSocket::supportsSsl())
        QSKIP("Qt has no TLS backend here");
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
        QSKIP("the openssl program makes the test certificates and is not installed");
    QVERIFY(makeCertificates());
    installFixedAnswers();
}

// Every test trusts the test CA unless it says otherwise.
void TestInspection::init()
{
    qputenv("SSL_CERT_FILE", QFile::encodeName(path(QStringLiteral("test-ca.pem"))));
}

void TestInspection::cleanupTestCase()
{
    removeFixedAnswers();
}

bool TestInspection::runOpenssl(const QStringList &arguments)
{
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        qWarning() << "openssl" << arguments << openssl.readAll();
        return false;
    }
    return true;
}

// A test CA, an origin certificate it signs for the name localhost only (not 127.0.0.1), and a
// second CA that signs nothing here. Private keys live in the temporary folder only.
bool TestInspection::makeCertificates()
{
    const QStringList ecKey = {
        QStringLiteral("-newkey"),  QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-nodes"),   QStringLiteral("-days"),
        QStringLiteral("1")};
    for (const QString &ca : {QStringLiteral("test-ca"), QStringLiteral("stranger-ca")}) {
        if (!runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509")} + ecKey +
                        QStringList{QStringLiteral("-subj"), QStringLiteral("/CN=Vesktor ") + ca,
                                    QStringLiteral("-keyout"), path(ca + QStringLiteral(".key")),
                                    QStringLiteral("-out"), path(ca + QStringLiteral(".pem"))}))
            return false;
    }
    if (!runOpenssl(QStringList{QStringLiteral("req"), QStringLiteral("-x509"),
                                QStringLiteral("-CA"), path(QStringLiteral("test-ca.pem")),
                                QStringLiteral("-CAkey"), path(QStringLiteral("test-ca.key"))} +
                    ecKey +
                    QStringList{QStringLiteral("-subj"), QStringLiteral("/CN=localhost"),
                                QStringLiteral("-addext"),
                                QStringLiteral("subjectAltName=DNS:localhost"),
                                QStringLiteral("-addext"),
                                QStringLiteral("basicConstraints=critical,CA:FALSE"),
                                QStringLiteral("-keyout"), path(QStringLiteral("origin.key")),
                                QStringLiteral("-out"), path(QStringLiteral("origin.pem"))}))
        return false;
    m_originCertificate =
        QSslCertificate(readFileBytes(path(QStringLiteral("origin.pem"))), QSsl::Pem);
    m_originKey = QSslKey(readFileBytes(path(QStringLiteral("origin.key"))), QSsl::Ec, QSsl::Pem);
    return !m_originCertificate.isNull() && !m_originKey.isNull();
}

std::unique_ptr<RunningEngine> TestInspection::startInspecting(const QString &logPath,
                                                               const QString &noInspect)
{
    return std::make_unique<RunningEngine>(logPath, QString(), [&](RememberedSettings &settings) {
        settings.isInspecting = true;
        // Joined by CR LF, as the list box gives its lines.
        settings.noInspect = QString(noInspect).replace(QLatin1Char('\n'), QLatin1String("\r\n"));
    });
}

QList<QSslCertificate> TestInspection::proxyCa() const
{
    return QSslCertificate::fromPath(
        QDir(m_dataHome.path()).filePath(QStringLiteral("vesktor/vesktor-ca.pem")));
}

// The default Remove lists apply to requests and responses inside the tunnel, and the next
// request on the tunnel goes over the origin connection the first one opened. The Requests
// window lists the requests inside like plain ones, after their CONNECT, and saves them as HAR
// with https URLs.
void TestInspection::rulesApplyInsideOnOneOriginConnection()
{
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    origin.setExtraResponseLines("Set-Cookie: t=1\r\n");
    // The window, since its Requests list is looked at.
    const auto proxy = std::make_unique<RunningProxy>(QString(), QString(), [](Form1 &form) {
        form.findChild<QCheckBox *>(QStringLiteral("chkInspect"))->setChecked(true);
        form.findChild<QCheckBox *>(QStringLiteral("chkRemoveResponse"))->setChecked(true);
    });
    QVERIFY(proxy->isRunning());
    QTest::mouseClick(proxy->form().findChild<QPushButton *>(QStringLiteral("cmdRequests")),
                      Qt::LeftButton);
    const auto *rows = proxy->form().findChild<QTableView *>(QStringLiteral("lvwRequests"));
    QVERIFY(rows);
    TunnelClient browser;
    QVERIFY2(browser.open(proxy->port(), origin.authority()), browser.connectAnswer());
    QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost")),
             qPrintable(browser.errorText()));

    for (const QByteArray &path : {QByteArray("/first"), QByteArray("/second")}) {
        QCOMPARE(browser.exchange(getRequest(origin.authority(), path, kRemovedLines)),
                 okResponse(tlsOriginBody(path)));
    }
    QCOMPARE(origin.requests().size(), 2);
    for (const QByteArray &head : origin.requests()) {
        QVERIFY2(head.contains("\r\nAccept: */*\r\n"), head);
        for (const QByteArray &line : kRemovedLines)
            QVERIFY2(!head.contains(line.left(line.indexOf(':') + 1)), head);
    }
    QCOMPARE(origin.connectionCount(), 1);
    QCOMPARE(origin.encryptedCount(), 1);

    const auto cell = [rows](int row, int column) {
        return rows->model()->index(row, column).data().toString();
    };
    // A tunnel asked for inside the tunnel is refused, and its row says so.
    QVERIFY(browser.exchange("CONNECT elsewhere.test:443 HTTP/1.1\r\n\r\n")
                .startsWith("HTTP/1.1 400 "));
    QTRY_COMPARE_WITH_TIMEOUT(rows->model()->rowCount(), 4, kWait);
    QTRY_COMPARE_WITH_TIMEOUT(cell(3, 5), QStringLiteral("page %1").arg(kBadRequestNumber), kWait);
    QCOMPARE(cell(0, 2), QStringLiteral("CONNECT"));
    QCOMPARE(cell(0, 4), QString::fromLatin1(origin.authority()));
    for (int row : {1, 2}) {
        QCOMPARE(cell(row, 2), QStringLiteral("GET"));
        QCOMPARE(cell(row, 3), QStringLiteral("localhost"));
        QTRY_COMPARE_WITH_TIMEOUT(cell(row, 5), QStringLiteral("200"), kWait);
        QCOMPARE(cell(row, 8), QStringLiteral("-%1 resp -1").arg(kRemovedLines.size()));
    }

    QTemporaryDir folder;
    const QString har = folder.filePath(QStringLiteral("inside.har"));
    setSaveFileHandler([&har](QWidget *, const QString &, const QString &, const QStringList &) {
        return SaveChoice{har, 0};
    });
    QTest::mouseClick(proxy->form()
                          .findChild<QWidget *>(QStringLiteral("frmRequests"))
                          ->findChild<QPushButton *>(QStringLiteral("cmdSaveHar")),
                      Qt::LeftButton);
    setSaveFileHandler({});
    const QJsonArray entries = QJsonDocument::fromJson(readFileBytes(
        har))[QStringLiteral("log")][QStringLiteral("entries")]
                                   .toArray();
    QStringList urls;
    for (const QJsonValue &entry : entries)
        urls << entry[QStringLiteral("request")][QStringLiteral("url")].toString();
    const QString base = QStringLiteral("https://") + QString::fromLatin1(origin.authority());
    // The CONNECT refused inside is no request the origin could see, like the tunnel itself.
    QCOMPARE(urls,
             QStringList({base + QStringLiteral("/first"), base + QStringLiteral("/second")}));
}

// A request inside the tunnel is logged like a plain one: its entry and its header lines as the
// browser sent them.
void TestInspection::requestsInsideAreLogged()
{
    const QString logPath = path(QStringLiteral("inside.log"));
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    {
        const auto proxy = startInspecting(logPath);
        TunnelClient browser;
        QVERIFY(browser.open(proxy->port(), origin.authority()));
        QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost")),
                 qPrintable(browser.errorText()));
        QCOMPARE(browser.exchange(getRequest(origin.authority(), "/logged", kRemovedLines)),
                 okResponse(tlsOriginBody("/logged")));
    } // stopping the proxy closes the log
    const QByteArray log = readFileBytes(logPath);
    // The CONNECT and the request inside it.
    QCOMPARE(int(log.count("\tNew Request Received From\t127.0.0.1\r\n")), 2);
    for (const QByteArray &line : kRemovedLines + QList<QByteArray>{"Accept: */*"})
        QVERIFY2(log.contains("\r\n\t\t\t    " + line + "\r\n"), log);
}

void TestInspection::originNotVerified_data()
{
    QTest::addColumn<QString>("trustStore");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<QByteArray>("number");
    QTest::addColumn<QByteArray>("description");

    QTest::newRow("issuer unknown")
        << "stranger-ca.pem" << QByteArray("localhost") << QByteArray("12045")
        << QByteArray("The server's certificate is not trusted: "
                      "unable to get local issuer certificate");
    // The name resolves to the origin's address, but the certificate names localhost only.
    QTest::newRow("another name") << "test-ca.pem" << kDualStackHost << QByteArray("12038")
                                  << QByteArray("The server's certificate names another host: "
                                                "hostname mismatch");
    QTest::newRow("another address")
        << "test-ca.pem" << QByteArray("127.0.0.1") << QByteArray("12038")
        << QByteArray("The server's certificate names another "
                      "host: IP address mismatch");
}

// An origin whose certificate does not verify gets no request: the browser gets the page that
// says why, inside its tunnel.
void TestInspection::originNotVerified()
{
    QFETCH(QString, trustStore);
    QFETCH(QByteArray, host);
    QFETCH(QByteArray, number);
    QFETCH(QByteArray, description);

    qputenv("SSL_CERT_FILE", QFile::encodeName(path(trustStore)));
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    const auto proxy = startInspecting();
    const QByteArray authority = host + ':' + QByteArray::number(origin.port());
    TunnelClient browser;
    QVERIFY2(browser.open(proxy->port(), authority), browser.connectAnswer());
    QVERIFY2(browser.secure(proxyCa(), QString::fromLatin1(host)), qPrintable(browser.errorText()));
    QCOMPARE(browser.exchange(getRequest(authority, "/refused")),
             expectedPageResponse("502 Bad Gateway", expectedPage(number, description)));
    QVERIFY(origin.requests().isEmpty());
}

void TestInspection::blindTunnels_data()
{
    QTest::addColumn<bool>("isTls");
    QTest::addColumn<QString>("noInspect");

    QTest::newRow("bytes that are not TLS") << false << QString();
    QTest::newRow("excluded host") << true << QStringLiteral("example.test\nlocalhost");
}

// Bytes that do not open a TLS handshake, and every byte to an excluded host, pass unchanged:
// the browser's handshake then reaches the origin, whose own certificate it sees.
void TestInspection::blindTunnels()
{
    QFETCH(bool, isTls);
    QFETCH(QString, noInspect);

    TlsOriginServer tlsOrigin(m_originCertificate, m_originKey);
    OriginServer echoOrigin;
    echoOrigin.setEcho(true);
    QVERIFY(isTls ? tlsOrigin.listen() : echoOrigin.listen());
    const auto proxy = startInspecting(QString(), noInspect);
    TunnelClient browser;
    if (!isTls) {
        QVERIFY(browser.open(proxy->port(), echoOrigin.authority()));
        const QByteArray bytes = "plain bytes, no handshake\r\n\r\n";
        QCOMPARE(browser.echo(bytes), bytes);
        QCOMPARE(echoOrigin.received(0), bytes);
        return;
    }
    QVERIFY(browser.open(proxy->port(), tlsOrigin.authority()));
    QVERIFY2(browser.secure(QSslCertificate::fromPath(path(QStringLiteral("test-ca.pem"))),
                            QStringLiteral("localhost")),
             qPrintable(browser.errorText()));
    QCOMPARE(browser.socket().peerCertificate(), m_originCertificate);
    QCOMPARE(browser.exchange(getRequest(tlsOrigin.authority(), "/blind", kRemovedLines)),
             okResponse(tlsOriginBody("/blind")));
    QCOMPARE(tlsOrigin.requests().size(), 1);
    QVERIFY2(tlsOrigin.requests().first().contains("\r\n" + kRemovedLines.first() + "\r\n"),
             tlsOrigin.requests().first());
}

void TestInspection::requestsInsideReadLikePlainOnes_data()
{
    // "{origin}" stands for the origin's host and port.
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("forwardedLine"); // empty: refused with 400, nothing goes up
    const QByteArray host = "Host: {origin}\r\n\r\n";
    QTest::newRow("https:// target")
        << "GET https://{origin}/abs2 HTTP/1.1\r\n" + host << QByteArray("GET /abs2 HTTP/1.1");
    QTest::newRow("http:// target")
        << "GET http://{origin}/abs3?q HTTP/1.1\r\n" + host << QByteArray("GET /abs3?q HTTP/1.1");
    QTest::newRow("HTTP/1.1 without Host")
        << QByteArray("GET /nohost HTTP/1.1\r\n\r\n") << QByteArray();
    QTest::newRow("HTTP/1.0 without Host")
        << QByteArray("GET /old HTTP/1.0\r\n\r\n") << QByteArray("GET /old HTTP/1.0");
    QTest::newRow("HTTP/2.0") << "GET /two HTTP/2.0\r\n" + host << QByteArray();
    QTest::newRow("HTTP/9.9") << "GET /nine HTTP/9.9\r\n" + host << QByteArray();
    QTest::newRow("HTTP/2 preface")
        << QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n") << QByteArray();
}

// Inside an inspected tunnel a request is read as strictly as a plain one: an absolute target
// goes up in origin form, and what a server would refuse gets the 400 page inside the tunnel
// without a byte going to the origin.
void TestInspection::requestsInsideReadLikePlainOnes()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, forwardedLine);
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    const auto proxy = startInspecting();
    TunnelClient browser;
    QVERIFY(browser.open(proxy->port(), origin.authority()));
    QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost")),
             qPrintable(browser.errorText()));
    const QByteArray response = browser.exchange(request.replace("{origin}", origin.authority()));
    if (forwardedLine.isEmpty()) {
        QVERIFY2(response.startsWith("HTTP/1.1 400 Bad Request\r\n"), response.constData());
        QVERIFY(origin.requests().isEmpty());
    } else {
        QVERIFY2(response.startsWith("HTTP/1.1 200"), response.constData());
        QCOMPARE(origin.requests().size(), 1);
        QCOMPARE(origin.requests().first().left(origin.requests().first().indexOf("\r\n")),
                 forwardedLine);
    }
}

// A browser offering HTTP/2 first is told HTTP/1.1, the only protocol the proxy reads.
void TestInspection::alpnSelectsHttp11()
{
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    const auto proxy = startInspecting();
    TunnelClient browser;
    QVERIFY(browser.open(proxy->port(), origin.authority()));
    QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost"), {"h2", "http/1.1"}),
             qPrintable(browser.errorText()));
    QCOMPARE(browser.socket().sslConfiguration().nextNegotiatedProtocol(), QByteArray("http/1.1"));
    QCOMPARE(browser.exchange(getRequest(origin.authority(), "/alpn")),
             okResponse(tlsOriginBody("/alpn")));
}

// A browser that does not trust the proxy's CA turns the handshake down with an alert: its
// slot ends, and the log says so.
// The next connection to an origin resumes the TLS session the last one was given, so that the
// proxy skips a full handshake and the certificate's parsing; openssl's own test server says on
// its status page which it was.
// openssl's test server, which answers each connection with a status page that says whether
// its TLS session was resumed; returns the port it accepts on.
QByteArray TestInspection::startStatusServer(QProcess &server)
{
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start(QStringLiteral("openssl"),
                 {QStringLiteral("s_server"), QStringLiteral("-accept"),
                  QStringLiteral("127.0.0.1:0"), QStringLiteral("-cert"),
                  path(QStringLiteral("origin.pem")), QStringLiteral("-key"),
                  path(QStringLiteral("origin.key")), QStringLiteral("-www")});
    if (!server.waitForStarted())
        return QByteArray();
    QByteArray output;
    const auto acceptedPort = [&] {
        output += server.readAll();
        const QRegularExpressionMatch found =
            QRegularExpression(QStringLiteral("ACCEPT 127\\.0\\.0\\.1:(\\d+)"))
                .match(QString::fromLatin1(output));
        return found.hasMatch() ? found.captured(1).toLatin1() : QByteArray();
    };
    waitUntil([&] { return !acceptedPort().isEmpty(); }, kWait);
    return acceptedPort();
}

// How the TLS session of a status page's connection began.
QString handshakeOf(const QByteArray &output)
{
    return output.contains("\nReused, TLS") ? QStringLiteral("resumed")
           : output.contains("\nNew, TLS")  ? QStringLiteral("full")
                                            : QString::fromLatin1(output);
}

// The next connection to an origin resumes the TLS session the last one was given, so that the
// proxy skips a full handshake and the certificate's parsing; openssl's own test server says on
// its status page which it was.
void TestInspection::originSessionIsResumed()
{
    QProcess origin;
    const QByteArray port = startStatusServer(origin);
    QVERIFY(!port.isEmpty());
    const QByteArray authority = "localhost:" + port;
    const auto proxy = startInspecting();

    QStringList handshakes;
    for (int connection = 0; connection < 2; ++connection) {
        TunnelClient browser;
        QVERIFY(browser.open(proxy->port(), authority));
        QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost")),
                 qPrintable(browser.errorText()));
        const QByteArray page = browser.exchange(getRequest(authority, "/"));
        QVERIFY2(page.startsWith("HTTP/1.0 200"), page.constData());
        handshakes << handshakeOf(page);
    }
    QCOMPARE(handshakes, QStringList({QStringLiteral("full"), QStringLiteral("resumed")}));
    origin.kill();
    origin.waitForFinished();
}

// Every browser is answered from one server context, yet a browser's session is resumed only in
// a tunnel to the host it began with: a resumed handshake shows no certificate, so a session
// of one host must not vouch for another. openssl's client keeps its session in a file.
void TestInspection::browserSessionResumedOnlyForItsHost()
{
    QProcess origin;
    const QByteArray port = startStatusServer(origin);
    QVERIFY(!port.isEmpty());
    const auto proxy = startInspecting();
    const QString caFile =
        QDir(m_dataHome.path()).filePath(QStringLiteral("vesktor/vesktor-ca.pem"));
    const QString session = path(QStringLiteral("browser-session.pem"));
    // The handshake summary of one connection through the proxy to host; the first saves its
    // session, the others offer it.
    const auto connectTo = [&](const QByteArray &host, bool isFirst) {
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        client.start(QStringLiteral("openssl"),
                     {QStringLiteral("s_client"), QStringLiteral("-proxy"),
                      QStringLiteral("127.0.0.1:%1").arg(proxy->port()), QStringLiteral("-connect"),
                      QString::fromLatin1(host + ':' + port), QStringLiteral("-servername"),
                      QString::fromLatin1(host), QStringLiteral("-CAfile"), caFile,
                      QStringLiteral("-verify_return_error"), QStringLiteral("-ign_eof"),
                      isFirst ? QStringLiteral("-sess_out") : QStringLiteral("-sess_in"), session});
        client.write("GET / HTTP/1.0\r\n\r\n");
        client.closeWriteChannel();
        if (!client.waitForFinished(kWait))
            client.kill();
        return handshakeOf(client.readAll());
    };
    QCOMPARE(connectTo("localhost", true), QStringLiteral("full"));
    // Another name for the same origin (its certificate does not name it; the handshake with
    // the browser comes first).
    QCOMPARE(connectTo(kDualStackHost, false), QStringLiteral("full"));
    QCOMPARE(connectTo("localhost", false), QStringLiteral("resumed"));
    origin.kill();
    origin.waitForFinished();
}

void TestInspection::howTheCertificateWasTaken_data()
{
    QTest::addColumn<QString>("client");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("pane"); // the start of the tunnel row's third pane
    QTest::addColumn<bool>("isLogged");

    // Qt stops at the unknown issuer and sends an alert, as a browser does.
    QTest::newRow("alert") << "alert"
                           << "certificate refused"
                           << "certificate refused\nThe client sent the TLS alert " << true;
    // How OpenSSL-based command-line clients refuse: the handshake completes, then the close.
    QTest::newRow("closed at once") << "close"
                                    << "closed before a request"
                                    << "closed before a request" << true;
    QTest::newRow("request") << "request"
                             << "200" << QString() << false;
}

// A tunnel's row tells a refused certificate from a tunnel used, and the log names the host
// whose certificate was refused.
void TestInspection::howTheCertificateWasTaken()
{
    QFETCH(QString, client);
    QFETCH(QString, status);
    QFETCH(QString, pane);
    QFETCH(bool, isLogged);

    const QString logPath = path(QStringLiteral("trust-%1.log").arg(client));
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    const auto proxy = std::make_unique<RunningProxy>(logPath, QString(), [](Form1 &form) {
        form.findChild<QCheckBox *>(QStringLiteral("chkInspect"))->setChecked(true);
    });
    QVERIFY(proxy->isRunning());
    QTest::mouseClick(proxy->form().findChild<QPushButton *>(QStringLiteral("cmdRequests")),
                      Qt::LeftButton);
    auto *rows = proxy->form().findChild<QTableView *>(QStringLiteral("lvwRequests"));
    QVERIFY(rows);
    {
        TunnelClient browser;
        QVERIFY(browser.open(proxy->port(), origin.authority()));
        if (client == QLatin1String("alert")) {
            QVERIFY(!browser.secure(QSslCertificate::fromPath(path(QStringLiteral("test-ca.pem"))),
                                    QStringLiteral("localhost"), {}, true));
        } else {
            QVERIFY2(browser.secure(proxyCa(), QStringLiteral("localhost")),
                     qPrintable(browser.errorText()));
            if (client == QLatin1String("request"))
                QCOMPARE(browser.exchange(getRequest(origin.authority(), "/used")),
                         okResponse(tlsOriginBody("/used")));
            browser.socket().disconnectFromHost();
        }
        QVERIFY(browser.waitForDisconnected());
    }
    const auto cell = [rows](int column) { return rows->model()->index(0, column).data(); };
    QTRY_COMPARE_WITH_TIMEOUT(cell(RequestListModel::Status).toString(), status, kWait);
    QCOMPARE(cell(RequestListModel::Method).toString(), QStringLiteral("CONNECT"));
    rows->selectRow(0);
    const QString shown = proxy->form()
                              .findChild<QPlainTextEdit *>(QStringLiteral("txtHeadersResponse"))
                              ->toPlainText();
    QVERIFY2(pane.isEmpty() ? shown.isEmpty() : shown.startsWith(pane), qPrintable(shown));

    QVERIFY(proxy->stop()); // the log is whole once the proxy has stopped
    const QByteArray entry = "\tCertificate Not Trusted By\t127.0.0.1\tlocalhost\r\n";
    QVERIFY2(readFileBytes(logPath).contains(entry) == isLogged, readFileBytes(logPath));
    QCOMPARE(origin.requests().size(), client == QLatin1String("request") ? 1 : 0);
}

// The CA bundle holds the CAs the system trusts (here the test CA, through SSL_CERT_FILE) and
// the proxy's: curl, given that file alone, verifies an inspected host's leaf and an excluded
// host's own certificate.
void TestInspection::bundleVerifiesInspectedAndExcludedHosts()
{
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    TlsOriginServer origin(m_originCertificate, m_originKey);
    QVERIFY(origin.listen());
    const QString bundle = path(QStringLiteral("bundle.pem"));
    setSaveFileHandler([&bundle](QWidget *, const QString &, const QString &,
                                 const QStringList &filters) {
        return SaveChoice{bundle, int(filters.indexOf(
                                      QStringLiteral("CA bundle for command-line tools (*.pem)")))};
    });
    for (const bool isExcluded : {false, true}) {
        const auto proxy =
            std::make_unique<RunningProxy>(QString(), QString(), [isExcluded](Form1 &form) {
                form.findChild<QCheckBox *>(QStringLiteral("chkInspect"))->setChecked(true);
                if (isExcluded)
                    form.findChild<QPlainTextEdit *>(QStringLiteral("txtNoInspect"))
                        ->setPlainText(QStringLiteral("localhost"));
            });
        QVERIFY(proxy->isRunning());
        if (!isExcluded) {
            QTest::mouseClick(proxy->form().findChild<QPushButton *>(QStringLiteral("cmdExportCA")),
                              Qt::LeftButton);
            const QByteArray saved = readFileBytes(bundle);
            QVERIFY2(saved.startsWith(readFileBytes(path(QStringLiteral("test-ca.pem"))).trimmed()),
                     saved);
            QVERIFY(saved.endsWith(proxyCa().value(0).toPem()));
            QVERIFY(!saved.contains("PRIVATE KEY"));
        }
        QProcess curl;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("SSL_CERT_FILE")); // the bundle alone
        curl.setProcessEnvironment(environment);
        curl.start(QStringLiteral("curl"),
                   {QStringLiteral("-sS"), QStringLiteral("--cacert"), bundle,
                    QStringLiteral("--proxy"),
                    QStringLiteral("http://127.0.0.1:%1").arg(proxy->port()),
                    QStringLiteral("https://") + QString::fromLatin1(origin.authority()) +
                        QStringLiteral("/bundled")});
        // The origin answers on this thread: the event loop must run while curl does.
        QTRY_COMPARE_WITH_TIMEOUT(curl.state(), QProcess::NotRunning, kWait);
        QCOMPARE(curl.readAllStandardOutput(), tlsOriginBody("/bundled"));
        QCOMPARE(curl.exitCode(), 0);
        // Inspected, the default rules took curl's User-Agent; excluded, it passed.
        QTRY_COMPARE_WITH_TIMEOUT(origin.requests().size(), isExcluded ? 2 : 1, kWait);
        QCOMPARE(origin.requests().constLast().contains("\r\nUser-Agent: curl/"), isExcluded);
    }
    setSaveFileHandler({});
}

QTEST_MAIN(TestInspection)
#include "test_inspection.moc"
