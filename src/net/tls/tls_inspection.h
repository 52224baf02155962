#pragma once

#include <QString>
#include <QtGlobal>
#include <chrono>
#include <memory>
#include <openssl/ssl.h>
#include <string>

#include "net/engine/socket_errors.h"
#include "net/tls/certificate_authority.h"
#include "net/tls/lru_cache.h"
#include "net/tls/openssl_handles.h"
#include "net/tls/origin_sessions.h"

using SslCtxHandle = std::unique_ptr<SSL_CTX, OpenSslFree<SSL_CTX_free>>;

// What a run needs to look inside HTTPS, made before the engine serves an inspected tunnel and
// never changed after: the local CA, one leaf key for the whole run, the one server context that
// answers every browser (each connection is given its host's leaf: BrowserLeaves), and the
// client context for the origins, with the system's trust store loaded once (OpenSSL's default
// paths, so that SSL_CERT_FILE and SSL_CERT_DIR apply). Loading the store takes tens of
// milliseconds, so it is made off the engine's thread. Only the origins' sessions, kept for
// resumption, change as it runs (OriginSessions, locked).
class TlsInspection {
public:
    // Null when OpenSSL cannot make the contexts.
    static std::shared_ptr<const TlsInspection>
    make(std::shared_ptr<const CertificateAuthority> ca);

    const CertificateAuthority &ca() const { return *m_ca; }
    EVP_PKEY *leafKey() const { return m_leafKey.get(); }
    // TLS 1.2 or later, ALPN "http/1.1", the peer verified against the trust store. Never an
    // option to skip the verification.
    SSL_CTX *originContext() const { return m_originContext.get(); }
    // TLS 1.2 or later with the run's leaf key. It selects "http/1.1" by ALPN when the browser
    // offers it, and refuses a handshake whose server name is not the host the tunnel was opened
    // for (BrowserLeaves::present).
    SSL_CTX *browserContext() const { return m_browserContext.get(); }

    // Sets up an origin's TLS session for host (a name gets SNI and a name check, an IP literal
    // an address check), resuming the host's last session when one is kept.
    static bool prepareOriginSession(SSL *ssl, const std::string &host);

private:
    std::shared_ptr<const CertificateAuthority> m_ca;
    EvpPkeyHandle m_leafKey;
    SslCtxHandle m_originContext;
    SslCtxHandle m_browserContext;
};

// The leaves that show browsers the CONNECT's host, made on the engine's thread as hosts are
// first met and kept for the newest kMaxHosts (a parsed certificate costs a few KiB), each made
// anew when it has a day or less left.
class BrowserLeaves {
public:
    static constexpr std::size_t kMaxHosts = 1000;

    // Gives a browser connection made from inspection.browserContext() the host's leaf, and
    // tells it which host the browser must name (SNI); `host` must outlive the connection's
    // handshake. False when no leaf can be made for the host.
    bool present(SSL *ssl, const TlsInspection &inspection, const std::string &host);
    void clear() { m_leaves.clear(); }

private:
    LruCache<std::string, X509Handle> m_leaves{kMaxHosts};
};

// The page for an origin whose TLS session could not be made: 12045 "The server's certificate
// is not trusted", 12038 "...names another host", 12037 "...has expired or is not yet valid",
// 12175 "The secure connection to the server failed", each ending with OpenSSL's reason.
SocketErrorInfo originTlsFailure(SSL *ssl, const QString &failureText);

// The browser turned our certificate down (it does not trust the CA): an alert it sent.
bool isCertificateRejectedByPeer(int failureReason);
// The TLS alert the peer sent, when a failure was one; -1 otherwise.
int alertReceived(int failureReason);
// An alert's name as OpenSSL words it, with its number: "unknown CA (48)".
QString alertName(int alert);
