#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <memory>
#include <openssl/ssl.h>

// TLS over memory: the connection's bytes go in and out through two memory BIOs, so that the
// session's own sockets, read on demand and written without blocking, carry the records. No
// socket is touched here, and nothing blocks.
class TlsLayer {
public:
    // isServer: this side answers the handshake (the browser's connection); otherwise it starts
    // it (the origin's). The context must outlive the layer.
    TlsLayer(SSL_CTX *context, bool isServer);
    ~TlsLayer();
    TlsLayer(const TlsLayer &) = delete;
    TlsLayer &operator=(const TlsLayer &) = delete;

    SSL *ssl() const { return m_ssl; }

    // Records that arrived from the peer.
    void feed(const char *data, qsizetype size);
    // Records to send to the peer, taken out of the layer.
    QByteArray takeOutput();
    bool hasOutput() const;
    // Records fed and not yet read, or plaintext decrypted and not yet taken.
    bool hasBufferedInput() const;

    enum class Result {
        Done,     // the handshake is complete / bytes were taken
        WantRead, // more records from the peer are needed
        Closed,   // the peer closed the TLS session (close_notify)
        Failed,   // the session is broken; failureReason() says why
    };
    Result handshake();
    // Plaintext into buffer: Done with size set, or why not.
    Result read(char *buffer, qsizetype capacity, qsizetype &size);
    // Encrypts all of it (a memory BIO takes everything); false once the session is broken.
    bool write(const char *data, qsizetype size);
    // Our close_notify, to go out before the connection closes.
    void shutdown();

    // The OpenSSL error of the last failure: its reason code (ERR_GET_REASON) and text.
    int failureReason() const { return m_failureReason; }
    QString failureText() const;

private:
    Result failed(int sslResult);

    SSL *m_ssl = nullptr;
    BIO *m_input = nullptr;  // peer -> SSL; owned by m_ssl
    BIO *m_output = nullptr; // SSL -> peer; owned by m_ssl
    unsigned long m_failure = 0;
    int m_failureReason = 0;
};
