#include "support/reliability_support.h"

#include "support/test_support.h"

#include <QFile>
#include <QHostAddress>

#include <cstring>
#include <limits>

#include <malloc.h>
#include <sys/resource.h>

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

// What a client that holds back reading still lets Qt and the kernel take.
constexpr qint64 kHeldBufferBytes = 16 * 1024;

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
