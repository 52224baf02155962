#include "net/engine/host_resolver.h"

#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <mutex>

namespace {

// Enough for every site a browser visits in a minute; beyond it, outdated answers go first.
constexpr size_t kMostAnswers = 4096;

bool parseAddress(const std::string &host, asio::ip::address &address)
{
    std::error_code error;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        address = asio::ip::make_address_v6(host.substr(1, host.size() - 2), error);
    else
        address = asio::ip::make_address(host, error);
    return !error;
}

// Guards fixedAnswers(): a test sets them from its own thread while the engine reads them.
std::mutex fixedAnswersLock;

std::map<std::string, HostResolver::FixedAnswer> &fixedAnswers()
{
    static std::map<std::string, HostResolver::FixedAnswer> answers;
    return answers;
}

} // namespace

void HostResolver::setFixedAnswers(std::map<std::string, FixedAnswer> answers)
{
    std::lock_guard<std::mutex> guard(fixedAnswersLock);
    fixedAnswers() = std::move(answers);
}

bool HostResolver::answerFixed(const std::string &host, Handler &handler)
{
    FixedAnswer answer;
    {
        std::lock_guard<std::mutex> guard(fixedAnswersLock);
        const auto fixed = fixedAnswers().find(host);
        if (fixed == fixedAnswers().end())
            return false;
        answer = fixed->second;
    }
    auto timer = std::make_shared<asio::steady_timer>(m_resolver.get_executor(), answer.delay);
    timer->async_wait([timer, handler = std::move(handler),
                       addresses = std::move(answer.addresses)](const std::error_code &) {
        handler(addresses.empty() ? std::error_code(asio::error::host_not_found)
                                  : std::error_code(),
                addresses);
    });
    return true;
}

HostResolver::HostResolver(asio::io_context &context) : m_resolver(context) {}

void HostResolver::answerSoon(Handler handler, const std::error_code &error, Addresses addresses)
{
    asio::post(m_resolver.get_executor(),
               [handler = std::move(handler), error, addresses = std::move(addresses)] {
                   handler(error, addresses);
               });
}

void HostResolver::resolve(const std::string &host, Handler handler)
{
    asio::ip::address address;
    if (parseAddress(host, address)) {
        answerSoon(std::move(handler), {}, Addresses{address});
        return;
    }
    if (answerFixed(host, handler))
        return;
    if (host.empty()) {
        // getaddrinfo() would take no name for this machine's own loopback address.
        answerSoon(std::move(handler), asio::error::host_not_found, {});
        return;
    }
    const auto known = m_answers.find(host);
    if (known != m_answers.end()) {
        if (known->second.expires > std::chrono::steady_clock::now()) {
            answerSoon(std::move(handler), {}, known->second.addresses);
            return;
        }
        m_answers.erase(known);
    }

    std::vector<Handler> &waiting = m_waiting[host];
    waiting.push_back(std::move(handler));
    if (waiting.size() > 1)
        return;
    // Without AI_ADDRCONFIG: a machine whose only network is loopback still finds "localhost".
    m_resolver.async_resolve(host, "80", asio::ip::resolver_base::numeric_service,
                             [this, host](const std::error_code &error,
                                          const asio::ip::tcp::resolver::results_type &results) {
                                 onResolved(host, error, results);
                             });
}

void HostResolver::onResolved(const std::string &host, const std::error_code &error,
                              const asio::ip::tcp::resolver::results_type &results)
{
    Addresses addresses;
    for (const auto &entry : results) {
        const asio::ip::address address = entry.endpoint().address();
        bool isNew = true;
        for (const asio::ip::address &seen : addresses)
            isNew = isNew && seen != address;
        if (isNew)
            addresses.push_back(address);
    }
    std::error_code outcome = error;
    if (!outcome && addresses.empty())
        outcome = asio::error::host_not_found;
    if (!outcome)
        remember(host, addresses);

    const auto waiting = m_waiting.find(host);
    if (waiting == m_waiting.end())
        return;
    const std::vector<Handler> handlers = std::move(waiting->second);
    m_waiting.erase(waiting);
    for (const Handler &handler : handlers)
        handler(outcome, addresses);
}

void HostResolver::remember(const std::string &host, const Addresses &addresses)
{
    const auto now = std::chrono::steady_clock::now();
    if (m_answers.size() >= kMostAnswers) {
        for (auto answer = m_answers.begin(); answer != m_answers.end();) {
            if (answer->second.expires <= now)
                answer = m_answers.erase(answer);
            else
                ++answer;
        }
        if (m_answers.size() >= kMostAnswers)
            m_answers.clear();
    }
    m_answers[host] = Answer{addresses, now + kKeepAnswers};
}

void HostResolver::cancel()
{
    m_resolver.cancel();
}
