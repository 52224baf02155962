#pragma once

#include <memory>
#include <mutex>
#include <openssl/ssl.h>
#include <string>

#include "net/tls/lru_cache.h"
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
// verification get there.
//
// Kept encoded (i2d_SSL_SESSION) and decoded when offered: a live session holds the origin's
// certificate parsed, many times its encoded size, and the origin decides how large that is.
// The newest sessions are kept within kMaxBytes in all; one larger than kMaxSessionBytes is not
// kept. Decoding parses that certificate again, which costs about as much as the resumption
// saves, so the most recently used sessions are also kept live, within kMaxLiveBytes counted at
// kLiveBytesPerEncodedByte times their encoded size: a few hundred common sessions, or a handful
// of an origin's oversized ones. Locked, since the callbacks may run on any thread that drives a
// connection. The cache belongs to its context and goes with it, so it is there for as long as any
// connection made from the context.
class OriginSessions {
public:
    static constexpr std::size_t kMaxBytes = 8 * 1024 * 1024;
    static constexpr std::size_t kMaxSessionBytes = 64 * 1024;
    static constexpr std::size_t kMaxLiveBytes = 4 * 1024 * 1024;
    static constexpr std::size_t kLiveBytesPerEncodedByte = 16;

    // Gives `context` (a client context) a cache of its own, to which it hands its new sessions
    // instead of storing them itself. False when OpenSSL fails.
    static bool install(SSL_CTX *context);
    // Before the handshake: remembers which host the connection is for, and offers that host's
    // session when one is kept and not expired. False when OpenSSL fails.
    static bool prepare(SSL *ssl, const std::string &host);
    // A connection to host is being freed: if OpenSSL is about to mark its session as not to be
    // resumed (it was not closed with close_notify), the host's kept session goes too.
    static void connectionEnds(SSL *ssl, const std::string &host);
    // Lets the live sessions of `context` go, keeping the encoded ones: while no browser is
    // connected nothing resumes, and the next resumption of a host decodes once.
    static void releaseLive(SSL_CTX *context);

private:
    static OriginSessions *of(SSL *ssl);
    static int onNewSession(SSL *ssl, SSL_SESSION *session);
    void store(const std::string &host, std::string encoded, SSL_SESSION *session);
    // The host's session decoded, or null.
    SslSessionHandle find(const std::string &host);
    void forget(const std::string &host);

    // Guards m_sessions and m_live: the callbacks run on whichever thread drives a connection.
    std::mutex m_mutex;
    // Encoded sessions by host; each costs its size and a little for its place in the cache.
    LruCache<std::string, std::string> m_sessions{kMaxBytes};
    // The same sessions, the most recently used of them, ready to offer.
    LruCache<std::string, SslSessionHandle> m_live{kMaxLiveBytes};
};
