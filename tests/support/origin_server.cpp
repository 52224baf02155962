#include "support/origin_server.h"

#include <QHostAddress>
#include <QNetworkProxy>
#include <QRandomGenerator>
#include <QTest>

#include <utility>

#include "support/reliability_support.h"
#include "support/test_support.h"

namespace testsupport {

namespace {

// Enough for a few hundred connections arriving together; the default of 50 overflows and the
// kernel then drops connection attempts, which costs a retransmission of a second or more.
constexpr int kBacklog = 1024;

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

// The id in "GET /client/<id> HTTP/1.1", or -1.
int requestedId(const QByteArray &header)
{
    const qsizetype lineEnd = header.indexOf("\r\n");
    const QList<QByteArray> words = header.left(lineEnd).split(' ');
    if (words.size() != 3 || !words[1].startsWith("/client/"))
        return -1;
    bool isNumber = false;
    const int id = words[1].mid(8).toInt(&isNumber);
    return isNumber ? id : -1;
}

} // namespace

OriginServer::OriginServer()
{
    m_server.setListenBacklogSize(kBacklog);
    m_server.setMaxPendingConnections(kBacklog);
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
}

OriginServer::OriginServer(const QByteArray &sharedBody) : OriginServer()
{
    m_isServing = true;
    m_body = sharedBody;
}

OriginServer::~OriginServer()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect();
        socket->abort();
        delete socket;
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
        ++m_accepted;
        ++m_open;
        Connection *state = nullptr;
        const int index = int(m_connections.size());
        if (!m_isServing) {
            m_connections.push_back(std::make_unique<Connection>());
            state = m_connections.back().get();
            state->socket = socket;
        }
        QObject::connect(socket, &QTcpSocket::readyRead, &m_server, [this, socket, state, index] {
            if (state)
                takeScripted(socket, *state, index);
            else
                takeServed(socket);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, &m_server, [this, socket, state] {
            --m_open;
            if (state) {
                state->received += socket->readAll();
                state->isDisconnected = true;
            }
            socket->disconnect(&m_server);
            socket->deleteLater();
        });
    }
}

void OriginServer::takeScripted(QTcpSocket *socket, Connection &state, int index)
{
    const QByteArray data = socket->readAll();
    const qsizetype searchFrom = qMax<qsizetype>(0, state.received.size() - 3);
    state.received += data;
    if (m_isEcho)
        socket->write(data);
    if (!state.hasHead && state.received.indexOf("\r\n\r\n", searchFrom) >= 0) {
        state.hasHead = true;
        ++m_requests;
    }
    if (state.hasHead && !state.isAnswered && onRequest && isWholeRequest(state.received)) {
        state.isAnswered = true;
        onRequest(index);
    }
}

void OriginServer::takeServed(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    // The header block collects in the socket's own buffer until it is whole.
    const QByteArray pending = socket->peek(socket->bytesAvailable());
    const qsizetype headerEnd = pending.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;
    const QByteArray header = socket->read(headerEnd + 4);
    socket->readAll();
    socket->setProperty("answered", true);
    ++m_requests;
    const int id = requestedId(header);
    if (m_isHolding)
        m_held.insert(id, socket);
    else
        answer(socket, id);
}

void OriginServer::answer(QTcpSocket *socket, int id)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write(bulkHead(id, m_body.size()));
    // Written on its own, the body is queued by reference rather than copied.
    socket->write(m_body);
    if (!m_keptOpen.contains(id))
        socket->disconnectFromHost();
}

bool OriginServer::release(int id)
{
    const auto found = m_held.find(id);
    if (found == m_held.end())
        return false;
    const QPointer<QTcpSocket> socket = found.value();
    m_held.erase(found);
    answer(socket, id);
    return true;
}

void OriginServer::releaseAll()
{
    m_isHolding = false;
    const QHash<int, QPointer<QTcpSocket>> held = std::exchange(m_held, {});
    for (auto it = held.begin(); it != held.end(); ++it)
        answer(it.value(), it.key());
}

QByteArray OriginServer::received(int connection) const
{
    if (connection < 0 || connection >= int(m_connections.size()))
        return {};
    return m_connections[size_t(connection)]->received;
}

bool OriginServer::hasRequest(int connection) const
{
    return isWholeRequest(received(connection));
}

bool OriginServer::isDisconnected(int connection) const
{
    if (connection < 0 || connection >= int(m_connections.size()))
        return false;
    const Connection &state = *m_connections[size_t(connection)];
    return state.isDisconnected || !state.socket ||
           state.socket->state() == QAbstractSocket::UnconnectedState;
}

QTcpSocket *OriginServer::socket(int connection) const
{
    if (connection < 0 || connection >= int(m_connections.size()))
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
    if (QTcpSocket *target = socket(connection))
        resetConnection(*target);
}

QByteArray bulkHead(int id, qsizetype bodySize)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(bodySize) +
           "\r\nX-Client: " + QByteArray::number(id) + "\r\n\r\n";
}

ProxyClient::ProxyClient()
{
    // Straight to the proxy under test: for an address that is not loopback, Qt would otherwise
    // ask the desktop's proxy settings first, on a thread of libproxy's.
    m_socket.setProxy(QNetworkProxy::NoProxy);
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

void ProxyClient::connectTo(const QHostAddress &address, quint16 port)
{
    m_socket.connectToHost(address, port);
}

bool ProxyClient::sendNow(const QByteArray &data)
{
    constexpr int kWait = 10000;
    if (!waitUntil([this] { return isConnected() || m_isDisconnected; }, kWait) || !isConnected())
        return false;
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket.write(data);
    m_socket.flush();
    return waitUntil([this] { return m_socket.bytesToWrite() == 0 || m_isDisconnected; }, kWait) &&
           m_socket.bytesToWrite() == 0;
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

bool serveAnotherBrowser(quint16 port)
{
    OriginServer origin;
    if (!origin.listen())
        return false;
    origin.onRequest = [&origin](int connection) {
        origin.send(connection, okResponse("another"));
        origin.close(connection);
    };
    ProxyClient browser;
    browser.connectTo(port);
    browser.send(absoluteGet(origin.authority(), "/another"));
    return QTest::qWaitFor([&] { return browser.isClosed(); }, 10000) &&
           browser.received() == okResponse("another");
}

} // namespace testsupport
