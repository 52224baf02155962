#include "net/winsock.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>
#include <sys/socket.h>

#include "net/graceful_close.h"
#include "net/socket_errors.h"

namespace {

// Listen backlog: the kernel's default of 50 overflows when a browser (or a load test) opens
// hundreds of connections at once, and overflowing costs a SYN retry of a second or more.
constexpr int kListenBacklog = 511;

// QTcpServer stops accepting for good after an accept that fails for want of descriptors or
// memory; it is told to try again after this pause, by which time lingering closes have
// usually given descriptors back.
constexpr int kAcceptRetryMilliseconds = 200;

// What Qt may still take from the kernel after receiving was paused.
constexpr qint64 kPausedReadBufferBytes = 64 * 1024;
static_assert(kPausedReadBufferBytes <= Winsock::kReadBufferBytes);

// Connections announced by ConnectionRequest and not accepted yet. Everything runs on the GUI
// thread, so a plain set is enough.
QSet<qintptr> &waitingConnections()
{
    static QSet<qintptr> waiting;
    return waiting;
}

// Connections taken with Accept and not closed from this side.
QSet<Winsock *> &acceptedConnections()
{
    static QSet<Winsock *> accepted;
    return accepted;
}

// The peer has closed and sent nothing before its close that is still waiting to be read.
bool hasPeerClosedQuietly(qintptr descriptor)
{
    char byte = 0;
    return descriptor >= 0 && ::recv(int(descriptor), &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

// Hands every incoming descriptor to a callback before any QTcpSocket exists for it.
class ListeningServer : public QTcpServer {
public:
    std::function<void(qintptr)> onConnectionWaiting;

protected:
    void incomingConnection(qintptr descriptor) override { onConnectionWaiting(descriptor); }
};

QString listenFailureText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return QStringLiteral("the address is already in use");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("permission denied");
    case QAbstractSocket::SocketAddressNotAvailableError:
        return QStringLiteral("the address is not available");
    default:
        return QStringLiteral("the port cannot be used");
    }
}

QString strippedBrackets(const QString &host)
{
    if (host.size() >= 2 && host.startsWith(u'[') && host.endsWith(u']'))
        return host.mid(1, host.size() - 2);
    return host;
}

} // namespace

Winsock::Winsock(QObject *parent) : QObject(parent) {}

Winsock::~Winsock()
{
    Close();
}

qint32 Winsock::LocalPort() const
{
    if (m_server && m_server->isListening())
        return m_server->serverPort();
    return m_localPort;
}

bool Winsock::Listen()
{
    Close();
    m_listenError.clear();
    raiseDescriptorLimit();
    if (m_localPort < 0 || m_localPort > 65535) {
        m_listenError = QStringLiteral("the port is outside 0 to 65535");
        return false;
    }
    auto *server = new ListeningServer;
    server->setParent(this);
    server->setListenBacklogSize(kListenBacklog);
    server->onConnectionWaiting = [this](qintptr descriptor) { onConnectionWaiting(descriptor); };
    connect(server, &QTcpServer::acceptError, server, [server] {
        QTimer::singleShot(kAcceptRetryMilliseconds, server, [server] {
            if (server->isListening())
                server->resumeAccepting();
        });
    });
    if (!server->listen(QHostAddress::Any, quint16(m_localPort))) {
        m_listenError = listenFailureText(server->serverError());
        delete server;
        return false;
    }
    m_server = server;
    m_state = sckListening;
    return true;
}

void Winsock::onConnectionWaiting(qintptr descriptor)
{
    waitingConnections().insert(descriptor);
    emit ConnectionRequest(descriptor);
    // Refused, most likely for want of a free slot. A browser that closes a connection and opens
    // the next one at once (as a load test with "Connection: close" does) can have its new
    // connection seen before its old one's close: connections whose peers have closed give their
    // slots back now, and the newcomer asks once more.
    if (waitingConnections().contains(descriptor) && announceQuietCloses() > 0)
        emit ConnectionRequest(descriptor);
    // Nobody took it: the client sees its connection closed without a byte.
    if (waitingConnections().remove(descriptor))
        closeDescriptor(descriptor);
}

// A peer's close is normally seen when Qt next reads from the socket, in the next turn of the
// event loop; this looks now, at accepted connections only, and announces each close it finds.
int Winsock::announceQuietCloses()
{
    int count = 0;
    const QList<Winsock *> accepted = acceptedConnections().values();
    for (Winsock *connection : accepted) {
        // An earlier close handler may have closed or removed this one.
        if (!acceptedConnections().contains(connection))
            continue;
        QTcpSocket *socket = connection->m_socket;
        if (!socket || connection->m_state != sckConnected || connection->m_isPaused ||
            socket->bytesAvailable() > 0 || !hasPeerClosedQuietly(socket->socketDescriptor()))
            continue;
        ++count;
        connection->onPeerEnded();
    }
    return count;
}

