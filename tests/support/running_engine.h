#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "app/connection_counter.h"
#include "app/remembered_settings.h"
#include "log/request_log.h"
#include "net/engine/proxy_engine.h"

namespace testsupport {

// The engine alone, started as the window starts it but without one: the default settings
// (prepare, when given, changes them as a user would change the controls), port 0 read back,
// the log file opened and its start entry written when a path is given, and the local CA loaded
// when inspection is on. For the tests of what crosses the sockets; the window's own tests
// use RunningProxy. Stops the engine when destroyed.
class RunningEngine {
public:
    explicit RunningEngine(const QString &logPath = QString(),
                           const QString &maxThreads = QString(),
                           const std::function<void(RememberedSettings &)> &prepare = {});
    ~RunningEngine();
    RunningEngine(const RunningEngine &) = delete;
    RunningEngine &operator=(const RunningEngine &) = delete;

    bool isRunning() const { return m_isRunning; }
    // True once the engine has stopped (at once when it was not running).
    bool stop();
    quint16 port() const { return m_port; }
    // The connection count as the window's counter shows it.
    QString counter() const { return QString::number(m_connections); }
    // The settings from now on, as the window hands them over when a control changes.
    void change(const std::function<void(RememberedSettings &)> &edit);
    // See testsupport::serveAnotherBrowser.
    bool serveAnotherBrowser();
    // Why the local CA could not be used, when inspection was asked for; empty otherwise.
    const QString &caFailure() const { return m_caFailure; }

private:
    RememberedSettings m_settings;
    ProxyEngine m_engine;
    RequestLog m_log;
    bool m_isRunning = false;
    quint16 m_port = 0;
    // The count reaches the test's thread as it reaches the window, through the event loop, so
    // that a test waiting for it wakes when it changes.
    ConnectionCounter m_counter;
    int m_connections = 0;
    QString m_caFailure;
};

} // namespace testsupport
