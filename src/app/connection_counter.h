#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>

// Carries the connection count from the engine's thread to the window. The first change after a
// quiet spell is shown at once; while counts keep changing, the window shows the latest at most
// every kRefreshMilliseconds, so a busy proxy costs the window a few repaints a second rather
// than one per connection. One counter serves one run: deleting it drops whatever it still had on
// its way.
class ConnectionCounter : public QObject {
    Q_OBJECT
public:
    explicit ConnectionCounter(QObject *parent = nullptr);

    // Any thread.
    void report(int connections);

    static constexpr int kRefreshMilliseconds = 100;

signals:
    // On the counter's own thread.
    void changed(int connections);

private:
    // Reached by name through the event queue, so that nothing of the engine's thread travels
    // inside the event: the count itself waits in m_latest.
    Q_INVOKABLE void deliver();
    void endOfPause();

    std::atomic<int> m_latest{0};
    // A delivery is on its way or the window is pausing between two; the engine posts nothing
    // meanwhile.
    std::atomic<bool> m_isDeliveryPending{false};
    QTimer m_pause;
    int m_shown = 0;
};
