#pragma once

#include <QString>
#include <chrono>

#include "log/request_records.h"

// How the browser takes an inspected tunnel's certificate. Browsers refuse one with an alert;
// OpenSSL-based command-line clients and Qt often complete the handshake and close without a
// byte, which only the timing tells from a browser's unused speculative connection. Engine
// thread only.
class TunnelTrust {
public:
    void handshakeBegan() { m_trust = BrowserTrust::HandshakeFailed; }
    // failureReason: the TLS layer's (TlsLayer::failureReason), or 0 when the connection ended.
    void handshakeFailed(int failureReason, const QString &failureText);
    void secured();
    // Plaintext arrived from the browser.
    void noteRequestBytes()
    {
        if (m_trust == BrowserTrust::ClosedBeforeRequest)
            m_trust = BrowserTrust::Trusted;
    }

    // The browser has just closed a tunnel it secured within the last second, without a byte
    // of a request: taken as a refusal of the certificate.
    bool isQuietRefusal() const;
    BrowserTrust trust() const { return m_trust; }
    const QString &detail() const { return m_detail; }

private:
    static constexpr std::chrono::seconds kQuietRefusalWindow{1};

    BrowserTrust m_trust = BrowserTrust::NotAsked;
    QString m_detail;
    std::chrono::steady_clock::time_point m_securedAt;
};
