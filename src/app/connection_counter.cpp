#include "app/connection_counter.h"

ConnectionCounter::ConnectionCounter(QObject *parent) : QObject(parent)
{
    m_pause.setSingleShot(true);
    m_pause.setInterval(kRefreshMilliseconds);
    connect(&m_pause, &QTimer::timeout, this, &ConnectionCounter::endOfPause);
}

void ConnectionCounter::report(int connections)
{
    m_latest.store(connections);
    if (!m_isDeliveryPending.exchange(true))
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void ConnectionCounter::deliver()
{
    m_shown = m_latest.load();
    emit changed(m_shown);
    m_pause.start();
}

// Counts that came during the pause are shown now, and another pause follows; once nothing has
// changed, the next report is delivered at once again.
void ConnectionCounter::endOfPause()
{
    // Cleared before the count is read: a report that comes in between posts a delivery of its
    // own, so the last count is never missed.
    m_isDeliveryPending.store(false);
    if (m_latest.load() != m_shown && !m_isDeliveryPending.exchange(true))
        deliver();
}
