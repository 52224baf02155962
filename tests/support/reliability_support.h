#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

// Pieces for the fault and load tests: a wait that sleeps only inside the event loop, a
// memory reading, and a client that checks every byte as it arrives instead of keeping the
// response. (The origin server that serves one shared body to hundreds of connections is
// OriginServer's serving mode.)
namespace testsupport {

// Runs the event loop until predicate() holds or the time is up; true when it holds. The loop
// blocks until something happens (a socket, a timer, a posted event) and looks again after
// every pass, so a wait ends as soon as its condition is met instead of on a polling tick, which
// is what makes thousands of exchanges in a row affordable.
template <typename Predicate> bool waitUntil(Predicate predicate, int timeoutMilliseconds)
{
    if (predicate())
        return true;
    const QDeadlineTimer deadline(timeoutMilliseconds, Qt::PreciseTimer);
    // Wakes the blocked loop when the time is up even if nothing else happens. A timer may
    // fire a little early, so it is armed again for whatever time is left.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    while (!deadline.hasExpired()) {
        if (!wake.isActive())
            wake.start(int(qMax<qint64>(1, deadline.remainingTime())));
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        // Objects closed with deleteLater() go now, as they would in a running event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (predicate())
            return true;
    }
    return predicate();
}

// This process's resident memory (VmRSS) in KiB, or -1 when /proc cannot be read.
qint64 residentKiB();

// Bytes the program has allocated and not freed yet: glibc's count of bytes in use, or under
// AddressSanitizer its allocator's, which leaves out the freed blocks it keeps in quarantine
// (several hundred MiB by default, and all of them resident).
qint64 liveHeapBytes();
bool isUnderAddressSanitizer();

// The soft limit on open descriptors of this process.
qint64 openFileLimit();

// A browser stand-in that compares every byte it receives with the response it expects (a head
// and a shared body) at once, and hashes the body, so that hundreds of clients can download
// megabytes each without keeping them. Reading can be held back after a number of bytes, which
// leaves the rest queued at the proxy.
class LoadClient {
public:
    LoadClient(const QByteArray &expectedHead, const QByteArray &expectedBody);
    ~LoadClient();
    LoadClient(const LoadClient &) = delete;
    LoadClient &operator=(const LoadClient &) = delete;

    void connectTo(quint16 port);
    void send(const QByteArray &data);
    // Stops taking bytes once at least this many have arrived.
    void holdReadingAfter(qint64 bytes);
    void resumeReading();
    // Leaves with a FIN, or with a reset.
    void close();
    void reset();

    bool wasConnected() const { return m_wasConnected; }
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    // The peer ended the connection and every byte before the end has been taken.
    bool isClosed() const { return m_isDisconnected && m_socket.bytesAvailable() == 0; }
    bool isHolding() const { return m_isHolding; }

    qint64 receivedBytes() const { return m_received; }
    qint64 expectedBytes() const { return m_head.size() + m_body.size(); }
    // Every byte so far is the expected one at its place, and none came beyond the end.
    bool isIntact() const { return m_mismatchAt < 0; }
    qint64 mismatchAt() const { return m_mismatchAt; }
    bool isComplete() const { return isIntact() && m_received == expectedBytes(); }
    // SHA-256 of the body bytes received, in hex; meaningful once complete.
    QByteArray bodyHash() const;

private:
    void readAvailable();
    void take(const QByteArray &data);

    QTcpSocket m_socket;
    QByteArray m_head;
    QByteArray m_body;
    QCryptographicHash m_hash{QCryptographicHash::Sha256};
    qint64 m_received = 0;
    qint64 m_mismatchAt = -1;
    qint64 m_holdAfter = -1;
    bool m_isHolding = false;
    bool m_wasConnected = false;
    bool m_isDisconnected = false;
};

} // namespace testsupport
