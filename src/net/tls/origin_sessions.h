#pragma once

#include <list>
#include <memory>
#include <mutex>
#include <openssl/ssl.h>
#include <string>
#include <unordered_map>

#include "net/tls/openssl_handles.h"

using SslSessionHandle = std::unique_ptr<SSL_SESSION, OpenSslFree<SSL_SESSION_free>>;

// The newest TLS session each origin host handed out, so that the next connection to the host
// resumes it instead of a full handshake: no certificate to parse and verify, no signature on
// either side. A full handshake costs the proxy about three times what a resumption does, and an
// inspected browser connection makes a new origin connection for every request it tunnels.
//
// Keyed by the host name (or IP literal) the session was verified for: a resumed session skips
// the certificate check, so a session is only ever offered to the host whose name passed it.
// Sessions come from the context's new-session callback (install()), which TLS 1.3 calls for
// each ticket after the handshake and TLS 1.2 at its end; only handshakes that passed the
// verification get there. Kept for the newest kMaxHosts hosts; locked, since the callbacks may
// run on any thread that drives a connection. The cache belongs to its context and goes with
// it, so it is there for as long as any connection made from the context.
class OriginSessions {
public:
    static constexpr size_t kMaxHosts = 1000;

    // Gives `context` (a client context) a cache of its own, to which it hands its new sessions
    // instead of storing them itself. False when OpenSSL fails.
    static bool install(SSL_CTX *context);
    // Before the handshake: remembers which host the connection is for, and offers that host's
    // session when one is kept and not expired. False when OpenSSL fails.
    static bool prepare(SSL *ssl, const std::string &host);

private:
    struct Entry {
        SslSessionHandle session;
        std::list<std::string>::iterator use;
    };

    static OriginSessions *of(SSL *ssl);
    static int onNewSession(SSL *ssl, SSL_SESSION *session);
    void store(const std::string &host, SSL_SESSION *session);
    // The host's session with a reference of its own, or null.
    SslSessionHandle find(const std::string &host);

    std::mutex m_mutex;
    std::unordered_map<std::string, Entry> m_sessions;
    std::list<std::string> m_uses; // the most recent first
};
