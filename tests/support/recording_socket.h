#pragma once

#include <QByteArray>
#include <QTcpSocket>

namespace testsupport {

// The far end of a connection under test: a plain Qt socket that keeps everything it receives
// and notes when the stream has ended.
struct RecordingSocket {
    RecordingSocket();
    // The socket's own destruction reports a disconnect; nobody is left to keep it.
    ~RecordingSocket();
    RecordingSocket(const RecordingSocket &) = delete;
    RecordingSocket &operator=(const RecordingSocket &) = delete;

    QTcpSocket socket;
    QByteArray received;
    bool sawEndOfStream = false;
};

} // namespace testsupport
