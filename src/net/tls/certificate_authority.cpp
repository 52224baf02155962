#include "net/tls/certificate_authority.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "net/http/ascii.h"

namespace {

using Clock = std::chrono::system_clock;

constexpr time_t kDaySeconds = 24 * 60 * 60;
constexpr char kCaCommonName[] = "Vesktor local CA";
constexpr int kCaYears = 10;
constexpr time_t kLeafDays = 30;
constexpr int kSerialBits = 128;
// The upper bound X.509 sets for a common name (ub-common-name).
constexpr size_t kMaxCommonNameBytes = 64;
// The longest name DNS allows, written without the final dot.
constexpr size_t kMaxHostNameBytes = 253;

// A failed OpenSSL call leaves errors in the thread's queue, and the TLS code that runs next on
// that thread would take them for its own (SSL_get_error() looks at the queue).
struct ClearsOpenSslErrors {
    ~ClearsOpenSslErrors() { ERR_clear_error(); }
};

// A random serial of exactly 128 bits, so positive and never zero: browsers reject a leaf whose
// issuer and serial they have seen on another certificate, and random serials cannot collide
// however many leaves and runs there are.
bool setRandomSerial(X509 *certificate)
{
    BignumHandle number(BN_new());
    return number && BN_rand(number.get(), kSerialBits, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) &&
           BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate));
}

bool setValidity(X509 *certificate, time_t notBefore, time_t notAfter)
{
    return ASN1_TIME_set(X509_getm_notBefore(certificate), notBefore) &&
           ASN1_TIME_set(X509_getm_notAfter(certificate), notAfter);
}

bool addCommonName(X509_NAME *name, const char *text, size_t size)
{
    return X509_NAME_add_entry_by_NID(name, NID_commonName, MBSTRING_UTF8,
                                      reinterpret_cast<const unsigned char *>(text), int(size), -1,
                                      0);
}

time_t yearsLater(time_t start, int years)
{
    std::tm parts{};
    gmtime_r(&start, &parts);
    parts.tm_year += years;
    return timegm(&parts);
}

// An extension from OpenSSL's configuration syntax; only for fixed texts, never for anything a
// peer sent, which could smuggle in further values after a comma.
X509ExtensionHandle fixedExtension(X509 *subject, int nid, const char *value)
{
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, subject, subject, nullptr, nullptr, 0);
    return X509ExtensionHandle(X509V3_EXT_conf_nid(nullptr, &context, nid, value));
}

bool addFixedExtension(X509 *certificate, int nid, const char *value)
{
    X509ExtensionHandle extension = fixedExtension(certificate, nid, value);
    return extension && X509_add_ext(certificate, extension.get(), -1);
}

// The host as a leaf names it.
struct LeafHost {
    std::string text; // without the brackets of an IPv6 literal
    unsigned char address[16] = {};
    int addressSize = 0; // 4 or 16 for an IP literal, 0 for a DNS name
};

bool isHostNameByte(char c)
{
    return isAsciiLetter(c) || isAsciiDigit(c) || c == '-' || c == '_' || c == '.';
}

std::optional<LeafHost> leafHost(const std::string &host)
{
    LeafHost result;
    const bool isBracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    result.text = isBracketed ? host.substr(1, host.size() - 2) : host;
    // inet_pton() stops at a NUL, which would turn "192.0.2.1\0..." into an address.
    if (result.text.find('\0') != std::string::npos)
        return std::nullopt;
    if (inet_pton(AF_INET6, result.text.c_str(), result.address) == 1) {
        result.addressSize = 16;
        return result;
    }
    if (isBracketed)
        return std::nullopt;
    if (inet_pton(AF_INET, result.text.c_str(), result.address) == 1) {
        result.addressSize = 4;
        return result;
    }
    if (result.text.empty() || result.text.size() > kMaxHostNameBytes)
        return std::nullopt;
    for (char c : result.text) {
        if (!isHostNameByte(c))
            return std::nullopt;
    }
    return result;
}

