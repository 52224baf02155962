#pragma once

#include <QByteArray>

class Winsock;

// Backpressure between the two sockets of a slot. A piece read from one side is queued on the
// other at once; while that queue is above the high-water mark, nothing more is read from the
// first side, so a slow reader holds a fast sender back through TCP instead of through this
// program's memory. Reading resumes when the queue has drained (its send-complete report).
// The kernel's own socket buffers (several MiB on loopback) keep the connection busy while the
// queue drains, so a mark of one read's worth is enough for full speed; each byte above it is
// resident memory for the whole of a slow download.
constexpr qint64 kQueueHighWaterBytes = 256 * 1024;

// Queues piece on to and pauses from while to's queue is above the mark.
void passOn(Winsock &from, Winsock &to, const QByteArray &piece);

// to has sent everything queued on it: from may be read again.
void resumeAfterDrain(Winsock *from);
