#include "support/test_support.h"

#include <QCryptographicHash>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

RefusingPort::RefusingPort()
{
    m_descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_descriptor < 0)
        return;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_descriptor, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0 &&
        ::getsockname(m_descriptor, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        m_port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
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

QByteArray readFileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QByteArray sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

} // namespace testsupport
