#include "net/engine/connection_table.h"

#include <asio/ip/v6_only.hpp>
#include <cmath>

#include "net/engine/engine_context.h"
#include "net/engine/memory_trim.h"
#include "net/engine/socket_platform.h"
#include "net/session/proxy_session.h"
#include "net/tls/origin_sessions.h"

namespace {

// Listen backlog: the kernel's usual 128 overflows when a browser (or a load test) opens
// hundreds of connections at once, and an overflow costs the client a SYN retry of a second.
constexpr int kListenBacklog = 511;

// After an accept that failed for want of descriptors or memory, the listener waits this long
// before it tries again, by which time closing connections have usually given some back.
constexpr std::chrono::milliseconds kAcceptRetry{100};

// How long the proxy idles without a browser before it gives free memory back.
constexpr std::chrono::seconds kIdleBeforeTrim{1};

// The most browsers taken from the backlog in one go.
constexpr int kAcceptBatch = 64;

// Indexes are signed 16-bit.
constexpr int kMaxIndex = 32767;

QString listenFailureText(const std::error_code &error)
{
    if (error == asio::error::address_in_use)
        return QStringLiteral("the address is already in use");
    if (error == asio::error::access_denied)
        return QStringLiteral("permission denied");
    if (error == std::errc::address_not_available)
        return QStringLiteral("the address is not available");
    return QStringLiteral("the port cannot be used");
}

bool isLackOfResources(const std::error_code &error)
{
    return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
           error == asio::error::no_memory || error.value() == ENFILE;
}

} // namespace

ConnectionTable::ConnectionTable(EngineContext &engine)
    : m_engine(engine), Listener(engine.io), m_acceptRetry(engine.io), m_idleTrim(engine.io),
      m_slots(1)
{
}

ConnectionTable::~ConnectionTable() = default;

bool ConnectionTable::Listen(quint16 port, quint16 &listeningPort, QString &failure)
{
    raiseDescriptorLimit();
    std::error_code error;
    // Every local address: IPv6 and, through the same socket, IPv4; IPv4 alone where the
    // system has no IPv6.
    for (const asio::ip::tcp protocol : {asio::ip::tcp::v6(), asio::ip::tcp::v4()}) {
        error.clear();
        Listener.open(protocol, error);
        if (error)
            continue;
        if (protocol == asio::ip::tcp::v6())
            Listener.set_option(asio::ip::v6_only(false), error);
        Listener.set_option(asio::socket_base::reuse_address(true), error);
        Listener.bind(asio::ip::tcp::endpoint(protocol, port), error);
        if (!error)
            Listener.listen(kListenBacklog, error);
        if (!error)
            break;
        std::error_code ignored;
        Listener.close(ignored);
        // A port in use or forbidden stays so whatever the protocol.
        if (error != asio::error::address_family_not_supported &&
            error != std::errc::address_not_available)
            break;
    }
    if (error) {
        failure = listenFailureText(error);
        return false;
    }
    listeningPort = Listener.local_endpoint(error).port();
    m_engine.listeningPort = listeningPort;
    // acceptWaiting() asks the backlog without waiting.
    Listener.non_blocking(true, error);
    return true;
}

void ConnectionTable::startAccepting()
{
    if (Listener.is_open())
        acceptNext();
}

void ConnectionTable::acceptNext()
{
    Listener.async_accept([this](const std::error_code &error, asio::ip::tcp::socket browser) {
        if (error == asio::error::operation_aborted || !Listener.is_open())
            return;
        std::error_code failure = error;
        if (!failure) {
            Listener_ConnectionRequest(std::move(browser));
            failure = acceptWaiting();
        }
        if (isLackOfResources(failure)) {
            m_acceptRetry.expires_after(kAcceptRetry);
            m_acceptRetry.async_wait([this](const std::error_code &waited) {
                if (!waited && Listener.is_open())
                    acceptNext();
            });
            return;
        }
        acceptNext();
    });
}

// Takes the browsers already waiting in the backlog, a batch at a time, without a turn of the
// event loop for each: when hundreds connect at once, the last of them would otherwise wait
// behind everyone else's traffic before its first request is even read.
std::error_code ConnectionTable::acceptWaiting()
{
    // A full table stops the batch: the closes still waiting in the event loop may free slots
    // before the next browser is looked at.
    for (int i = 0; i < kAcceptBatch && Listener.is_open() && canTakeBrowser(); ++i) {
        std::error_code error;
        asio::ip::tcp::socket browser = Listener.accept(error);
        if (error)
            return error == asio::error::would_block || error == asio::error::try_again
                       ? std::error_code()
                       : error;
        Listener_ConnectionRequest(std::move(browser));
    }
    return {};
}

