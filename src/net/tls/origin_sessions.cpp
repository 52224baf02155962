#include "net/tls/origin_sessions.h"

#include <ctime>

namespace {

void freeHost(void *, void *host, CRYPTO_EX_DATA *, int, long, void *)
{
    delete static_cast<std::string *>(host);
}

// Where each origin connection keeps the host it was opened for: an owned copy, freed with the
// connection, since the new-session callback may run after its owner's string changed.
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

// Expired, or marked by OpenSSL as not to be resumed: it does so when a connection that used
// the session is freed without having sent close_notify.
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

int OriginSessions::onNewSession(SSL *ssl, SSL_SESSION *session)
{
    OriginSessions *sessions = of(ssl);
    const auto *host = static_cast<const std::string *>(SSL_get_ex_data(ssl, hostIndex()));
    if (!sessions || !host || !SSL_SESSION_is_resumable(session))
        return 0; // not kept: OpenSSL drops its reference
    sessions->store(*host, session);
    return 1; // the reference is ours now
}

void OriginSessions::store(const std::string &host, SSL_SESSION *session)
{
    SslSessionHandle owned(session);
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_sessions.find(host);
    if (found != m_sessions.end()) {
        found->second.session = std::move(owned);
        m_uses.splice(m_uses.begin(), m_uses, found->second.use);
        return;
    }
    if (m_sessions.size() >= kMaxHosts) {
        m_sessions.erase(m_uses.back());
        m_uses.pop_back();
    }
    m_uses.push_front(host);
    Entry &entry = m_sessions[host];
    entry.session = std::move(owned);
    entry.use = m_uses.begin();
}

SslSessionHandle OriginSessions::find(const std::string &host)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_sessions.find(host);
    if (found == m_sessions.end())
        return nullptr;
    if (isSpent(found->second.session.get())) {
        m_uses.erase(found->second.use);
        m_sessions.erase(found);
        return nullptr;
    }
    SSL_SESSION_up_ref(found->second.session.get());
    return SslSessionHandle(found->second.session.get());
}
