#pragma once

#include <QtGlobal>

class QTcpSocket;

// Takes a connection away from its owner and closes it without losing data in flight: what is
// still queued is sent, then our side is shut down for writing, and the socket is read (and the
// bytes dropped) until the peer closes too, or until the peer has acknowledged everything we
// sent. Closing a socket that still holds unread input would make the kernel answer with a
// reset, which can destroy the last bytes on their way to the peer. A peer that takes nothing
// at all for a long while is cut off, so that it cannot pin the socket forever.
void closeGracefully(QTcpSocket *socket);

// Closes a bare descriptor that no QTcpSocket owns (a connection that was never accepted),
// after reading away whatever the peer already sent, so that the close is a FIN, not a reset.
void closeDescriptor(qintptr descriptor);

// How often a closing socket looks at its progress, and how long a peer may take nothing
// before it is cut off. The defaults (5 s, 60 s) suit browsers; tests shorten them.
void setClosingTimings(int checkMilliseconds, qint64 stallMilliseconds);
