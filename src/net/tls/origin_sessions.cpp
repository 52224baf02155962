#include "net/tls/origin_sessions.h"

#include <ctime>

namespace {

void freeHost(void *connection, void *host, CRYPTO_EX_DATA *, int, long, void *)
{
    auto *owned = static_cast<std::string *>(host);
    if (connection && owned)
        OriginSessions::connectionEnds(static_cast<SSL *>(connection), *owned);
    delete owned;
}

// Where each origin connection keeps the host it was opened for: an owned copy, freed with the
// connection, since the new-session callback may run after its owner's string changed. SSL_free
// frees it before it looks at how the session ended.
int hostIndex()
{
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, freeHost);
    return index;
}

void freeCache(void *, void *sessions, CRYPTO_EX_DATA *, int, long, void *);

// Where a client context keeps its cache, freed with the context.
int cacheIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, freeCache);
    return index;
}

// Expired, or not to be resumed.
bool isSpent(const SSL_SESSION *session)
{
    return !SSL_SESSION_is_resumable(session) ||
           SSL_SESSION_get_time(session) + SSL_SESSION_get_timeout(session) <= std::time(nullptr);
}

void freeCache(void *, void *sessions, CRYPTO_EX_DATA *, int, long, void *)
{
    delete static_cast<OriginSessions *>(sessions);
}

} // namespace

bool OriginSessions::install(SSL_CTX *context)
{
    auto sessions = std::make_unique<OriginSessions>();
    if (cacheIndex() < 0 || SSL_CTX_set_ex_data(context, cacheIndex(), sessions.get()) != 1)
        return false;
    sessions.release();
    SSL_CTX_set_session_cache_mode(context,
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context, onNewSession);
    return true;
}

void OriginSessions::releaseLive(SSL_CTX *context)
{
    auto *sessions =
        cacheIndex() < 0
            ? nullptr
            : static_cast<OriginSessions *>(SSL_CTX_get_ex_data(context, cacheIndex()));
    if (!sessions)
        return;
    const std::lock_guard<std::mutex> lock(sessions->m_mutex);
    sessions->m_live.clear();
}

OriginSessions *OriginSessions::of(SSL *ssl)
{
    return cacheIndex() < 0 ? nullptr
                            : static_cast<OriginSessions *>(
                                  SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), cacheIndex()));
}

bool OriginSessions::prepare(SSL *ssl, const std::string &host)
{
    OriginSessions *sessions = of(ssl);
    if (!sessions)
        return true;
    auto copy = std::make_unique<std::string>(host);
    if (hostIndex() < 0 || SSL_set_ex_data(ssl, hostIndex(), copy.get()) != 1)
        return false;
    copy.release();
    const SslSessionHandle session = sessions->find(host);
    return !session || SSL_set_session(ssl, session.get()) == 1;
}

void OriginSessions::connectionEnds(SSL *ssl, const std::string &host)
{
    // OpenSSL's own test, as SSL_free applies it just after (ssl_clear_bad_session).
    const bool willBeMarkedBad = SSL_get_session(ssl) &&
                                 (SSL_get_shutdown(ssl) & SSL_SENT_SHUTDOWN) == 0 &&
                                 !SSL_in_init(ssl) && !SSL_in_before(ssl);
    OriginSessions *sessions = of(ssl);
    if (willBeMarkedBad && sessions)
        sessions->forget(host);
}

int OriginSessions::onNewSession(SSL *ssl, SSL_SESSION *session)
{
    OriginSessions *sessions = of(ssl);
    const auto *host = static_cast<const std::string *>(SSL_get_ex_data(ssl, hostIndex()));
    if (!sessions || !host || !SSL_SESSION_is_resumable(session))
        return 0;
    const int size = i2d_SSL_SESSION(session, nullptr);
    if (size <= 0 || std::size_t(size) > kMaxSessionBytes) {
        sessions->forget(*host); // the older one would be offered in its place
        return 0;
    }
    std::string encoded(std::size_t(size), '\0');
    auto *into = reinterpret_cast<unsigned char *>(encoded.data());
    if (i2d_SSL_SESSION(session, &into) != size)
        return 0;
    sessions->store(*host, std::move(encoded), session);
    return 0; // OpenSSL keeps or drops its own reference: the cache holds a copy
}

void OriginSessions::store(const std::string &host, std::string encoded, SSL_SESSION *session)
{
    // What an entry costs beside its bytes: its host and its place in the cache.
    constexpr std::size_t kEntryOverhead = 128;
    const std::size_t cost = encoded.size() + host.size() + kEntryOverhead;
    const std::size_t liveCost = encoded.size() * kLiveBytesPerEncodedByte + kEntryOverhead;
    SslSessionHandle live(SSL_SESSION_up_ref(session) == 1 ? session : nullptr);
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.put(host, std::move(encoded), cost);
    if (live)
        m_live.put(host, std::move(live), liveCost);
    else
        m_live.erase(host);
}

void OriginSessions::forget(const std::string &host)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_sessions.erase(host);
    m_live.erase(host);
}

SslSessionHandle OriginSessions::find(const std::string &host)
{
    std::string encoded;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const std::string *found = m_sessions.find(host);
        if (!found)
            return nullptr;
        if (SslSessionHandle *live = m_live.find(host)) {
            if (!isSpent(live->get()) && SSL_SESSION_up_ref(live->get()) == 1)
                return SslSessionHandle(live->get());
        }
        encoded = *found;
    }
    const auto *from = reinterpret_cast<const unsigned char *>(encoded.data());
    SslSessionHandle session(d2i_SSL_SESSION(nullptr, &from, long(encoded.size())));
    if (!session || isSpent(session.get())) {
        forget(host);
        return nullptr;
    }
    return session;
}
