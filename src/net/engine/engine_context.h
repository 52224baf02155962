#pragma once

#include <asio/io_context.hpp>
#include <memory>
#include <mutex>

#include "net/engine/host_resolver.h"
#include "net/rules/proxy_settings.h"
#include "net/session/graceful_close.h"
#include "net/tls/tls_inspection.h"

class RequestLog;
class RequestRecorder;

// What the parts of the engine share. All of it is used on the engine's thread only, except the
// settings, which the window replaces whenever a control changes.
class EngineContext {
public:
    explicit EngineContext(asio::io_context &context);

    asio::io_context &io;
    HostResolver resolver;
    ClosingSockets closing;
    // The log file of the current run while it is open, else null. Set and cleared on the
    // engine's thread, at the start and the stop of a run.
    RequestLog *log = nullptr;
    // Where the requests of the current run are recorded for the Requests window, else null.
    // Set and cleared on the engine's thread, like log; the recorder guards itself.
    std::shared_ptr<RequestRecorder> records;
    // The port the proxy listens on in this run: a request for it on this machine would come
    // back to the proxy itself.
    quint16 listeningPort = 0;
    // HTTPS inspection in this run (its CA, leaf key and origin context): null while the run
    // tunnels HTTPS untouched. Set and cleared on the engine's thread, like log.
    std::shared_ptr<const TlsInspection> inspection;
    // The leaves shown to browsers in this run, one per host met; emptied with inspection, since
    // they carry the run's key.
    BrowserLeaves browserLeaves;

    // One read buffer for the whole engine. Every read is handled before the next event runs,
    // so nothing stays in it between events and a slot costs no buffer of its own.
    static constexpr qsizetype kReadBufferBytes = 256 * 1024;
    char *readBuffer() { return m_readBuffer.get(); }

    std::shared_ptr<const ProxySettings> settings() const;
    void setSettings(std::shared_ptr<const ProxySettings> settings);

private:
    std::unique_ptr<char[]> m_readBuffer;
    // Guards m_settings, the one value both threads touch: the window replaces it, the engine
    // takes a reference to it once per request. Held only for the copy of a pointer.
    mutable std::mutex m_settingsLock;
    std::shared_ptr<const ProxySettings> m_settings;
};
