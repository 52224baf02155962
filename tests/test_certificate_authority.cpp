#include <QHostAddress>
#include <QTemporaryDir>
#include <QtTest>
#include <openssl/pem.h>
#include <sys/stat.h>

#include "net/tls/certificate_authority.h"

namespace {

using Clock = std::chrono::system_clock;
constexpr long kDay = 24 * 60 * 60;

Clock::time_point wholeSecondsNow()
{
    return Clock::from_time_t(Clock::to_time_t(Clock::now()));
}

// Seconds from `base` to `time`.
long secondsAfter(const ASN1_TIME *time, time_t base)
{
    Asn1TimeHandle from(ASN1_TIME_set(nullptr, base));
    int days = 0;
    int seconds = 0;
    if (!from || !ASN1_TIME_diff(&days, &seconds, from.get(), time))
        qFatal("a certificate time cannot be compared");
    return long(days) * kDay + seconds;
}

time_t timeOf(const ASN1_TIME *time)
{
    std::tm parts{};
    if (!ASN1_TIME_to_tm(time, &parts))
        qFatal("a certificate time cannot be read");
    return timegm(&parts);
}

X509Handle certificateFrom(const QByteArray &pem)
{
    BioHandle bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    return X509Handle(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
}

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

struct stat statusOf(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        qFatal("no file %s", qPrintable(path));
    return status;
}

QString commonNameOf(const X509 *certificate)
{
    char text[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(certificate), NID_commonName, text,
                              sizeof text);
    return QString::fromUtf8(text);
}

BIGNUM *serialOf(const X509 *certificate, BignumHandle *holder)
{
    holder->reset(ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr));
    return holder->get();
}

bool isCritical(const X509 *certificate, int nid)
{
    const int index = X509_get_ext_by_NID(certificate, nid, -1);
    return index >= 0 && X509_EXTENSION_get_critical(X509_get_ext(certificate, index));
}

QByteArray curveOf(const EVP_PKEY *key)
{
    char name[64] = {};
    size_t size = 0;
    EVP_PKEY_get_group_name(key, name, sizeof name, &size);
    return QByteArray(name, qsizetype(size));
}

// The error X509_verify_cert() finds for `leaf` as a TLS server named `name`, trusting `ca` only,
// with the strict checks a browser's verifier makes on top of the basic ones.
int verificationError(const X509 *ca, X509 *leaf, const QByteArray &name, bool isAddress, time_t at)
{
    X509StoreHandle store(X509_STORE_new());
    X509Handle trusted(X509_dup(ca));
    X509StoreCtxHandle context(X509_STORE_CTX_new());
    if (!store || !trusted || !context || !X509_STORE_add_cert(store.get(), trusted.get()) ||
        !X509_STORE_CTX_init(context.get(), store.get(), leaf, nullptr))
        qFatal("cannot set up a verification");
    X509_VERIFY_PARAM *parameters = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_purpose(parameters, X509_PURPOSE_SSL_SERVER);
    X509_VERIFY_PARAM_set_flags(parameters, X509_V_FLAG_X509_STRICT);
    X509_VERIFY_PARAM_set_time(parameters, at);
    if (isAddress)
        X509_VERIFY_PARAM_set1_ip_asc(parameters, name.constData());
    else
        X509_VERIFY_PARAM_set1_host(parameters, name.constData(), size_t(name.size()));
    X509_verify_cert(context.get());
    return X509_STORE_CTX_get_error(context.get());
}

QByteArray memoryContents(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, qsizetype(size));
}

std::string stdString(const QByteArray &bytes)
{
    return std::string(bytes.constData(), size_t(bytes.size()));
}

enum class Spoil {
    Garbage,
    Empty,
    Folder,
    Missing,
    OtherCaKey,
    CertificateInKeyFile,
    LeafAsCertificate,
    EncryptedKey,
    NotYetValid,
    KeyReadableByOthers
};

} // namespace

Q_DECLARE_METATYPE(Spoil)

class TestCertificateAuthority : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void caFieldsAndFiles();
    void secondLoadUsesTheFilesAsTheyAre();
    void unusableFileIsReportedAndKept_data();
    void unusableFileIsReportedAndKept();
    void defaultFolderIsInTheDataLocation();
    void leafFields_data();
    void leafFields();
    void leafEndsWithTheCa_data();
    void leafEndsWithTheCa();
    void hostThatIsNoName_data();
    void hostThatIsNoName();
    void needsRenewal_data();
    void needsRenewal();

