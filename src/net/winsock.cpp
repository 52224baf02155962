#include "net/winsock.h"

#include <QHostAddress>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

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

// Connections announced by ConnectionRequest and not accepted yet. Everything runs on the GUI
// thread, so a plain set is enough.
QSet<qintptr> &waitingConnections()
{
    static QSet<qintptr> waiting;
    return waiting;
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
    // Nobody took it: the client sees its connection closed without a byte.
    if (waitingConnections().remove(descriptor))
        closeDescriptor(descriptor);
}

bool Winsock::Accept(qintptr requestID)
{
    if (!waitingConnections().remove(requestID))
        return false;
    Close();
    m_remoteHostIP.clear();
    auto *socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(requestID)) {
        delete socket;
        closeDescriptor(requestID);
        return false;
    }
    adoptSocket(socket);
    m_state = sckConnected;
    rememberPeer();
    return true;
}

void Winsock::Connect(const QString &host, quint16 port)
{
    Close();
    m_remoteHostIP.clear();
    auto *socket = new QTcpSocket(this);
    adoptSocket(socket);
    m_state = sckResolvingHost;
    connect(socket, &QTcpSocket::stateChanged, this, [this](QAbstractSocket::SocketState state) {
        if (state == QAbstractSocket::ConnectingState && m_state == sckResolvingHost)
            m_state = sckConnecting;
    });
    connect(socket, &QTcpSocket::connected, this, &Winsock::onConnected);
    m_isInsideConnect = true;
    socket->connectToHost(strippedBrackets(host), port);
    m_isInsideConnect = false;
}

void Winsock::onConnected()
{
    if (!m_socket || (m_state != sckResolvingHost && m_state != sckConnecting))
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
    const QHostAddress peer = m_socket->peerAddress();
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    m_remoteHostIP = isIPv4 ? QHostAddress(ipv4).toString() : peer.toString();
}

void Winsock::adoptSocket(QTcpSocket *socket)
{
    m_socket = socket;
    connect(socket, &QTcpSocket::readyRead, this, [this] {
        // Nothing is announced before ConnectEvent, nor while paused; onConnected() and
        // ResumeReceiving() catch up.
        if (m_state == sckResolvingHost || m_state == sckConnecting || m_isPaused)
            return;
        if (m_socket && m_socket->bytesAvailable() > 0)
            emit DataArrival(m_socket->bytesAvailable());
    });
    connect(socket, &QTcpSocket::bytesWritten, this, &Winsock::onBytesWritten);
    // Errors come through the event loop: Qt reports some of them (a refused loopback port)
    // from inside connectToHost(), and a handler must never run inside the caller's own
    // Connect(). It also puts the close event after the DataArrival of the peer's last bytes,
    // which Qt announces just before the error. A report still queued when its socket has been
    // replaced is dropped.
    const quint64 generation = ++m_generation;
    connect(
        socket, &QTcpSocket::errorOccurred, this,
        [this, generation](QAbstractSocket::SocketError error) {
            if (generation == m_generation && m_socket)
                onSocketError(int(error));
        },
        Qt::QueuedConnection);
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
    if (m_state != sckResolvingHost && m_state != sckConnecting && m_state != sckConnected)
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
    m_socket->setReadBufferSize(0);
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
    if (m_socket && m_socket->bytesToWrite() == 0)
        emit SendComplete();
}

void Winsock::SendData(const QByteArray &data)
{
    if (!m_socket || m_socket->state() != QAbstractSocket::ConnectedState || data.isEmpty())
        return;
    m_socket->write(data);
}

QByteArray Winsock::GetData()
{
    return m_socket ? m_socket->readAll() : QByteArray();
}

void Winsock::Close()
{
    if (m_server) {
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_socket) {
        QTcpSocket *socket = m_socket;
        m_socket = nullptr;
        ++m_generation;
        m_resetWatch.release();
        m_isPaused = false;
        m_hasPeerEnded = false;
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
    return m_state;
}

QString Winsock::RemoteHostIP() const
{
    return m_remoteHostIP;
}

qint64 Winsock::BytesQueued() const
{
    return m_socket ? m_socket->bytesToWrite() : 0;
}