bool addSubjectAltName(X509 *certificate, const LeafHost &host)
{
    GeneralNamesHandle names(GENERAL_NAMES_new());
    GeneralNameHandle name(GENERAL_NAME_new());
    Asn1StringHandle value(host.addressSize ? ASN1_OCTET_STRING_new() : ASN1_IA5STRING_new());
    if (!names || !name || !value)
        return false;
    const bool isSet = host.addressSize
                           ? ASN1_OCTET_STRING_set(value.get(), host.address, host.addressSize)
                           : ASN1_STRING_set(value.get(), host.text.data(), int(host.text.size()));
    if (!isSet)
        return false;
    GENERAL_NAME_set0_value(name.get(), host.addressSize ? GEN_IPADD : GEN_DNS, value.release());
    if (!sk_GENERAL_NAME_push(names.get(), name.get()))
        return false;
    name.release();
    return X509_add1_ext_i2d(certificate, NID_subject_alt_name, names.get(), 0,
                             X509V3_ADD_DEFAULT) == 1;
}

QByteArray pemOf(const X509 *certificate)
{
    BioHandle bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), certificate))
        return QByteArray();
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return QByteArray(data, qsizetype(size));
}

// An entry of any kind, a dangling symbolic link included: rename() would replace it.
bool pathExists(const QString &path)
{
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0;
}

QString errnoText(const char *what, int error)
{
    return QStringLiteral("%1 (%2)").arg(QLatin1String(what), qt_error_string(error));
}

// Missing folders are made; the last one only its owner may enter, since it holds the key.
bool makeFolder(const QString &folder, QString *reason)
{
    if (QFileInfo(folder).isDir())
        return true;
    const QString parent = QFileInfo(folder).absolutePath();
    if (!QDir().mkpath(parent)) {
        *reason = QStringLiteral("the folder cannot be made");
        return false;
    }
    if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST) {
        *reason = errnoText("the folder cannot be made", errno);
        return false;
    }
    return true;
}

// The folder holds the key: one that others may enter or list loses those rights, when it is
// this user's to change. Another user's folder is left as it is (the key's own mode decides).
void restrictFolderToOwner(const QString &folder)
{
    struct stat status {};
    const QByteArray name = QFile::encodeName(folder);
    if (::stat(name.constData(), &status) == 0 && S_ISDIR(status.st_mode) &&
        status.st_uid == ::geteuid() && (status.st_mode & 077) != 0)
        ::chmod(name.constData(), status.st_mode & 0700);
}

// Why the key at `path` must not be used, or an empty text when only its owner may read or
// write it. The mode is that of the file a symlink leads to, the one that would be read.
QString keyExposure(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return QString(); // reading it reports what is wrong
    const mode_t exposed = status.st_mode & 077;
    if (exposed == 0)
        return QString();
    const QString mode = QStringLiteral("%1").arg(status.st_mode & 07777, 4, 8, QLatin1Char('0'));
    const QString what = (exposed & 044) != 0 ? QStringLiteral("read") : QStringLiteral("changed");
    return QStringLiteral("it can be %1 by other users of this computer (mode %2); allow your "
                          "user alone (chmod 600 %3)")
        .arg(what, mode, path);
}

bool writeAll(int descriptor, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= size_t(written);
    }
    return true;
}