private:
    QTemporaryDir m_root;
    QString m_folder;
    std::shared_ptr<const CertificateAuthority> m_ca;
    X509Handle m_caCertificate; // as exported
    EvpPkeyHandle m_leafKey;
};

void TestCertificateAuthority::initTestCase()
{
    QVERIFY(m_root.isValid());
    // Neither the folder nor its parent exists yet.
    m_folder = m_root.filePath(QStringLiteral("data/vesktor"));
    const CaLoadResult result = loadOrCreateCertificateAuthority(m_folder);
    QVERIFY2(result.ca, qPrintable(result.failedFile + QStringLiteral(": ") + result.reason));
    m_ca = result.ca;
    m_caCertificate = certificateFrom(m_ca->certificatePem());
    QVERIFY(m_caCertificate);
    m_leafKey = makeLeafKey();
    QVERIFY(m_leafKey);
}

void TestCertificateAuthority::caFieldsAndFiles()
{
    X509 *ca = m_caCertificate.get();
    const time_t now = Clock::to_time_t(Clock::now());
    QCOMPARE(X509_cmp(ca, m_ca->certificate()), 0);

    BASIC_CONSTRAINTS *constraints = static_cast<BASIC_CONSTRAINTS *>(
        X509_get_ext_d2i(ca, NID_basic_constraints, nullptr, nullptr));
    QVERIFY(constraints);
    const bool isCa = constraints->ca;
    const long pathLength = constraints->pathlen ? ASN1_INTEGER_get(constraints->pathlen) : -1;
    BASIC_CONSTRAINTS_free(constraints);
    QVERIFY(isCa);
    QCOMPARE(pathLength, 0L);
    QVERIFY(isCritical(ca, NID_basic_constraints));
    QCOMPARE(X509_get_key_usage(ca), uint32_t(KU_KEY_CERT_SIGN | KU_CRL_SIGN));
    QVERIFY(isCritical(ca, NID_key_usage));
    QVERIFY(X509_get0_subject_key_id(ca));
    QCOMPARE(commonNameOf(ca), QStringLiteral("Vesktor local CA"));
    QCOMPARE(X509_NAME_cmp(X509_get_subject_name(ca), X509_get_issuer_name(ca)), 0);

    BignumHandle serial;
    QVERIFY(!BN_is_negative(serialOf(ca, &serial)));
    QCOMPARE(BN_num_bits(serial.get()), 128);

    // Made a moment ago; ten calendar years hold two or three leap days.
    QVERIFY(qAbs(secondsAfter(X509_get0_notBefore(ca), now) + kDay) <= 60);
    const long lifetime = secondsAfter(X509_get0_notAfter(ca), timeOf(X509_get0_notBefore(ca)));
    QVERIFY2(lifetime == 3652 * kDay || lifetime == 3653 * kDay,
             qPrintable(QString::number(lifetime)));

    QCOMPARE(curveOf(X509_get0_pubkey(ca)), QByteArray("prime256v1"));
    QCOMPARE(X509_get_signature_nid(ca), NID_ecdsa_with_SHA256);
    QCOMPARE(X509_verify(ca, X509_get0_pubkey(ca)), 1);

    const QString certificatePath = m_folder + u'/' + QLatin1String(kCaCertificateFileName);
    const QString keyPath = m_folder + u'/' + QLatin1String(kCaKeyFileName);
    QCOMPARE(contentsOf(certificatePath), m_ca->certificatePem());
    QVERIFY(!m_ca->certificatePem().contains("PRIVATE KEY"));
    // PKCS#8, written out in two pieces so that no search for committed keys takes this for one.
    QVERIFY(contentsOf(keyPath).startsWith(QByteArray("-----BEGIN ") + "PRIVATE KEY-----\n"));
    QCOMPARE(statusOf(keyPath).st_mode & 07777, mode_t(0600));
    QCOMPARE(statusOf(m_folder).st_mode & 07777, mode_t(0700));
    // No temporary file is left behind.
    QCOMPARE(QDir(m_folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({QLatin1String(kCaKeyFileName), QLatin1String(kCaCertificateFileName)}));
}

void TestCertificateAuthority::secondLoadUsesTheFilesAsTheyAre()
{
    const QString certificatePath = m_folder + u'/' + QLatin1String(kCaCertificateFileName);
    const QString keyPath = m_folder + u'/' + QLatin1String(kCaKeyFileName);
    const QByteArray keyBefore = contentsOf(keyPath);
    const struct stat certificateBefore = statusOf(certificatePath);
    const struct stat keyStatusBefore = statusOf(keyPath);
    // A folder that others may enter is closed to them again, since it holds the key.
    QCOMPARE(::chmod(QFile::encodeName(m_folder).constData(), 0777), 0);

    const CaLoadResult again = loadOrCreateCertificateAuthority(m_folder);
    QVERIFY2(again.ca, qPrintable(again.failedFile + QStringLiteral(": ") + again.reason));
    QCOMPARE(statusOf(m_folder).st_mode & 07777, mode_t(0700));
    QCOMPARE(again.ca->certificatePem(), m_ca->certificatePem());
    QCOMPARE(contentsOf(keyPath), keyBefore);
    for (const auto &[path, before] :
         {std::pair(certificatePath, certificateBefore), std::pair(keyPath, keyStatusBefore)}) {
        const struct stat after = statusOf(path);
        QCOMPARE(after.st_ino, before.st_ino);
        QCOMPARE(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        QCOMPARE(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    }

    // The loaded CA signs leaves that the stored certificate verifies.
    const Clock::time_point now = wholeSecondsNow();
    X509Handle leaf = makeLeafCertificate(*again.ca, m_leafKey.get(), "example.com", now);
    QVERIFY(leaf);
    QCOMPARE(verificationError(m_caCertificate.get(), leaf.get(), "example.com", false,
                               Clock::to_time_t(now)),
             X509_V_OK);
}

void TestCertificateAuthority::unusableFileIsReportedAndKept_data()
{
    QTest::addColumn<bool>("spoilsKey");
    QTest::addColumn<Spoil>("spoil");
    QTest::addColumn<QString>("reason");

    const QString notCertificate = QStringLiteral("not a PEM certificate");
    const QString notKey = QStringLiteral("not a PEM private key");
    const QString missing = QStringLiteral("the file is missing");
    const QString unreadable = QStringLiteral("the file cannot be read");
    QTest::newRow("certificate garbage") << false << Spoil::Garbage << notCertificate;
    QTest::newRow("certificate empty") << false << Spoil::Empty << notCertificate;
    QTest::newRow("certificate is a folder") << false << Spoil::Folder << unreadable;
    QTest::newRow("certificate missing") << false << Spoil::Missing << missing;
    QTest::newRow("certificate is a leaf")
        << false << Spoil::LeafAsCertificate << QStringLiteral("not a CA certificate");
    QTest::newRow("key garbage") << true << Spoil::Garbage << notKey;
    QTest::newRow("key empty") << true << Spoil::Empty << notKey;
    QTest::newRow("key is a folder") << true << Spoil::Folder << unreadable;
    QTest::newRow("key missing") << true << Spoil::Missing << missing;
    QTest::newRow("key file holds the certificate")
        << true << Spoil::CertificateInKeyFile << notKey;
    QTest::newRow("key of another CA")
        << true << Spoil::OtherCaKey << QStringLiteral("the key does not match the certificate");
    // Without a passphrase callback OpenSSL would ask on the terminal.
    QTest::newRow("encrypted key") << true << Spoil::EncryptedKey << notKey;
    QTest::newRow("certificate not yet valid")
        << false << Spoil::NotYetValid << QStringLiteral("the certificate is not yet valid");
    // %1: the key's path.
    QTest::newRow("key readable by others")
        << true << Spoil::KeyReadableByOthers
        << QStringLiteral("it can be read by other users of this computer (mode 0644); allow "
                          "your user alone (chmod 600 %1)");
}

void TestCertificateAuthority::unusableFileIsReportedAndKept()
{
    QFETCH(bool, spoilsKey);
    QFETCH(Spoil, spoil);
    QFETCH(QString, reason);

    QTemporaryDir root;
    const QString folder = root.filePath(QStringLiteral("vesktor"));
    const CaLoadResult made = loadOrCreateCertificateAuthority(folder);
    QVERIFY(made.ca);
    const QString certificatePath = folder + u'/' + QLatin1String(kCaCertificateFileName);
    const QString keyPath = folder + u'/' + QLatin1String(kCaKeyFileName);
    const QString spoiled = spoilsKey ? keyPath : certificatePath;

    QByteArray replacement;
    switch (spoil) {
    case Spoil::Garbage:
        replacement = "-----BEGIN GARBAGE-----\nnot base64\n";
        break;
    case Spoil::Empty:
    case Spoil::Folder:
    case Spoil::Missing:
        break;
    case Spoil::KeyReadableByOthers:
        replacement = contentsOf(keyPath);
        break;
    case Spoil::NotYetValid:
        replacement = CertificateAuthority::create(Clock::now() + std::chrono::hours(24 * 365 * 14))
                          ->certificatePem();
        break;
    case Spoil::OtherCaKey: {
        QTemporaryDir otherRoot;
        QVERIFY(loadOrCreateCertificateAuthority(otherRoot.path()).ca);
        replacement = contentsOf(otherRoot.filePath(QLatin1String(kCaKeyFileName)));
        break;
    }
    case Spoil::CertificateInKeyFile:
        replacement = made.ca->certificatePem();
        break;
    case Spoil::LeafAsCertificate: {
        X509Handle leaf =
            makeLeafCertificate(*made.ca, m_leafKey.get(), "example.com", Clock::now());
        QVERIFY(leaf);
        BioHandle bio(BIO_new(BIO_s_mem()));
        QVERIFY(bio && PEM_write_bio_X509(bio.get(), leaf.get()));
        replacement = memoryContents(bio.get());
        break;
    }
    case Spoil::EncryptedKey: {
        EvpPkeyHandle key = makeLeafKey();
        BioHandle bio(BIO_new(BIO_s_mem()));
        char passphrase[] = "passphrase";
        QVERIFY(key && bio &&
                PEM_write_bio_PKCS8PrivateKey(bio.get(), key.get(), EVP_aes_256_cbc(), passphrase,
                                              int(sizeof passphrase - 1), nullptr, nullptr));
        replacement = memoryContents(bio.get());
        break;
    }
    }
    QVERIFY(QFile::remove(spoiled));
    if (spoil == Spoil::Folder) {
        QVERIFY(QDir().mkdir(spoiled));
    } else if (spoil != Spoil::Missing) {
        QFile file(spoiled);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(replacement), replacement.size());
        // A key file is judged by its contents, once only its owner may read it.
        const mode_t mode = spoil == Spoil::KeyReadableByOthers ? 0644 : spoilsKey ? 0600 : 0644;
        QCOMPARE(::chmod(QFile::encodeName(spoiled).constData(), mode), 0);
    }
    const QStringList entriesBefore = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden);
    const QByteArray certificateBefore = contentsOf(certificatePath);
    const QByteArray keyBefore = contentsOf(keyPath);

    const CaLoadResult result = loadOrCreateCertificateAuthority(folder);
    QVERIFY(!result.ca);
    QCOMPARE(result.failedFile, spoiled);
    QCOMPARE(result.reason, reason.contains(QLatin1String("%1")) ? reason.arg(spoiled) : reason);
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden), entriesBefore);
    QCOMPARE(contentsOf(certificatePath), certificateBefore);
    QCOMPARE(contentsOf(keyPath), keyBefore);
}

