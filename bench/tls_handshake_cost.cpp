// What one inspected connection's TLS costs the proxy, without sockets: the proxy's own TLS code
// (TlsLayer, BrowserLeaves, TlsInspection) talks to an in-process peer over memory, and only
// the proxy's side is timed, as CPU time of this thread. So the figures hold however busy the
// machine's other cores are. Prints microseconds per connection, the median of several batches:
//   leaf        a leaf certificate and server context for a host not met before;
//   browser     the browser's side: a full handshake with the proxy as server (a client that
//               resumes nothing, like hey), one 1 KiB response;
//   origin      the origin's side, the proxy as client verifying the certificate, one request:
//               full (the origin gives no tickets) and resumed (the origin's ticket reused).
// Usage: tls_handshake_cost [connections per batch, default 400]
#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "net/tls/certificate_authority.h"
#include "net/tls/tls_inspection.h"
#include "net/tls/tls_layer.h"

namespace {

constexpr int kBatches = 5;

double threadCpuMicroseconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e6 + double(now.tv_nsec) / 1e3;
}

// Adds the thread CPU time of whatever `work` does to `spent`.
template <typename Work> auto timed(double &spent, Work work)
{
    const double start = threadCpuMicroseconds();
    auto result = work();
    spent += threadCpuMicroseconds() - start;
    return result;
}

void move(TlsLayer &from, TlsLayer &to)
{
    const QByteArray records = from.takeOutput();
    to.feed(records.constData(), records.size());
}

// One connection: handshake, a request and a 1 KiB response, with the proxy's calls timed.
// The proxy is the server (the browser's side) or the client (the origin's side).
bool connectOnce(TlsLayer &client, TlsLayer &server, bool proxyIsServer, double &spent)
{
    TlsLayer &proxy = proxyIsServer ? server : client;
    bool isClientDone = false;
    bool isServerDone = false;
    for (int round = 0; round < 10 && !(isClientDone && isServerDone); ++round) {
        auto step = [](TlsLayer &layer) { return layer.handshake(); };
        const TlsLayer::Result clientStep =
            &client == &proxy ? timed(spent, [&] { return step(client); }) : step(client);
        move(client, server);
        const TlsLayer::Result serverStep =
            &server == &proxy ? timed(spent, [&] { return step(server); }) : step(server);
        move(server, client);
        if (clientStep == TlsLayer::Result::Failed || serverStep == TlsLayer::Result::Failed)
            return false;
        isClientDone = clientStep == TlsLayer::Result::Done;
        isServerDone = serverStep == TlsLayer::Result::Done;
    }
    static const QByteArray request("GET / HTTP/1.1\r\nHost: bench.test\r\n\r\n");
    static const QByteArray response =
        QByteArray("HTTP/1.1 200 OK\r\n\r\n") + QByteArray(1024, 'x');
    char buffer[4096];
    qsizetype size = 0;
    // Every read is given the records the other side wrote, tickets included.
    auto writeAndRead = [&](TlsLayer &from, TlsLayer &to, const QByteArray &data) {
        auto send = [&] { return from.write(data.constData(), data.size()); };
        if (!(&from == &proxy ? timed(spent, send) : send()))
            return false;
        move(from, to);
        auto receive = [&] {
            qsizetype total = 0;
            while (to.read(buffer, sizeof buffer, size) == TlsLayer::Result::Done)
                total += size;
            return total;
        };
        const qsizetype total = &to == &proxy ? timed(spent, receive) : receive();
        move(to, from);
        return total == data.size();
    };
    return writeAndRead(client, server, request) && writeAndRead(server, client, response);
}

// Median over the batches of the microseconds per connection that `batch` reports.
double median(const std::function<double()> &batch)
{
    std::vector<double> results;
    for (int i = 0; i < kBatches; ++i)
        results.push_back(batch());
    std::sort(results.begin(), results.end());
    return results[results.size() / 2];
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "tls_handshake_cost: %s\n", what);
    std::exit(1);
}

} // namespace

