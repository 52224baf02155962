#include "net/tls/trust_bundle.h"

#include <QFile>
#include <QFileInfo>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "net/tls/openssl_handles.h"

namespace {

// Debian's file of every trusted CA is about 200 KB; far more than this is no trust file.
constexpr qint64 kMaxTrustFileBytes = 16 * 1024 * 1024;

} // namespace

QString systemTrustFile()
{
    const QByteArray named = qgetenv(X509_get_default_cert_file_env());
    return QFile::decodeName(named.isEmpty() ? QByteArray(X509_get_default_cert_file()) : named);
}

QByteArray makeTrustBundle(const QByteArray &systemPem, const QByteArray &caPem)
{
    BioHandle input(BIO_new_mem_buf(systemPem.constData(), int(systemPem.size())));
    BioHandle output(BIO_new(BIO_s_mem()));
    if (!input || !output || systemPem.size() > kMaxTrustFileBytes)
        return QByteArray();
    int count = 0;
    // PEM_read_bio_X509 skips whatever lies between certificates, and stops at the end.
    while (X509Handle certificate{PEM_read_bio_X509(input.get(), nullptr, nullptr, nullptr)}) {
        if (!PEM_write_bio_X509(output.get(), certificate.get())) {
            ERR_clear_error();
            return QByteArray();
        }
        ++count;
    }
    ERR_clear_error(); // the end of the input reads as an error
    char *data = nullptr;
    const long size = BIO_get_mem_data(output.get(), &data);
    if (count == 0 || size <= 0)
        return QByteArray();
    return QByteArray(data, int(size)) + caPem;
}

TrustBundleResult loadTrustBundle(const QByteArray &caPem)
{
    TrustBundleResult result;
    result.failedFile = systemTrustFile();
    const QFileInfo info(result.failedFile);
    QFile file(result.failedFile);
    if (!info.exists()) {
        result.reason = QStringLiteral("there is no such file");
    } else if (!info.isFile()) {
        result.reason = QStringLiteral("it is not a regular file");
    } else if (info.size() > kMaxTrustFileBytes) {
        result.reason = QStringLiteral("it is too large for a file of certificates");
    } else if (!file.open(QIODevice::ReadOnly)) {
        result.reason = file.errorString();
    } else {
        result.bundle = makeTrustBundle(file.read(kMaxTrustFileBytes), caPem);
        if (result.bundle.isEmpty())
            result.reason = QStringLiteral("it holds no certificate");
    }
    if (result.reason.isEmpty())
        result.failedFile.clear();
    return result;
}