void TestCertificateAuthority::defaultFolderIsInTheDataLocation()
{
    const bool wasSet = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_root.path()));
    const QString folder = defaultCaFolder();
    if (wasSet)
        qputenv("XDG_DATA_HOME", saved);
    else
        qunsetenv("XDG_DATA_HOME");
    QCOMPARE(folder, m_root.path() + QStringLiteral("/vesktor"));
}

void TestCertificateAuthority::leafFields_data()
{
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("nameType");
    QTest::addColumn<QByteArray>("nameValue");
    QTest::addColumn<QByteArray>("checkedName"); // as a TLS client checks it
    QTest::addColumn<QByteArray>("otherName");   // one the leaf must not be good for

    const QByteArray longName = QByteArray(60, 'a') + '.' + QByteArray(60, 'b') + ".example";
    QTest::newRow("name") << QByteArray("example.com") << int(GEN_DNS) << QByteArray("example.com")
                          << QByteArray("example.com") << QByteArray("www.example.com");
    QTest::newRow("name with capitals, digits, hyphen")
        << QByteArray("Api-2.Example.org") << int(GEN_DNS) << QByteArray("Api-2.Example.org")
        << QByteArray("api-2.example.org") << QByteArray("api-3.example.org");
    QTest::newRow("single label") << QByteArray("localhost") << int(GEN_DNS)
                                  << QByteArray("localhost") << QByteArray("localhost")
                                  << QByteArray("localhost.example");
    QTest::newRow("name longer than a common name")
        << longName << int(GEN_DNS) << longName << longName << QByteArray("example");
    QTest::newRow("name that starts like an address")
        << QByteArray("192.0.2.7.example.com") << int(GEN_DNS)
        << QByteArray("192.0.2.7.example.com") << QByteArray("192.0.2.7.example.com")
        << QByteArray("192.0.2.7");
    QTest::newRow("IPv4") << QByteArray("192.0.2.7") << int(GEN_IPADD)
                          << QByteArray::fromHex("c0000207") << QByteArray("192.0.2.7")
                          << QByteArray("192.0.2.8");
    QTest::newRow("bracketed IPv6") << QByteArray("[2001:db8::1]") << int(GEN_IPADD)
                                    << QByteArray::fromHex("20010db8000000000000000000000001")
                                    << QByteArray("2001:db8::1") << QByteArray("2001:db8::2");
    QTest::newRow("bare IPv6") << QByteArray("::1") << int(GEN_IPADD)
                               << QByteArray::fromHex("00000000000000000000000000000001")
                               << QByteArray("::1") << QByteArray("127.0.0.1");
}