bool Winsock::Accept(qintptr requestID)
{
    if (!waitingConnections().remove(requestID))
        return false;
    Close();
    forgetPeer();
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestID)) {
        delete socket;
        closeDescriptor(requestID);
        return false;
    }
    adoptSocket(socket);
    m_state = sckConnected;
    rememberPeer();
    acceptedConnections().insert(this);
    return true;
}

void Winsock::Connect(const QString &host, quint16 port)
{
    Close();
    forgetPeer();
    auto *socket = new QTcpSocket(this);
    // Straight to the host: without this Qt asks its proxy settings before every connect, for
    // nothing (the program sets none), at about 4 % of the work of a whole request.
    socket->setProxy(QNetworkProxy::NoProxy);
    adoptSocket(socket);
    // Stands for the whole connect, name lookup and connecting alike; State() tells them apart.
    m_state = sckResolvingHost;
    connect(socket, &QTcpSocket::connected, this, &Winsock::onConnected);
    m_isInsideConnect = true;
    socket->connectToHost(strippedBrackets(host), port);
    m_isInsideConnect = false;
}

void Winsock::onConnected()
{
    if (!m_socket || m_state != sckResolvingHost)
        return;
    if (m_isInsideConnect) {
        // A connection made at once inside connectToHost() is announced from the event loop.
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation == m_generation)
                    onConnected();
            },
            Qt::QueuedConnection);
        return;
    }
    m_state = sckConnected;
    rememberPeer();
    m_resetWatch.watch(m_socket->socketDescriptor());
    emit ConnectEvent();
    // Data that came before the connection was announced was held back (see adoptSocket).
    if (m_socket && m_state == sckConnected && m_socket->bytesAvailable() > 0)
        emit DataArrival(m_socket->bytesAvailable());
}

void Winsock::rememberPeer()
{
    m_remoteAddress = m_socket->peerAddress();
    m_remoteHostIP.clear();
}

void Winsock::forgetPeer()
{
    m_remoteAddress.clear();
    m_remoteHostIP.clear();
}

void Winsock::adoptSocket(QTcpSocket *socket)
{
    m_socket = socket;
    // Without a bound, Qt takes everything the kernel holds at each read (many MiB on a fast
    // connection), and a relay then holds all of it at once, twice over while it is copied.
    socket->setReadBufferSize(kReadBufferBytes);
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        // Nothing is announced before ConnectEvent, nor while paused; onConnected() and
        // ResumeReceiving() catch up.
        if (m_state == sckResolvingHost || m_isPaused)
            return;
        if (m_socket && m_socket->bytesAvailable() > 0)
            emit DataArrival(m_socket->bytesAvailable());
    });
    connect(socket, &QTcpSocket::bytesWritten, this, &Winsock::onBytesWritten);
    // Qt reports some errors from inside our own calls (a refused loopback port inside
    // connectToHost(), a broken connection inside the write of SendData), and a handler must
    // never run inside the caller's own operation: those reports go through the event loop.
    // Every other report comes from Qt's reading or writing in the event loop and is handled at
    // once, so that the peer's close ends an exchange in the same turn that sees it: a browser
    // that reconnects as soon as it has its answer then finds the old slot already free. Qt
    // announces the peer's last bytes before its close either way. A report still queued when
    // its socket has been replaced is dropped.
    const quint64 generation = ++m_generation;
    connect(socket, &QTcpSocket::errorOccurred, this,
            [this, generation](QAbstractSocket::SocketError error) {
                if (generation != m_generation || !m_socket)
                    return;
                if (!m_isInsideConnect && !m_isInsideSend) {
                    onSocketError(int(error));
                    return;
                }
                QMetaObject::invokeMethod(
                    this,
                    [this, generation, error] {
                        if (generation == m_generation && m_socket)
                            onSocketError(int(error));
                    },
                    Qt::QueuedConnection);
            });
}

void Winsock::onSocketError(int socketError)
{
    if (!m_socket)
        return;
    const auto error = QAbstractSocket::SocketError(socketError);
    if (error == QAbstractSocket::RemoteHostClosedError && m_state == sckConnected) {
        onPeerEnded();
        return;
    }
    if (m_state != sckResolvingHost && m_state != sckConnected)
        return;
    m_state = sckError;
    const SocketErrorInfo info = socketErrorInfo(error);
    emit Error(info.number, info.description);
}