// A browser connection waits: it takes the lowest free slot, or a new slot while the limit in
// txtMaxThr allows one, or is refused.
void ConnectionTable::Listener_ConnectionRequest(asio::ip::tcp::socket browser)
{
    int Index = freeSlot();
    if (Index < 0 && releaseSlotsOfBrowsersThatLeft())
        Index = freeSlot();
    if (Index < 0) {
        refuse(std::move(browser));
        return;
    }
    if (Index > UBound())
        m_slots.resize(size_t(Index) + 1);
    takeSlot(Index, std::move(browser));
}

// The lowest free slot, or a new one while the limit allows it (New slots are made only below
// the limit minus one: with "255", slots 0 to 253); -1 when the browser has to be refused.
int ConnectionTable::freeSlot() const
{
    const int upperBound = UBound();
    for (int i = 0; i <= upperBound; ++i) {
        if (!m_slots[size_t(i)] || !m_slots[size_t(i)]->isBusy())
            return i;
    }
    const int j = upperBound + 1;
    const double limit = m_engine.settings()->connectionLimit;
    if (std::isnan(limit) || j >= limit - 1 || j > kMaxIndex)
        return -1;
    return j;
}

// Before a browser is refused: a browser that closes its connection and opens the next one at
// once (as a load test with "Connection: close" does) can have its new connection seen before
// its old one's close. Slots whose browsers have gone give themselves back now.
bool ConnectionTable::releaseSlotsOfBrowsersThatLeft()
{
    bool isReleased = false;
    for (size_t i = 0; i < m_slots.size(); ++i) {
        const std::shared_ptr<ProxySession> session = m_slots[i];
        if (session && session->hasBrowserLeft()) {
            session->ResetProx(ProxySession::EndReason::BrowserGone);
            isReleased = true;
        }
    }
    return isReleased;
}

bool ConnectionTable::canTakeBrowser() const
{
    return freeSlot() >= 0;
}

void ConnectionTable::takeSlot(int Index, asio::ip::tcp::socket browser)
{
    // A free slot may still hold a session whose browser is gone while its server is being read:
    // that exchange ends here, once the new session holds the slot, so that the slot is never
    // given back in between.
    const std::shared_ptr<ProxySession> previous = m_slots[size_t(Index)];
    auto session = std::make_shared<ProxySession>(m_engine, *this, Index, std::move(browser));
    m_slots[size_t(Index)] = session;
    if (previous)
        previous->ResetProx(ProxySession::EndReason::SlotTaken);
    session->start();
    RefreshCounter();
}

// Only this client is turned away, without a byte: the listener keeps listening for everyone
// else. What it already sent is read away first, so that it sees a close, not a reset.
void ConnectionTable::refuse(asio::ip::tcp::socket browser)
{
    std::error_code ignored;
    browser.non_blocking(true, ignored);
    char buffer[4096];
    for (int round = 0; round < 16; ++round) {
        std::error_code error;
        browser.read_some(asio::buffer(buffer), error);
        if (error)
            break;
    }
    browser.close(ignored);
}

void ConnectionTable::release(const ProxySession &session)
{
    const int Index = session.Index;
    if (Index < 0 || Index > UBound() || m_slots[size_t(Index)].get() != &session)
        return;
    m_slots[size_t(Index)].reset();
    // The upper bound follows the highest slot that still exists; slot 0 always does.
    while (m_slots.size() > 1 && !m_slots.back())
        m_slots.pop_back();
    RefreshCounter();
}

void ConnectionTable::CloseAll()
{
    std::error_code ignored;
    Listener.close(ignored);
    m_acceptRetry.cancel();
    m_idleTrim.cancel();
    std::vector<std::shared_ptr<ProxySession>> ending;
    ending.swap(m_slots);
    m_slots.resize(1);
    for (const std::shared_ptr<ProxySession> &session : ending) {
        if (session)
            session->ResetProx(ProxySession::EndReason::Stopped);
    }
    m_reportedCount = -1;
}

// Every slot above 0 counts, connected or not; slot 0 only while its browser is connected.
void ConnectionTable::RefreshCounter()
{
    int count = 0;
    for (size_t i = 1; i < m_slots.size(); ++i)
        count += m_slots[i] ? 1 : 0;
    if (m_slots[0] && m_slots[0]->isBusy())
        ++count;
    if (count == m_reportedCount)
        return;
    if (count == 0) {
        m_idleTrim.expires_after(kIdleBeforeTrim);
        m_idleTrim.async_wait([this](const std::error_code &error) {
            if (error)
                return;
            if (m_engine.inspection)
                OriginSessions::releaseLive(m_engine.inspection->originContext());
            giveFreeMemoryBack();
        });
    } else if (m_reportedCount == 0) {
        m_idleTrim.cancel();
    }
    m_reportedCount = count;
    if (m_report)
        m_report(count);
}