int main(int argc, char *argv[])
{
    const int perBatch = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
    const auto now = std::chrono::system_clock::now();

    // The proxy's CA signs the origins' certificates too, and is their trust store.
    auto ca = CertificateAuthority::create(now);
    QTemporaryDir folder;
    if (!ca || !folder.isValid())
        fail("no CA");
    const QString trustFile = folder.filePath(QStringLiteral("trust.pem"));
    {
        QFile file(trustFile);
        if (!file.open(QIODevice::WriteOnly) || file.write(ca->certificatePem()) < 0)
            fail("cannot write the trust file");
    }
    qputenv("SSL_CERT_FILE", QFile::encodeName(trustFile));
    auto inspection = TlsInspection::make(ca);
    if (!inspection)
        fail("no inspection contexts");

    // leaf: a new BrowserLeaves for each batch, so that every host is new to it.
    int hostNumber = 0;
    const double leaf = median([&] {
        BrowserLeaves leaves;
        double spent = 0;
        for (int i = 0; i < perBatch; ++i) {
            const std::string host = "host" + std::to_string(++hostNumber) + ".test";
            TlsLayer layer(inspection->browserContext(), true);
            if (!timed(spent, [&] { return leaves.present(layer.ssl(), *inspection, host); }))
                fail("no leaf");
        }
        return spent / perBatch;
    });

    // browser: a client like hey (no verification, no resumption) and the proxy's server side.
    BrowserLeaves leaves;
    const std::string browserHost = "bench.test";
    SslCtxHandle browserClient(SSL_CTX_new(TLS_client_method()));
    SSL_CTX_set_session_cache_mode(browserClient.get(), SSL_SESS_CACHE_OFF);
    const double browser = median([&] {
        double spent = 0;
        for (int i = 0; i < perBatch; ++i) {
            TlsLayer client(browserClient.get(), false);
            SSL_set_tlsext_host_name(client.ssl(), browserHost.c_str());
            auto makeServer = [&] {
                auto layer = std::make_unique<TlsLayer>(inspection->browserContext(), true);
                return leaves.present(layer->ssl(), *inspection, browserHost) ? std::move(layer)
                                                                              : nullptr;
            };
            auto server = timed(spent, makeServer);
            if (!connectOnce(client, *server, true, spent))
                fail("the browser's handshake failed");
            // Closed as the proxy closes a finished connection: close_notify, then freed.
            timed(spent, [&] {
                server->shutdown();
                server.reset();
                return 0;
            });
        }
        return spent / perBatch;
    });

    // origin: two origins with leaves from the CA, one without tickets (so every handshake is
    // full) and one with them.
    auto originContext = [&](const std::string &host, bool givesTickets) {
        SslCtxHandle context(SSL_CTX_new(TLS_server_method()));
        X509Handle leafCertificate = makeLeafCertificate(*ca, inspection->leafKey(), host, now);
        if (!context || !leafCertificate ||
            SSL_CTX_use_certificate(context.get(), leafCertificate.get()) != 1 ||
            SSL_CTX_use_PrivateKey(context.get(), inspection->leafKey()) != 1)
            fail("no origin context");
        if (!givesTickets)
            SSL_CTX_set_num_tickets(context.get(), 0);
        return context;
    };
    auto originCost = [&](SSL_CTX *originServer, const std::string &host) {
        return median([&] {
            double spent = 0;
            for (int i = 0; i < perBatch; ++i) {
                TlsLayer server(originServer, true);
                auto makeClient = [&] {
                    auto layer = std::make_unique<TlsLayer>(inspection->originContext(), false);
                    return TlsInspection::prepareOriginSession(layer->ssl(), host)
                               ? std::move(layer)
                               : nullptr;
                };
                auto client = timed(spent, makeClient);
                if (!client || !connectOnce(*client, server, false, spent))
                    fail("the origin's handshake failed");
                // A session whose connection ends without close_notify is not resumed.
                timed(spent, [&] {
                    client->shutdown();
                    client.reset();
                    return 0;
                });
            }
            return spent / perBatch;
        });
    };
    SslCtxHandle fullOrigin = originContext("full.test", false);
    SslCtxHandle resumingOrigin = originContext("resumed.test", true);
    const double originFull = originCost(fullOrigin.get(), "full.test");
    const double originResumed = originCost(resumingOrigin.get(), "resumed.test");

    std::printf("microseconds of the proxy's CPU per connection (median of %d batches of %d)\n",
                kBatches, perBatch);
    std::printf("leaf             %7.1f  (certificate and context for a new host)\n", leaf);
    std::printf("browser          %7.1f  (full handshake as server, 1 KiB response)\n", browser);
    std::printf("origin full      %7.1f  (handshake as client, certificate verified, request)\n",
                originFull);
    std::printf("origin resumed   %7.1f  (the same, resuming the origin's ticket)\n",
                originResumed);
    return 0;
}
