#include "net/graceful_close.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimerEvent>

#include <cerrno>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// How often a closing socket looks at its progress. Once our FIN is out and the peer has
// acknowledged every byte, it is let go at the next look even if the peer never closes.
int checkMilliseconds = 5000;
// A peer that has taken no byte for this long is not reading any more; its socket is dropped.
qint64 stallMilliseconds = 60000;
// Enough rounds to empty any receive queue; the bound keeps a peer that sends without pause
// from holding the GUI thread.
constexpr int kDrainRounds = 256;

// Reads away what the kernel holds for us, so that the close that follows is not a reset.
void drainReceiveQueue(int descriptor)
{
    char buffer[16384];
    for (int round = 0; round < kDrainRounds; ++round) {
        const ssize_t received = ::recv(descriptor, buffer, sizeof buffer, MSG_DONTWAIT);
        if (received > 0 || (received < 0 && errno == EINTR))
            continue;
        return;
    }
}

// Bytes handed to the kernel that the peer has not acknowledged yet.
qint64 unacknowledgedBytes(int descriptor)
{
    int count = 0;
    if (::ioctl(descriptor, SIOCOUTQ, &count) != 0)
        return 0;
    return count;
}

// Lives as a child of the socket it closes, so both go together. One of these is made for
// every connection the proxy closes, so it keeps to a plain timer and the connections it needs.
class LingeringClose : public QObject {
public:
    explicit LingeringClose(QTcpSocket *socket) : QObject(socket), m_socket(socket)
    {
        if (socket->bytesAvailable() > 0)
            socket->readAll();
        connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        m_sinceProgress.start();
        m_lastPending = pendingBytes();
        m_timerId = startTimer(checkMilliseconds);
        if (socket->bytesToWrite() == 0)
            shutDownWriting();
        else
            connect(socket, &QTcpSocket::bytesWritten, this, [this] { onBytesWritten(); });
    }

protected:
    void timerEvent(QTimerEvent *event) override
    {
        if (event->timerId() == m_timerId)
            check();
    }

private:
    int descriptor() const { return int(m_socket->socketDescriptor()); }

    qint64 pendingBytes() const
    {
        const int fd = descriptor();
        return m_socket->bytesToWrite() + (fd >= 0 ? unacknowledgedBytes(fd) : 0);
    }

    void shutDownWriting()
    {
        m_isShutDown = true;
        if (descriptor() >= 0)
            ::shutdown(descriptor(), SHUT_WR);
    }

    void onBytesWritten()
    {
        m_sinceProgress.restart();
        if (!m_isShutDown && m_socket->bytesToWrite() == 0)
            shutDownWriting();
    }

    void check()
    {
        if (descriptor() < 0) {
            finish();
            return;
        }
        if (m_isShutDown && unacknowledgedBytes(descriptor()) == 0) {
            finish();
            return;
        }
        const qint64 pending = pendingBytes();
        if (pending < m_lastPending)
            m_sinceProgress.restart();
        m_lastPending = pending;
        if (m_sinceProgress.elapsed() >= stallMilliseconds)
            finish();
    }

    void finish()
    {
        if (m_timerId != 0)
            killTimer(m_timerId);
        m_timerId = 0;
        if (descriptor() >= 0)
            drainReceiveQueue(descriptor());
        m_socket->abort();
        m_socket->deleteLater();
    }

    QTcpSocket *m_socket;
    int m_timerId = 0;
    QElapsedTimer m_sinceProgress;
    qint64 m_lastPending = 0;
    bool m_isShutDown = false;
};

} // namespace

void closeGracefully(QTcpSocket *socket)
{
    if (!socket)
        return;
    // The owner may be destroyed long before the peer answers our FIN.
    socket->setParent(QCoreApplication::instance());

    // Qt is reporting the peer's close on this socket right now: it still reads as connected,
    // but its descriptor is gone, and Qt finishes tearing it down itself once the report is
    // over. Nothing is left to deliver on it.
    if (socket->state() == QAbstractSocket::ConnectedState && !socket->isValid()) {
        socket->deleteLater();
        return;
    }
    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    new LingeringClose(socket);
}

void closeDescriptor(qintptr descriptor)
{
    if (descriptor < 0)
        return;
    drainReceiveQueue(int(descriptor));
    ::close(int(descriptor));
}

void setClosingTimings(int check, qint64 stall)
{
    checkMilliseconds = check;
    stallMilliseconds = stall;
}
