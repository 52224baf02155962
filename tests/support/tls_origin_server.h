#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

namespace testsupport {

// An HTTPS origin on 127.0.0.1: every connection is answered with TLS under the certificate it
// is given, every request head that arrives inside is recorded, and each is answered with
// okResponse(tlsOriginBody(path)) on a connection kept open, so that whether the proxy reuses
// it shows in connectionCount(). Requests carry no bodies.
class TlsOriginServer : public QTcpServer {
public:
    TlsOriginServer(const QSslCertificate &certificate, const QSslKey &key);

    bool listen() { return QTcpServer::listen(QHostAddress::LocalHost); }
    quint16 port() const { return serverPort(); }
    // "localhost:port", as a browser names this server.
    QByteArray authority() const { return "localhost:" + QByteArray::number(port()); }

    int connectionCount() const { return m_accepted; }
    // Connections whose TLS handshake completed.
    int encryptedCount() const { return m_encrypted; }
    // Every request head, in the order of arrival, up to and with its blank line.
    const QList<QByteArray> &requests() const { return m_requests; }
    // Header lines, each ending in CR LF, put into every response after its status line.
    void setExtraResponseLines(const QByteArray &lines) { m_extraLines = lines; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
    int m_accepted = 0;
    int m_encrypted = 0;
    QList<QByteArray> m_requests;
    QByteArray m_extraLines;
};

// The body TlsOriginServer answers the request for path with.
QByteArray tlsOriginBody(const QByteArray &path);

} // namespace testsupport
