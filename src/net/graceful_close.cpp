#include "net/graceful_close.h"

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace {

// Long enough for any peer that reads to see our FIN and answer it; short enough that a peer
// which never closes does not pin a descriptor for long.
constexpr int kLingerMilliseconds = 5000;

void shutDownWriting(QTcpSocket *socket)
{
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor >= 0)
        ::shutdown(int(descriptor), SHUT_WR);
}

} // namespace

void closeGracefully(QTcpSocket *socket)
{
    if (!socket)
        return;
    // The owner may be destroyed long before the peer answers our FIN.
    socket->setParent(QCoreApplication::instance());

    if (socket->state() != QAbstractSocket::ConnectedState) {
        socket->abort();
        socket->deleteLater();
        return;
    }

    socket->readAll();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->readAll(); });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kLingerMilliseconds, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });

    if (socket->bytesToWrite() == 0) {
        shutDownWriting(socket);
        return;
    }
    QObject::connect(socket, &QTcpSocket::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0)
            shutDownWriting(socket);
    });
}
