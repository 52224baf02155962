#pragma once

#include <QString>
#include <functional>
#include <memory>

class CertificateAuthority;
class RequestLog;
class RequestRecorder;
struct ProxySettings;

// The network engine: the listener, every browser's slot and every upstream connection, on a
// thread of its own, so that the window stays responsive however busy the proxy is and the
// proxy never waits for the window. The window talks to it through this class only, from its own
// thread, and waits for it only at the start and the stop of a run. The engine never touches a
// widget: it reads the settings snapshot it was last given and reports the connection count as a
// number.
class ProxyEngine {
public:
    ProxyEngine();
    // Ends a run still going, then the thread.
    ~ProxyEngine();
    ProxyEngine(const ProxyEngine &) = delete;
    ProxyEngine &operator=(const ProxyEngine &) = delete;

    struct Listening {
        bool isListening = false;
        quint16 port = 0; // the port actually listened on (the system's choice for port 0)
        QString failure;  // why not, as a short sentence
    };
    // Binds and listens on every local address before it returns, so that a port in use is
    // known at once. Browsers that connect wait until Serve.
    Listening Listen(quint16 port);

    // Begins serving the browsers. log, when not null, is open and receives the request and
    // header entries of the run from the engine's thread until Stop has returned; counter is
    // called on the engine's thread with every new value of the connection count.
    // inspectionCa, when not null, signs the certificates the proxy shows browsers for the HTTPS
    // it inspects in this run; null leaves every CONNECT a plain tunnel. records, when not null,
    // is given the rule hit counts of the run and, once asked for them, a row per request.
    void Serve(RequestLog *log, std::function<void(int connections)> counter,
               std::shared_ptr<const CertificateAuthority> inspectionCa,
               std::shared_ptr<RequestRecorder> records = nullptr);

    // Closes the listener and every connection, and returns once all are closed (lingering
    // closes get a short grace first) and the engine has written its last log entry: the port
    // then refuses connections and no count is reported any more. Harmless when not running.
    void Stop();

    // The settings for the requests from now on; any thread may call it at any time.
    void setSettings(std::shared_ptr<const ProxySettings> settings);

    // How long lingering closes may go on after Stop has closed everything.
    static constexpr int kStopGraceMilliseconds = 1000;

private:
    struct Engine;
    std::unique_ptr<Engine> d;
};