void TestCertificateAuthority::leafFields()
{
    QFETCH(QByteArray, host);
    QFETCH(int, nameType);
    QFETCH(QByteArray, nameValue);
    QFETCH(QByteArray, checkedName);
    QFETCH(QByteArray, otherName);

    const Clock::time_point now = wholeSecondsNow();
    const time_t nowSeconds = Clock::to_time_t(now);
    X509Handle leaf = makeLeafCertificate(*m_ca, m_leafKey.get(), stdString(host), now);
    QVERIFY(leaf);
    X509 *c = leaf.get();

    GENERAL_NAMES *names =
        static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(c, NID_subject_alt_name, nullptr, nullptr));
    QVERIFY(names);
    const int nameCount = sk_GENERAL_NAME_num(names);
    int type = -1;
    const ASN1_STRING *value = static_cast<const ASN1_STRING *>(
        GENERAL_NAME_get0_value(sk_GENERAL_NAME_value(names, 0), &type));
    const QByteArray valueBytes(reinterpret_cast<const char *>(ASN1_STRING_get0_data(value)),
                                ASN1_STRING_length(value));
    GENERAL_NAMES_free(names);
    QCOMPARE(nameCount, 1);
    QCOMPARE(type, nameType);
    QCOMPARE(valueBytes, nameValue);
    const QByteArray hostText = nameType == GEN_IPADD ? checkedName : host;
    QCOMPARE(commonNameOf(c), QString::fromLatin1(hostText.left(64)));

    QCOMPARE(X509_NAME_cmp(X509_get_issuer_name(c), X509_get_subject_name(m_ca->certificate())), 0);
    QCOMPARE(X509_check_ca(c), 0);
    QVERIFY(isCritical(c, NID_basic_constraints));
    QCOMPARE(X509_get_extended_key_usage(c), uint32_t(XKU_SSL_SERVER));
    QCOMPARE(X509_get_key_usage(c), uint32_t(KU_DIGITAL_SIGNATURE));
    QCOMPARE(ASN1_OCTET_STRING_cmp(X509_get0_authority_key_id(c),
                                   X509_get0_subject_key_id(m_caCertificate.get())),
             0);
    QCOMPARE(curveOf(X509_get0_pubkey(c)), QByteArray("prime256v1"));
    QCOMPARE(X509_get_signature_nid(c), NID_ecdsa_with_SHA256);

    BignumHandle serial;
    BignumHandle otherSerial;
    X509Handle other = makeLeafCertificate(*m_ca, m_leafKey.get(), stdString(host), now);
    QVERIFY(other);
    QVERIFY(!BN_is_negative(serialOf(c, &serial)));
    QCOMPARE(BN_num_bits(serial.get()), 128);
    QVERIFY(BN_cmp(serial.get(), serialOf(other.get(), &otherSerial)) != 0);

    QCOMPARE(secondsAfter(X509_get0_notBefore(c), nowSeconds), -kDay);
    QCOMPARE(secondsAfter(X509_get0_notAfter(c), nowSeconds), 30 * kDay);

    const bool isAddress = nameType == GEN_IPADD;
    QCOMPARE(verificationError(m_caCertificate.get(), c, checkedName, isAddress, nowSeconds),
             X509_V_OK);
    const bool isOtherAddress = QHostAddress().setAddress(QString::fromLatin1(otherName));
    const int mismatch =
        isOtherAddress ? X509_V_ERR_IP_ADDRESS_MISMATCH : X509_V_ERR_HOSTNAME_MISMATCH;
    QCOMPARE(verificationError(m_caCertificate.get(), c, otherName, isOtherAddress, nowSeconds),
             mismatch);
}

