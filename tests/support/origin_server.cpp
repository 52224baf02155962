#include "support/origin_server.h"

#include <QHostAddress>
#include <QRandomGenerator>

#include <sys/socket.h>

namespace testsupport {

namespace {

// Header block and announced body both in: an independent reading of Content-Length (the
// proxy's own must not judge its own output).
bool isWholeRequest(const QByteArray &data)
{
    const qsizetype headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    qint64 length = 0;
    const QList<QByteArray> lines = data.left(headerEnd).split('\n');
    for (const QByteArray &rawLine : lines) {
        const QByteArray line = rawLine.trimmed();
        if (line.toLower().startsWith("content-length:")) {
            length = qMax<qint64>(0, line.mid(15).trimmed().toLongLong());
            break;
        }
    }
    return data.size() - headerEnd - 4 >= length;
}

} // namespace

OriginServer::OriginServer()
{
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
}

OriginServer::~OriginServer()
{
    for (const auto &connection : m_connections) {
        if (connection->socket)
            connection->socket->abort();
    }
}

bool OriginServer::listen(const QHostAddress &address)
{
    return m_server.listen(address, 0);
}

QByteArray OriginServer::authority() const
{
    return "127.0.0.1:" + QByteArray::number(port());
}

void OriginServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const int index = int(m_connections.size());
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        Connection *state = connection.get();
        m_connections.push_back(std::move(connection));
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, state, socket, index] {
            state->received += socket->readAll();
            if (!state->isAnswered && isWholeRequest(state->received) && onRequest) {
                state->isAnswered = true;
                onRequest(index);
            }
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket,
                         [state] { state->isDisconnected = true; });
    }
}

QByteArray OriginServer::received(int connection) const
{
    if (connection < 0 || connection >= connectionCount())
        return {};
    return m_connections[size_t(connection)]->received;
}

bool OriginServer::hasRequest(int connection) const
{
    return isWholeRequest(received(connection));
}

bool OriginServer::isDisconnected(int connection) const
{
    if (connection < 0 || connection >= connectionCount())
        return false;
    const Connection &state = *m_connections[size_t(connection)];
    return state.isDisconnected || !state.socket ||
           state.socket->state() == QAbstractSocket::UnconnectedState;
}

QTcpSocket *OriginServer::socket(int connection) const
{
    if (connection < 0 || connection >= connectionCount())
        return nullptr;
    return m_connections[size_t(connection)]->socket;
}

void OriginServer::send(int connection, const QByteArray &data)
{
    if (QTcpSocket *target = socket(connection))
        target->write(data);
}

void OriginServer::close(int connection)
{
    if (QTcpSocket *target = socket(connection))
        target->disconnectFromHost();
}

void OriginServer::reset(int connection)
{
    QTcpSocket *target = socket(connection);
    if (!target)
        return;
    // A zero linger time turns the close into a reset.
    const linger abortive{1, 0};
    ::setsockopt(int(target->socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                 sizeof abortive);
    target->abort();
}

ProxyClient::ProxyClient()
{
    QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
        if (!m_isHolding && m_step == 0)
            readAvailable();
    });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, &m_socket, [this] {
        m_isDisconnected = true;
        if (!m_isHolding && m_step == 0)
            readAvailable();
    });
    QObject::connect(&m_slowReader, &QTimer::timeout, &m_socket, [this] {
        if (m_socket.isOpen())
            m_received += m_socket.read(m_step);
        if (m_isDisconnected && m_socket.bytesAvailable() == 0)
            m_slowReader.stop();
    });
}

ProxyClient::~ProxyClient()
{
    m_slowReader.stop();
    m_socket.abort();
}

void ProxyClient::connectTo(quint16 port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

bool ProxyClient::isConnected() const
{
    return m_socket.state() == QAbstractSocket::ConnectedState;
}

void ProxyClient::send(const QByteArray &data)
{
    m_socket.write(data);
}

void ProxyClient::abort()
{
    m_socket.abort();
}

void ProxyClient::close()
{
    m_socket.disconnectFromHost();
}

void ProxyClient::holdReading()
{
    m_isHolding = true;
    limitBuffers(16 * 1024);
}

// Qt stops taking bytes from the kernel once its own buffer holds this much, and the kernel
// buffer is kept small too (it would otherwise grow to many megabytes on loopback), so that
// what the client does not read stays queued at the proxy.
void ProxyClient::limitBuffers(qint64 bytes)
{
    m_socket.setReadBufferSize(bytes);
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(bytes));
}

void ProxyClient::resumeReading()
{
    m_isHolding = false;
    m_socket.setReadBufferSize(0);
    readAvailable();
}

void ProxyClient::readSlowly(qint64 stepBytes, int intervalMilliseconds)
{
    m_step = stepBytes;
    limitBuffers(stepBytes);
    m_slowReader.start(intervalMilliseconds);
}

void ProxyClient::readAvailable()
{
    if (m_socket.isOpen())
        m_received += m_socket.readAll();
}

QByteArray absoluteGet(const QByteArray &authority, const QByteArray &path)
{
    return "GET http://" + authority + path + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
}

QByteArray okResponse(const QByteArray &body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" +
           body;
}

QByteArray patternBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    const qsizetype words = size / qsizetype(sizeof(quint32));
    generator.fillRange(reinterpret_cast<quint32 *>(bytes.data()), words);
    for (qsizetype i = words * qsizetype(sizeof(quint32)); i < size; ++i)
        bytes[i] = char(generator.generate());
    return bytes;
}

} // namespace testsupport
