#include "net/tls/tls_inspection.h"

#include "net/http/ascii.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/x509v3.h>

namespace {

const unsigned char kHttp11Alpn[] = "\x08http/1.1";

// The host as an IP literal for the certificate checks: without an IPv6 literal's brackets.
// Empty for a host name.
std::string ipLiteralOf(const std::string &host)
{
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    unsigned char address[16];
    if (inet_pton(AF_INET, bare.c_str(), address) == 1 ||
        inet_pton(AF_INET6, bare.c_str(), address) == 1)
        return bare;
    return std::string();
}

// ALPN: "http/1.1" when the browser offers it, nothing otherwise: the requests inside are read
// as HTTP/1.1, and a browser that offers only h2 falls back to no ALPN at all.
int selectHttp11(SSL *, const unsigned char **selected, unsigned char *selectedLength,
                 const unsigned char *offered, unsigned int offeredLength, void *)
{
    unsigned char *choice = nullptr;
    if (SSL_select_next_proto(&choice, selectedLength, kHttp11Alpn, sizeof kHttp11Alpn - 1, offered,
                              offeredLength) != OPENSSL_NPN_NEGOTIATED)
        return SSL_TLSEXT_ERR_NOACK;
    *selected = choice;
    return SSL_TLSEXT_ERR_OK;
}

// A browser that names another host than its CONNECT did is not given this host's certificate.
int checkServerName(SSL *ssl, int *alert, void *)
{
    const char *name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    const auto *expected = static_cast<const std::string *>(SSL_get_app_data(ssl));
    if (!name || !expected)
        return SSL_TLSEXT_ERR_OK;
    const std::string ip = ipLiteralOf(*expected);
    if (equalsIgnoringAsciiCase(QByteArray(name),
                                QByteArray::fromStdString(ip.empty() ? *expected : ip)))
        return SSL_TLSEXT_ERR_OK;
    *alert = SSL_AD_UNRECOGNIZED_NAME;
    return SSL_TLSEXT_ERR_ALERT_FATAL;
}

} // namespace

std::shared_ptr<const TlsInspection>
TlsInspection::make(std::shared_ptr<const CertificateAuthority> ca)
{
    if (!ca)
        return nullptr;
    auto inspection = std::make_shared<TlsInspection>();
    inspection->m_ca = std::move(ca);
    inspection->m_leafKey = makeLeafKey();
    inspection->m_originContext.reset(SSL_CTX_new(TLS_client_method()));
    SSL_CTX *context = inspection->m_originContext.get();
    const bool isMade =
        inspection->m_leafKey && context &&
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
        SSL_CTX_set_default_verify_paths(context) == 1 &&
        SSL_CTX_set_alpn_protos(context, kHttp11Alpn, sizeof kHttp11Alpn - 1) == 0 &&
        OriginSessions::install(context);
    ERR_clear_error();
    if (!isMade)
        return nullptr;
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);

    inspection->m_browserContext.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX *browser = inspection->m_browserContext.get();
    const bool isBrowserMade = browser &&
                               SSL_CTX_set_min_proto_version(browser, TLS1_2_VERSION) == 1 &&
                               SSL_CTX_use_PrivateKey(browser, inspection->m_leafKey.get()) == 1;
    ERR_clear_error();
    if (!isBrowserMade)
        return nullptr;
    SSL_CTX_set_alpn_select_cb(browser, selectHttp11, nullptr);
    SSL_CTX_set_tlsext_servername_callback(browser, checkServerName);
    // One session ticket per handshake instead of OpenSSL's two: a browser uses a ticket once
    // and gets a new one with every connection, and each ticket costs a session encoded,
    // encrypted and authenticated.
    SSL_CTX_set_num_tickets(browser, 1);
    return inspection;
}

bool TlsInspection::prepareOriginSession(SSL *ssl, const std::string &host)
{
    const std::string ip = ipLiteralOf(host);
    const bool isPrepared =
        (ip.empty() ? SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 &&
                          SSL_set1_host(ssl, host.c_str()) == 1
                    : X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ip.c_str()) == 1) &&
        OriginSessions::prepare(ssl, host);
    ERR_clear_error();
    return isPrepared;
}

bool BrowserLeaves::present(SSL *ssl, const TlsInspection &inspection, const std::string &host)
{
    const auto now = std::chrono::system_clock::now();
    X509Handle *kept = m_leaves.find(host);
    if (!kept || needsRenewal(kept->get(), now)) {
        X509Handle leaf = makeLeafCertificate(inspection.ca(), inspection.leafKey(), host, now);
        if (!leaf) {
            ERR_clear_error();
            return false;
        }
        kept = m_leaves.put(host, std::move(leaf));
    }
    // Sessions are resumed only on connections for the host they began with: the context is
    // shared by every host, and a resumed handshake shows no certificate.
    unsigned char hostDigest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(host.data()), host.size(), hostDigest);
    static_assert(SHA256_DIGEST_LENGTH <= SSL_MAX_SID_CTX_LENGTH);
    const bool isPresented = SSL_use_certificate(ssl, kept->get()) == 1 &&
                             SSL_set_session_id_context(ssl, hostDigest, sizeof hostDigest) == 1;
    ERR_clear_error();
    if (isPresented)
        SSL_set_app_data(ssl, const_cast<std::string *>(&host));
    return isPresented;
}

SocketErrorInfo originTlsFailure(SSL *ssl, const QString &failureText)
{
    const long verified = SSL_get_verify_result(ssl);
    if (verified == X509_V_OK) {
        return {12175,
                QStringLiteral("The secure connection to the server failed: %1").arg(failureText)};
    }
    const QString reason = QString::fromLatin1(X509_verify_cert_error_string(verified));
    switch (verified) {
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return {12038,
                QStringLiteral("The server's certificate names another host: %1").arg(reason)};
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return {12037,
                QStringLiteral("The server's certificate has expired or is not yet valid: %1")
                    .arg(reason)};
    default:
        return {12045, QStringLiteral("The server's certificate is not trusted: %1").arg(reason)};
    }
}

bool isCertificateRejectedByPeer(int failureReason)
{
    switch (failureReason) {
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
        return true;
    default:
        return false;
    }
}

// OpenSSL reports an alert received from the peer as its description plus this offset.
int alertReceived(int failureReason)
{
    const int alert = failureReason - SSL_AD_REASON_OFFSET;
    return alert >= 0 && alert <= 255 ? alert : -1;
}

QString alertName(int alert)
{
    return QStringLiteral("%1 (%2)")
        .arg(QString::fromLatin1(SSL_alert_desc_string_long(alert)))
        .arg(alert);
}
