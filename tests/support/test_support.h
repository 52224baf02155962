#pragma once

#include <QByteArray>
#include <QString>
#include <QTcpSocket>

namespace testsupport {

// A port on 127.0.0.1 that refuses every connection for as long as this object lives. The port
// is bound and never listened on: the kernel answers a connection attempt with a reset, and no
// other socket can take the port meanwhile (nor is it handed out as anybody's ephemeral port).
// A port that was merely free a moment ago could be taken by anyone before the test uses it.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;

    // 0 when no port could be held.
    quint16 port() const { return m_port; }

private:
    int m_descriptor = -1;
    quint16 m_port = 0;
};

// Aborts the connection with a reset instead of a FIN, as a crashed or killed peer does.
void resetConnection(QTcpSocket &socket);

// The whole content of a file, or an empty array when it cannot be read.
QByteArray readFileBytes(const QString &path);

// The SHA-256 of data in hex, for comparing large transfers with a readable failure.
QByteArray sha256(const QByteArray &data);

} // namespace testsupport
