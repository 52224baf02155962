#include "support/reliability_support.h"

#include <QFile>
#include <QHostAddress>

#include <cstring>
#include <limits>
#include <utility>

#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>

#if defined(__SANITIZE_ADDRESS__)
#define VESKTOR_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VESKTOR_UNDER_ASAN 1
#endif
#endif

#ifdef VESKTOR_UNDER_ASAN
// From the sanitizer runtime; GCC installs no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace testsupport {

namespace {

// Enough for a few hundred connections arriving together; the default of 50 overflows and the
// kernel then drops connection attempts, which costs a retransmission of a second or more.
constexpr int kBacklog = 1024;
// What a client that holds back reading still lets Qt and the kernel take.
constexpr qint64 kHeldBufferBytes = 16 * 1024;

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

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmRSS:")) {
            // "VmRSS:	   12345 kB"
            bool isNumber = false;
            const qint64 value = line.mid(6).trimmed().split(' ').value(0).toLongLong(&isNumber);
            return isNumber ? value : -1;
        }
    }
    return -1;
}

qint64 liveHeapBytes()
{
#ifdef VESKTOR_UNDER_ASAN
    return qint64(__sanitizer_get_current_allocated_bytes());
#else
    const struct mallinfo2 info = ::mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#endif
}

bool isUnderAddressSanitizer()
{
#ifdef VESKTOR_UNDER_ASAN
    return true;
#else
    return false;
#endif
}

qint64 openFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<qint64>::max()
                                           : qint64(limit.rlim_cur);
}

void resetConnection(QTcpSocket &socket)
{
    // A zero linger time makes the close a reset.
    const linger abortive{1, 0};
    if (socket.socketDescriptor() >= 0)
        ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &abortive,
                     sizeof abortive);
    socket.abort();
}

QByteArray bulkHead(int id, qsizetype bodySize)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(bodySize) +
           "\r\nX-Client: " + QByteArray::number(id) + "\r\n\r\n";
}

BulkOrigin::BulkOrigin(const QByteArray &body) : m_body(body)
{
    m_server.setListenBacklogSize(kBacklog);
    m_server.setMaxPendingConnections(kBacklog);
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] { accept(); });
}

BulkOrigin::~BulkOrigin()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect();
        socket->abort();
        delete socket;
    }
}

bool BulkOrigin::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QByteArray BulkOrigin::authority() const
{
    return "127.0.0.1:" + QByteArray::number(m_server.serverPort());
}

void BulkOrigin::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_open;
        ++m_accepted;
        // The header block collects in the socket's own buffer until it is whole.
        QObject::connect(socket, &QTcpSocket::readyRead, &m_server,
                         [this, socket] { onReadyRead(socket); });
        QObject::connect(socket, &QTcpSocket::disconnected, &m_server, [this, socket] {
            --m_open;
            socket->disconnect(&m_server);
            socket->deleteLater();
        });
    }
}

void BulkOrigin::onReadyRead(QTcpSocket *socket)
{
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
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

void BulkOrigin::answer(QTcpSocket *socket, int id)
{
    if (!socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    socket->write(bulkHead(id, m_body.size()));
    // Written on its own, the body is queued by reference rather than copied.
    socket->write(m_body);
    if (!m_keptOpen.contains(id))
        socket->disconnectFromHost();
}

bool BulkOrigin::release(int id)
{
    const auto found = m_held.find(id);
    if (found == m_held.end())
        return false;
    const QPointer<QTcpSocket> socket = found.value();
    m_held.erase(found);
    answer(socket, id);
    return true;
}

void BulkOrigin::releaseAll()
{
    m_isHolding = false;
    const QHash<int, QPointer<QTcpSocket>> held = std::exchange(m_held, {});
    for (auto it = held.begin(); it != held.end(); ++it)
        answer(it.value(), it.key());
}

LoadClient::LoadClient(const QByteArray &expectedHead, const QByteArray &expectedBody)
    : m_head(expectedHead), m_body(expectedBody)
{
    QObject::connect(&m_socket, &QTcpSocket::connected, &m_socket,
                     [this] { m_wasConnected = true; });
    QObject::connect(&m_socket, &QTcpSocket::readyRead, &m_socket, [this] {
        if (!m_isHolding)
            readAvailable();
    });
    QObject::connect(&m_socket, &QTcpSocket::disconnected, &m_socket, [this] {
        m_isDisconnected = true;
        if (!m_isHolding)
            readAvailable();
    });
}

LoadClient::~LoadClient()
{
    m_socket.disconnect();
    m_socket.abort();
}

void LoadClient::connectTo(quint16 port)
{
    m_socket.connectToHost(QHostAddress::LocalHost, port);
}

void LoadClient::send(const QByteArray &data)
{
    m_socket.write(data);
}

void LoadClient::holdReadingAfter(qint64 bytes)
{
    m_holdAfter = bytes;
    // A small kernel buffer too, or loopback would take megabytes off the proxy's queue.
    m_socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(kHeldBufferBytes));
    if (m_received >= bytes) {
        m_isHolding = true;
        m_socket.setReadBufferSize(kHeldBufferBytes);
    }
}

void LoadClient::resumeReading()
{
    m_holdAfter = -1;
    m_isHolding = false;
    m_socket.setReadBufferSize(0);
    readAvailable();
}

void LoadClient::close()
{
    m_socket.abort();
}

void LoadClient::reset()
{
    resetConnection(m_socket);
}

QByteArray LoadClient::bodyHash() const
{
    return m_hash.result().toHex();
}

void LoadClient::readAvailable()
{
    if (!m_socket.isOpen())
        return;
    const QByteArray data = m_socket.readAll();
    if (!data.isEmpty())
        take(data);
}

void LoadClient::take(const QByteArray &data)
{
    const qint64 start = m_received;
    const qint64 headSize = m_head.size();
    m_received += data.size();

    // Everything after the head's length is hashed as it came, right or wrong.
    if (m_received > headSize) {
        const qint64 from = qMax<qint64>(0, headSize - start);
        m_hash.addData(QByteArrayView(data.constData() + from, data.size() - from));
    }

    for (qint64 i = 0; m_mismatchAt < 0 && i < data.size();) {
        const qint64 at = start + i;
        if (at >= expectedBytes()) {
            m_mismatchAt = at;
            break;
        }
        const bool isInHead = at < headSize;
        const char *expected =
            isInHead ? m_head.constData() + at : m_body.constData() + (at - headSize);
        const qint64 run =
            qMin<qint64>(data.size() - i, (isInHead ? headSize : expectedBytes()) - at);
        if (std::memcmp(data.constData() + i, expected, size_t(run)) != 0) {
            qint64 k = 0;
            while (data[i + k] == expected[k])
                ++k;
            m_mismatchAt = at + k;
        }
        i += run;
    }

    if (m_holdAfter >= 0 && m_received >= m_holdAfter) {
        m_isHolding = true;
        m_socket.setReadBufferSize(kHeldBufferBytes);
    }
}

} // namespace testsupport