// Writes a new file through a temporary one in the same folder that is renamed to `path` once
// it is complete and on disk: a crash leaves no file or the whole file, never a part of it. open()
// itself gives the temporary file its mode, so a key is not readable by others even for the
// moment between creating and changing it.
bool writeFileAtomically(const QString &path, const char *data, size_t size, mode_t mode,
                         QString *reason)
{
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1) {
        *reason = QStringLiteral("no random name for a temporary file");
        return false;
    }
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary =
        target + ".tmp-" +
        QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex();
    const int descriptor =
        ::open(temporary.constData(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, mode);
    if (descriptor < 0) {
        *reason = errnoText("the file cannot be written", errno);
        return false;
    }
    bool isWritten = writeAll(descriptor, data, size) && ::fsync(descriptor) == 0;
    int error = errno;
    if (::close(descriptor) != 0 && isWritten) {
        isWritten = false;
        error = errno;
    }
    if (isWritten && ::rename(temporary.constData(), target.constData()) != 0) {
        isWritten = false;
        error = errno;
    }
    if (!isWritten) {
        ::unlink(temporary.constData());
        *reason = errnoText("the file cannot be written", error);
        return false;
    }
    return true;
}

// Makes the renames into the folder last through a crash as well.
void syncFolder(const QString &folder)
{
    const int descriptor =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fsync(descriptor);
    ::close(descriptor);
}

bool readFile(const QString &path, QByteArray *contents)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *contents = file.readAll();
    return file.error() == QFileDevice::NoError;
}

// An encrypted key would otherwise make OpenSSL ask for a passphrase on the terminal.
int refusePassphrase(char *, int, int, void *)
{
    return -1;
}

CaLoadResult failure(const QString &file, const QString &reason)
{
    return CaLoadResult{nullptr, file, reason};
}

} // namespace

CertificateAuthority::CertificateAuthority(Private, X509Handle certificate, EvpPkeyHandle key,
                                           std::vector<X509ExtensionHandle> leafExtensions)
    : m_certificate(std::move(certificate)), m_key(std::move(key)),
      m_leafExtensions(std::move(leafExtensions))
{
}

std::shared_ptr<const CertificateAuthority> CertificateAuthority::make(X509Handle certificate,
                                                                       EvpPkeyHandle key)
{
    const ASN1_OCTET_STRING *keyId = X509_get0_subject_key_id(certificate.get());
    AuthorityKeyIdHandle authorityKeyId(AUTHORITY_KEYID_new());
    if (!keyId || !authorityKeyId)
        return nullptr;
    authorityKeyId->keyid = ASN1_OCTET_STRING_dup(keyId);
    if (!authorityKeyId->keyid)
        return nullptr;

    std::vector<X509ExtensionHandle> extensions;
    extensions.push_back(fixedExtension(nullptr, NID_basic_constraints, "critical,CA:FALSE"));
    extensions.push_back(fixedExtension(nullptr, NID_key_usage, "critical,digitalSignature"));
    extensions.push_back(fixedExtension(nullptr, NID_ext_key_usage, "serverAuth"));
    extensions.emplace_back(X509V3_EXT_i2d(NID_authority_key_identifier, 0, authorityKeyId.get()));
    for (const X509ExtensionHandle &extension : extensions) {
        if (!extension)
            return nullptr;
    }
    return std::make_shared<const CertificateAuthority>(Private{}, std::move(certificate),
                                                        std::move(key), std::move(extensions));
}

