#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "net/tls/openssl_handles.h"

struct CaLoadResult;

// The local certificate authority behind opt-in HTTPS inspection: the user trusts its
// certificate once in the browser, and the proxy then shows the browser, for each host, a leaf
// certificate the CA signed on the spot.
//
// Immutable once made, so one instance can sign leaves on any number of threads at once. Its
// private key never leaves it: only makeLeafCertificate() signs with it, and only the
// certificate can be had as bytes.
class CertificateAuthority {
public:
    // A new CA with a new ECDSA P-256 key: self-signed, CN "Vesktor local CA", valid from one
    // day before `now` for ten years. Null if OpenSSL fails.
    static std::shared_ptr<const CertificateAuthority>
    create(std::chrono::system_clock::time_point now);

    const X509 *certificate() const { return m_certificate.get(); }
    // The certificate in PEM, for the user to import into a browser.
    QByteArray certificatePem() const;

private:
    struct Private {};

public:
    // Through make() only.
    CertificateAuthority(Private, X509Handle certificate, EvpPkeyHandle key,
                         std::vector<X509ExtensionHandle> leafExtensions);

private:
    // A CA from a certificate and its matching key; null if OpenSSL fails.
    static std::shared_ptr<const CertificateAuthority> make(X509Handle certificate,
                                                            EvpPkeyHandle key);

    // Writes the key file of a CA it has just made.
    friend CaLoadResult loadOrCreateCertificateAuthority(const QString &folder);
    friend X509Handle makeLeafCertificate(const CertificateAuthority &ca, EVP_PKEY *leafKey,
                                          const std::string &host,
                                          std::chrono::system_clock::time_point now);

    X509Handle m_certificate;
    EvpPkeyHandle m_key;
    // What every leaf carries the same, made once: basicConstraints, keyUsage,
    // extendedKeyUsage and the authorityKeyIdentifier naming this CA's key.
    std::vector<X509ExtensionHandle> m_leafExtensions;
};

// What loadOrCreateCertificateAuthority() found: a CA, or the file that could not be used (its
// whole path) and why, in a few words ("the key does not match the certificate").
struct CaLoadResult {
    std::shared_ptr<const CertificateAuthority> ca;
    QString failedFile;
    QString reason;
};

// The files in the CA folder: the certificate, and the key (mode 0600).
inline constexpr char kCaCertificateFileName[] = "vesktor-ca.pem";
inline constexpr char kCaKeyFileName[] = "vesktor-ca.key";

// $XDG_DATA_HOME/vesktor (QStandardPaths' generic data location).
QString defaultCaFolder();

// Loads the CA from `folder`, or makes one there when neither file exists (the folder with mode
// 0700 if it is missing, the key with mode 0600). A file that exists is never overwritten: one
// that cannot be used, or a missing partner of one that exists, is reported and left alone, so
// that a CA the user's browsers already trust is not silently replaced.
CaLoadResult loadOrCreateCertificateAuthority(const QString &folder);

// One ECDSA P-256 key for leaf certificates; a run makes one and uses it for every leaf, since
// making a key costs more than signing a certificate. Null if OpenSSL fails.
EvpPkeyHandle makeLeafKey();

// A certificate for `host` with `leafKey`'s public key, signed by `ca`: SAN the host (an IP
// address for an IPv4 or IPv6 literal, the latter with or without brackets, otherwise a DNS
// name), CN the host cut to 64 bytes, serverAuth only, valid from one day before `now` for 30
// days but not beyond the CA's end. Null for a host that is not a plain host name or IP literal
// (letters, digits, "-", "_" and "."; at most 253 bytes; no "*"), since whatever it holds would
// be written into the certificate, and when the CA has expired at `now`.
X509Handle makeLeafCertificate(const CertificateAuthority &ca, EVP_PKEY *leafKey,
                               const std::string &host, std::chrono::system_clock::time_point now);

// Whether a leaf should be made anew at `now`: a day of it or less is left, or it is not valid
// yet (the clock went back).
bool needsRenewal(const X509 *leaf, std::chrono::system_clock::time_point now);
