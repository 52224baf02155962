#pragma once

#include <QObject>
#include <atomic>

// Carries the connection count from the engine's thread to the window. Counts that come faster
// than the window takes them are folded into one delivery of the latest, so a busy proxy costs
// the window one event per turn of its loop at most. One counter serves one run: deleting it
// drops whatever it still had on its way.
class ConnectionCounter : public QObject {
    Q_OBJECT
public:
    explicit ConnectionCounter(QObject *parent = nullptr) : QObject(parent) {}

    // Any thread.
    void report(int connections);

signals:
    // On the counter's own thread.
    void changed(int connections);

private:
    // Reached by name through the event queue, so that nothing of the engine's thread travels
    // inside the event: the count itself waits in m_latest.
    Q_INVOKABLE void deliver();

    std::atomic<int> m_latest{0};
    std::atomic<bool> m_isDeliveryPending{false};
};
