#include "support/tls_origin_server.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <memory>

#include "support/origin_server.h"

namespace testsupport {

TlsOriginServer::TlsOriginServer(const QSslCertificate &certificate, const QSslKey &key)
    : m_certificate(certificate), m_key(key)
{
}

void TlsOriginServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    ++m_accepted;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(m_certificate);
    configuration.setPrivateKey(m_key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    socket->setSslConfiguration(configuration);
    // The pending bytes of this connection, shared by the slots below.
    auto pending = std::make_shared<QByteArray>();
    QObject::connect(socket, &QSslSocket::encrypted, this, [this] { ++m_encrypted; });
    QObject::connect(socket, &QSslSocket::readyRead, this, [this, socket, pending] {
        *pending += socket->readAll();
        qsizetype end;
        while ((end = pending->indexOf("\r\n\r\n")) >= 0) {
            const QByteArray head = pending->left(end + 4);
            pending->remove(0, end + 4);
            m_requests << head;
            const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
            QByteArray response = okResponse(tlsOriginBody(requestLine.value(1)));
            socket->write(response.insert(response.indexOf("\r\n") + 2, m_extraLines));
        }
    });
    QObject::connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    // A failed handshake leaves the socket unusable; the proxy sees the connection end.
    QObject::connect(socket, &QSslSocket::sslErrors, socket, [socket] { socket->abort(); });
    socket->startServerEncryption();
}

QByteArray tlsOriginBody(const QByteArray &path)
{
    return "served over TLS: " + path;
}

} // namespace testsupport