std::shared_ptr<const CertificateAuthority>
CertificateAuthority::create(std::chrono::system_clock::time_point now)
{
    ClearsOpenSslErrors clearsErrors;
    EvpPkeyHandle key(EVP_EC_gen("P-256"));
    X509Handle certificate(X509_new());
    if (!key || !certificate)
        return nullptr;
    X509 *c = certificate.get();
    X509_NAME *name = X509_get_subject_name(c);
    const time_t start = Clock::to_time_t(now) - kDaySeconds;
    const bool isMade = X509_set_version(c, X509_VERSION_3) && setRandomSerial(c) &&
                        addCommonName(name, kCaCommonName, sizeof kCaCommonName - 1) &&
                        X509_set_issuer_name(c, name) &&
                        setValidity(c, start, yearsLater(start, kCaYears)) &&
                        X509_set_pubkey(c, key.get()) &&
                        addFixedExtension(c, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
                        addFixedExtension(c, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                        addFixedExtension(c, NID_subject_key_identifier, "hash") &&
                        X509_sign(c, key.get(), EVP_sha256()) > 0;
    if (!isMade)
        return nullptr;
    return make(std::move(certificate), std::move(key));
}

QByteArray CertificateAuthority::certificatePem() const
{
    return pemOf(m_certificate.get());
}

QString defaultCaFolder()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : data + QStringLiteral("/vesktor");
}

CaLoadResult loadOrCreateCertificateAuthority(const QString &folder)
{
    ClearsOpenSslErrors clearsErrors;
    if (folder.isEmpty())
        return failure(QLatin1String(kCaCertificateFileName),
                       QStringLiteral("there is no data folder"));
    const QString cleanFolder = QDir::cleanPath(folder);
    const QString certificatePath = cleanFolder + u'/' + QLatin1String(kCaCertificateFileName);
    const QString keyPath = cleanFolder + u'/' + QLatin1String(kCaKeyFileName);
    const bool hasCertificate = pathExists(certificatePath);
    const bool hasKey = pathExists(keyPath);

    if (!hasCertificate && !hasKey) {
        QString reason;
        if (!makeFolder(cleanFolder, &reason))
            return failure(cleanFolder, reason);
        restrictFolderToOwner(cleanFolder);
        std::shared_ptr<const CertificateAuthority> ca = CertificateAuthority::create(Clock::now());
        // Secure memory is wiped when it is freed, so the key leaves no copy on the heap.
        BioHandle keyPem(BIO_new(BIO_s_secmem()));
        if (!ca || !keyPem ||
            !PEM_write_bio_PKCS8PrivateKey(keyPem.get(), ca->m_key.get(), nullptr, nullptr, 0,
                                           nullptr, nullptr))
            return failure(keyPath, QStringLiteral("the key cannot be made"));
        char *keyData = nullptr;
        const long keySize = BIO_get_mem_data(keyPem.get(), &keyData);
        const QByteArray certificatePem = ca->certificatePem();
        if (!writeFileAtomically(keyPath, keyData, size_t(keySize), 0600, &reason))
            return failure(keyPath, reason);
        if (!writeFileAtomically(certificatePath, certificatePem.constData(),
                                 size_t(certificatePem.size()), 0644, &reason)) {
            // The key alone would be reported as a CA without its certificate at every start;
            // nobody can trust it yet, so it goes.
            ::unlink(QFile::encodeName(keyPath).constData());
            return failure(certificatePath, reason);
        }
        syncFolder(cleanFolder);
        return CaLoadResult{ca, QString(), QString()};
    }
    if (!hasCertificate)
        return failure(certificatePath, QStringLiteral("the file is missing"));
    if (!hasKey)
        return failure(keyPath, QStringLiteral("the file is missing"));
    restrictFolderToOwner(cleanFolder);

    QByteArray bytes;
    if (!readFile(certificatePath, &bytes))
        return failure(certificatePath, QStringLiteral("the file cannot be read"));
    BioHandle certificateBio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
    X509Handle certificate(certificateBio
                               ? PEM_read_bio_X509(certificateBio.get(), nullptr, nullptr, nullptr)
                               : nullptr);
    if (!certificate)
        return failure(certificatePath, QStringLiteral("not a PEM certificate"));
    if (X509_check_ca(certificate.get()) != 1 || !X509_get0_subject_key_id(certificate.get()))
        return failure(certificatePath, QStringLiteral("not a CA certificate"));
    if (X509_cmp_current_time(X509_get0_notAfter(certificate.get())) <= 0)
        return failure(certificatePath, QStringLiteral("the certificate has expired"));
    // Browsers refuse every leaf of a CA that is not valid yet, as they would an expired one.
    if (X509_cmp_current_time(X509_get0_notBefore(certificate.get())) >= 0)
        return failure(certificatePath, QStringLiteral("the certificate is not yet valid"));

    if (const QString exposure = keyExposure(keyPath); !exposure.isEmpty())
        return failure(keyPath, exposure);

    if (!readFile(keyPath, &bytes))
        return failure(keyPath, QStringLiteral("the file cannot be read"));
    BioHandle keyBio(BIO_new_mem_buf(bytes.constData(), int(bytes.size())));
    EvpPkeyHandle key(
        keyBio ? PEM_read_bio_PrivateKey(keyBio.get(), nullptr, refusePassphrase, nullptr)
               : nullptr);
    OPENSSL_cleanse(bytes.data(), size_t(bytes.size()));
    if (!key)
        return failure(keyPath, QStringLiteral("not a PEM private key"));
    if (X509_check_private_key(certificate.get(), key.get()) != 1)
        return failure(keyPath, QStringLiteral("the key does not match the certificate"));

    std::shared_ptr<const CertificateAuthority> ca =
        CertificateAuthority::make(std::move(certificate), std::move(key));
    if (!ca)
        return failure(certificatePath, QStringLiteral("the CA cannot be set up"));
    return CaLoadResult{ca, QString(), QString()};
}

EvpPkeyHandle makeLeafKey()
{
    ClearsOpenSslErrors clearsErrors;
    return EvpPkeyHandle(EVP_EC_gen("P-256"));
}

X509Handle makeLeafCertificate(const CertificateAuthority &ca, EVP_PKEY *leafKey,
                               const std::string &host, std::chrono::system_clock::time_point now)
{
    ClearsOpenSslErrors clearsErrors;
    const std::optional<LeafHost> subject = leafHost(host);
    if (!subject || !leafKey)
        return nullptr;
    const X509 *caCertificate = ca.m_certificate.get();
    const ASN1_TIME *caEnd = X509_get0_notAfter(caCertificate);
    time_t nowSeconds = Clock::to_time_t(now);
    // -1: the CA ends at or before now; 0: its end cannot be read.
    if (X509_cmp_time(caEnd, &nowSeconds) != 1)
        return nullptr;
    Asn1TimeHandle end(ASN1_TIME_set(nullptr, nowSeconds + kLeafDays * kDaySeconds));
    X509Handle leaf(X509_new());
    if (!end || !leaf)
        return nullptr;

    X509 *c = leaf.get();
    bool isMade =
        X509_set_version(c, X509_VERSION_3) && setRandomSerial(c) &&
        addCommonName(X509_get_subject_name(c), subject->text.data(),
                      std::min(subject->text.size(), kMaxCommonNameBytes)) &&
        X509_set_issuer_name(c, X509_get_subject_name(caCertificate)) &&
        ASN1_TIME_set(X509_getm_notBefore(c), nowSeconds - kDaySeconds) &&
        X509_set1_notAfter(c, ASN1_TIME_compare(end.get(), caEnd) > 0 ? caEnd : end.get()) &&
        X509_set_pubkey(c, leafKey) && addSubjectAltName(c, *subject);
    for (const X509ExtensionHandle &extension : ca.m_leafExtensions)
        isMade = isMade && X509_add_ext(c, extension.get(), -1);
    if (!isMade || X509_sign(c, ca.m_key.get(), EVP_sha256()) <= 0)
        return nullptr;
    return leaf;
}

bool needsRenewal(const X509 *leaf, std::chrono::system_clock::time_point now)
{
    time_t nowSeconds = Clock::to_time_t(now);
    time_t dayLater = nowSeconds + kDaySeconds;
    // X509_cmp_time(): -1 for a time at or before the one given, 1 for a later one, 0 when the
    // certificate's time cannot be read (then the leaf is made anew too).
    return X509_cmp_time(X509_get0_notBefore(leaf), &nowSeconds) != -1 ||
           X509_cmp_time(X509_get0_notAfter(leaf), &dayLater) != 1;
}
