#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

namespace testsupport {

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
quint16 freeLoopbackPort();

// The whole content of a file, or an empty array when it cannot be read.
QByteArray readFileBytes(const QString &path);

// The SHA-256 of data in hex, for comparing large transfers with a readable failure.
QByteArray sha256(const QByteArray &data);

} // namespace testsupport
