#pragma once

class QTcpSocket;

// Takes a connection away from its owner and closes it without losing data in flight: what is
// still queued is sent, then our side is shut down for writing, and the socket is read (and the
// bytes dropped) until the peer closes too or a short grace period ends. Closing a socket that
// still holds unread input would make the kernel answer with a reset, which can destroy the last
// bytes on their way to the peer.
void closeGracefully(QTcpSocket *socket);