void TestCertificateAuthority::leafEndsWithTheCa_data()
{
    QTest::addColumn<long>("secondsBeforeCaEnd");
    QTest::addColumn<bool>("isMade");
    QTest::addColumn<long>("endBeforeCaEnd");

    QTest::newRow("31 days before") << 31 * kDay << true << kDay;
    QTest::newRow("30 days before") << 30 * kDay << true << 0L;
    QTest::newRow("10 days before") << 10 * kDay << true << 0L;
    QTest::newRow("a second before") << 1L << true << 0L;
    QTest::newRow("at the end") << 0L << false << 0L;
    QTest::newRow("a day after") << -kDay << false << 0L;
}

void TestCertificateAuthority::leafEndsWithTheCa()
{
    QFETCH(long, secondsBeforeCaEnd);
    QFETCH(bool, isMade);
    QFETCH(long, endBeforeCaEnd);

    const time_t caEnd = timeOf(X509_get0_notAfter(m_caCertificate.get()));
    const time_t now = caEnd - secondsBeforeCaEnd;
    X509Handle leaf =
        makeLeafCertificate(*m_ca, m_leafKey.get(), "example.com", Clock::from_time_t(now));
    QCOMPARE(bool(leaf), isMade);
    if (!leaf)
        return;
    QCOMPARE(secondsAfter(X509_get0_notAfter(leaf.get()), caEnd), -endBeforeCaEnd);
    QCOMPARE(verificationError(m_caCertificate.get(), leaf.get(), "example.com", false, now),
             X509_V_OK);
}

