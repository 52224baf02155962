#include "net/session/tunnel_trust.h"

#include "net/tls/tls_inspection.h"

void TunnelTrust::handshakeFailed(int failureReason, const QString &failureText)
{
    m_trust = isCertificateRejectedByPeer(failureReason) ? BrowserTrust::CertificateRefused
                                                         : BrowserTrust::HandshakeFailed;
    const int alert = alertReceived(failureReason);
    if (alert >= 0)
        m_detail = QStringLiteral("The client sent the TLS alert %1.").arg(alertName(alert));
    else if (failureReason != 0)
        m_detail = QStringLiteral("The TLS handshake failed: %1.").arg(failureText);
    else
        m_detail = QStringLiteral("The connection ended during the TLS handshake.");
}

void TunnelTrust::secured()
{
    m_trust = BrowserTrust::ClosedBeforeRequest;
    m_securedAt = std::chrono::steady_clock::now();
}

bool TunnelTrust::isQuietRefusal() const
{
    return m_trust == BrowserTrust::ClosedBeforeRequest &&
           std::chrono::steady_clock::now() - m_securedAt < kQuietRefusalWindow;
}
