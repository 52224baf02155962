#include "support/recording_socket.h"

namespace testsupport {

RecordingSocket::RecordingSocket()
{
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                     [this] { received += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [this] {
        if (socket.isOpen())
            received += socket.readAll();
        sawEndOfStream = true;
    });
}

RecordingSocket::~RecordingSocket()
{
    QObject::disconnect(&socket, nullptr, nullptr, nullptr);
}

} // namespace testsupport