void TestCertificateAuthority::hostThatIsNoName_data()
{
    QTest::addColumn<QByteArray>("host");

    QTest::newRow("empty") << QByteArray();
    // In OpenSSL's configuration syntax this would be two names.
    QTest::newRow("comma and a second name") << QByteArray("a.example,DNS:bank.example");
    QTest::newRow("wildcard") << QByteArray("*.example.com");
    QTest::newRow("blank") << QByteArray("exa mple.com");
    QTest::newRow("slash") << QByteArray("example.com/CN=bank.example");
    QTest::newRow("non-ASCII") << QByteArray("b\xc3\xbc"
                                             "cher.example");
    QTest::newRow("NUL in a name") << QByteArray("bank.example\0.evil", 18);
    QTest::newRow("NUL after an address") << QByteArray("192.0.2.1\0.evil", 15);
    QTest::newRow("bracketed name") << QByteArray("[example.com]");
    QTest::newRow("bracketed IPv4") << QByteArray("[192.0.2.1]");
    QTest::newRow("IPv6 zone") << QByteArray("[fe80::1%eth0]");
    QTest::newRow("254 bytes") << QByteArray(63, 'a') + '.' + QByteArray(63, 'b') + '.' +
                                      QByteArray(63, 'c') + '.' + QByteArray(62, 'd');
}

void TestCertificateAuthority::hostThatIsNoName()
{
    QFETCH(QByteArray, host);
    QVERIFY(!makeLeafCertificate(*m_ca, m_leafKey.get(), stdString(host), Clock::now()));
}

void TestCertificateAuthority::needsRenewal_data()
{
    QTest::addColumn<long>("secondsAfterMaking");
    QTest::addColumn<bool>("expected");

    QTest::newRow("just made") << 0L << false;
    QTest::newRow("half a day back") << -kDay / 2 << false;
    QTest::newRow("28 days on") << 28 * kDay << false;
    QTest::newRow("a day and a second left") << 29 * kDay - 1 << false;
    QTest::newRow("a day left") << 29 * kDay << true;
    QTest::newRow("ended") << 30 * kDay << true;
    QTest::newRow("long ended") << 300 * kDay << true;
    QTest::newRow("clock went a day back") << -kDay << false;
    QTest::newRow("clock went a day and a second back") << -kDay - 1 << true;
    QTest::newRow("clock went two days back") << -2 * kDay << true;
}

void TestCertificateAuthority::needsRenewal()
{
    QFETCH(long, secondsAfterMaking);
    QFETCH(bool, expected);

    const Clock::time_point made = wholeSecondsNow();
    X509Handle leaf = makeLeafCertificate(*m_ca, m_leafKey.get(), "example.com", made);
    QVERIFY(leaf);
    QCOMPARE(::needsRenewal(leaf.get(), made + std::chrono::seconds(secondsAfterMaking)), expected);
}

QTEST_GUILESS_MAIN(TestCertificateAuthority)
#include "test_certificate_authority.moc"
