#pragma once

#include <QString>
#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <memory>
#include <vector>

class EngineContext;
class ProxySession;

// The connection slots and the listener that fills them. Slot Index is held by one
// ProxySession while a browser is connected; a slot without one is free. Slot 0 always exists,
// slots above 0 exist while their session does. A browser takes the lowest free slot, or a new
// slot while the limit in txtMaxThr allows one, or is refused; the counter follows every change.
// Engine thread only.
class ConnectionTable {
public:
    // Receives the counter's value whenever it changes.
    using CounterReport = std::function<void(int connections)>;

    explicit ConnectionTable(EngineContext &engine);
    ~ConnectionTable();

    // Listens on port on every local address (0: the system picks one). False, with the reason
    // as a short sentence, when the port cannot be used. Browsers wait until startAccepting.
    bool Listen(quint16 port, quint16 &listeningPort, QString &failure);
    void startAccepting();
    void setCounterReport(CounterReport report) { m_report = std::move(report); }

    // Closes the listener and every slot: back to one empty slot 0.
    void CloseAll();

    void Listener_ConnectionRequest(asio::ip::tcp::socket browser);
    // Gives back the slot of a session that has ended (ProxySession::ResetProx calls it): the
    // slot is removed (slot 0 stays, free). A session no longer in its slot changes nothing.
    void release(const ProxySession &session);
    void RefreshCounter();

private:
    void acceptNext();
    std::error_code acceptWaiting();
    int freeSlot() const;
    bool canTakeBrowser() const;
    bool releaseSlotsOfBrowsersThatLeft();
    void takeSlot(int Index, asio::ip::tcp::socket browser);
    void refuse(asio::ip::tcp::socket browser);
    int UBound() const { return int(m_slots.size()) - 1; }

    EngineContext &m_engine;
    asio::ip::tcp::acceptor Listener;
    asio::steady_timer m_acceptRetry;
    // Armed when the last browser has gone: once the proxy has idled this long, the memory a
    // burst left free goes back to the system.
    asio::steady_timer m_idleTrim;
    // The sessions by Index: each holds its browser's connection and its origin's.
    std::vector<std::shared_ptr<ProxySession>> m_slots;
    CounterReport m_report;
    int m_reportedCount = -1;
};
