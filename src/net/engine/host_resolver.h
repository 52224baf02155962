#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

// Name lookups for upstream connections. getaddrinfo() blocks, so Asio runs it on a private
// thread of its own and the answer comes back through the event loop: a slow name server never
// holds up the engine. Answers are kept for a minute, so that the fifty requests of one page
// cost one lookup, and lookups of a name already being looked up wait for that one instead of
// asking again. Failures are not kept: the next request asks anew.
class HostResolver {
public:
    using Addresses = std::vector<asio::ip::address>;
    // error is empty exactly when addresses holds at least one address.
    using Handler = std::function<void(const std::error_code &error, const Addresses &addresses)>;

    explicit HostResolver(asio::io_context &context);

    // Always answers from the event loop, never inside the call, as an Asio operation does: the
    // caller may be in the middle of taking a browser's bytes. An address literal (IPv4, or IPv6
    // with or without brackets) and a name that is known answer on the loop's next turn.
    void resolve(const std::string &host, Handler handler);

    // Ends every lookup in flight; their handlers get operation_aborted.
    void cancel();

    static constexpr std::chrono::seconds kKeepAnswers{60};

    // Names that tests answer themselves, so that no test waits on the machine's resolver or
    // depends on what it knows. A listed name resolves to its addresses after its delay (no
    // addresses: not found), always from the event loop and never from the cache; other names
    // go to the system. Process-wide; any thread.
    struct FixedAnswer {
        Addresses addresses;
        std::chrono::milliseconds delay{0};
    };
    static void setFixedAnswers(std::map<std::string, FixedAnswer> answers);

private:
    void answerSoon(Handler handler, const std::error_code &error, Addresses addresses);
    bool answerFixed(const std::string &host, Handler &handler);
    void onResolved(const std::string &host, const std::error_code &error,
                    const asio::ip::tcp::resolver::results_type &results);
    void remember(const std::string &host, const Addresses &addresses);

    struct Answer {
        Addresses addresses;
        std::chrono::steady_clock::time_point expires;
    };

    asio::ip::tcp::resolver m_resolver;
    std::unordered_map<std::string, Answer> m_answers;
    std::unordered_map<std::string, std::vector<Handler>> m_waiting;
};