// Qt reports a FIN and a reset alike as RemoteHostClosedError. For an upstream connection the
// watch tells them apart: a reset is an error, so the browser learns the response was cut.
void Winsock::onPeerEnded()
{
    m_hasPeerEnded = true;
    if (!m_isPaused)
        announcePeerEnd();
}

void Winsock::announcePeerEnd()
{
    // Bytes that came before the FIN or reset are announced first.
    if (m_socket && m_socket->bytesAvailable() > 0)
        emit DataArrival(m_socket->bytesAvailable());
    if (!m_socket || m_state != sckConnected || m_isPaused)
        return;
    const bool wasReset = m_resetWatch.wasReset();
    m_resetWatch.release();
    if (wasReset) {
        m_state = sckError;
        const SocketErrorInfo info = socketErrorInfo(QAbstractSocket::RemoteHostClosedError);
        emit Error(info.number, info.description);
        return;
    }
    m_state = sckClosing;
    emit CloseEvent();
}

void Winsock::PauseReceiving()
{
    if (!m_socket || m_isPaused)
        return;
    m_isPaused = true;
    // Qt stops reading from the kernel once this much waits in its own buffer.
    m_socket->setReadBufferSize(kPausedReadBufferBytes);
}

void Winsock::ResumeReceiving()
{
    if (!m_isPaused)
        return;
    m_isPaused = false;
    if (!m_socket)
        return;
    m_socket->setReadBufferSize(kReadBufferBytes);
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation || !m_socket || m_isPaused || m_state != sckConnected)
                return;
            if (m_hasPeerEnded)
                announcePeerEnd();
            else if (m_socket->bytesAvailable() > 0)
                emit DataArrival(m_socket->bytesAvailable());
        },
        Qt::QueuedConnection);
}

void Winsock::onBytesWritten()
{
    if (!m_socket || m_socket->bytesToWrite() != 0)
        return;
    if (m_isInsideSend) {
        announceSendComplete();
        return;
    }
    emit SendComplete();
}

// Everything went out inside SendData itself; the caller hears of it from the event loop, and
// only if nothing has been queued since.
void Winsock::announceSendComplete()
{
    if (m_isSendCompletePending)
        return;
    m_isSendCompletePending = true;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            if (generation != m_generation)
                return;
            m_isSendCompletePending = false;
            if (m_socket && m_socket->bytesToWrite() == 0)
                emit SendComplete();
        },
        Qt::QueuedConnection);
}

void Winsock::SendData(const QByteArray &data)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || data.isEmpty())
        return;
    m_socket->write(data);
    // Qt would write at the next turn of the event loop; handing the bytes to the kernel now
    // saves that turn on every request and every piece of a response. What the kernel does not
    // take stays queued and goes out as before.
    m_isInsideSend = true;
    m_socket->flush();
    m_isInsideSend = false;
}

QByteArray Winsock::GetData()
{
    const qint64 available = m_socket ? m_socket->bytesAvailable() : 0;
    if (available == 0)
        return QByteArray();
    // Asking for exactly what is buffered lets Qt hand over its buffer instead of a copy when
    // the bytes came in one read, as they do unless receiving was paused. Qt then keeps no
    // buffer of its own between reads, which an idle connection would otherwise hold on to.
    return m_socket->read(available);
}

void Winsock::Close()
{
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    acceptedConnections().remove(this);
    if (m_socket) {
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        ++m_generation;
        m_resetWatch.release();
        m_isPaused = false;
        m_hasPeerEnded = false;
        m_isSendCompletePending = false;
        socket->disconnect(this);
        closeGracefully(socket);
    }
    m_state = sckClosed;
}

int Winsock::State() const
{
    // Qt has seen a browser's close, and the close event is on its way through the event loop:
    // the slot already counts as free. An upstream connection stays connected until its end
    // has been announced, with every byte before it, so that whether it ended in a close or
    // an error is decided in one place.
    if (m_state == sckConnected && m_socket && !m_resetWatch.isWatching() && !m_isPaused &&
        m_socket->bytesAvailable() == 0 && m_socket->state() != QAbstractSocket::ConnectedState)
        return sckClosing;
    if (m_state == sckResolvingHost && m_socket &&
        m_socket->state() != QAbstractSocket::HostLookupState)
        return sckConnecting;
    return m_state;
}

QString Winsock::RemoteHostIP() const
{
    if (m_remoteHostIP.isEmpty() && !m_remoteAddress.isNull()) {
        bool isIPv4 = false;
        const quint32 ipv4 = m_remoteAddress.toIPv4Address(&isIPv4);
        m_remoteHostIP = isIPv4 ? QHostAddress(ipv4).toString() : m_remoteAddress.toString();
    }
    return m_remoteHostIP;
}

qint64 Winsock::BytesQueued() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}
