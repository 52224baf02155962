#include "app/connection_counter.h"

void ConnectionCounter::report(int connections)
{
    m_latest.store(connections);
    if (!m_isDeliveryPending.exchange(true))
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
}

void ConnectionCounter::deliver()
{
    // Cleared before the count is read: a report that comes in between posts a delivery of its
    // own, so the last count is never missed.
    m_isDeliveryPending.store(false);
    emit changed(m_latest.load());
}
