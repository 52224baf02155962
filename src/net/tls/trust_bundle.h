#pragma once

#include <QByteArray>
#include <QString>

// One file of CAs for tools that take a single CA file (curl --cacert, npm's cafile, apt's
// CaInfo): the CAs this system trusts, then the local CA. Both are needed, since excluded hosts
// and blind tunnels still show the servers' own certificates.

// The file of CAs the system trusts as OpenSSL finds it: SSL_CERT_FILE when set, otherwise
// OpenSSL's default file.
QString systemTrustFile();

// Every certificate in systemPem, written again as PEM (anything else the file holds is left
// out), followed by caPem. Empty when systemPem holds no certificate.
QByteArray makeTrustBundle(const QByteArray &systemPem, const QByteArray &caPem);

// The bundle made from the file systemTrustFile() names, or why not in a few words.
struct TrustBundleResult {
    QByteArray bundle;
    QString failedFile;
    QString reason;
};
TrustBundleResult loadTrustBundle(const QByteArray &caPem);
