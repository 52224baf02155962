#include "support/running_engine.h"

#include "app/engine_settings.h"
#include "net/tls/certificate_authority.h"
#include "support/origin_server.h"

namespace testsupport {

RunningEngine::RunningEngine(const QString &logPath, const QString &maxThreads,
                             const std::function<void(RememberedSettings &)> &prepare)
    : m_settings(defaultSettings())
{
    QObject::connect(&m_counter, &ConnectionCounter::changed,
                     [this](int connections) { m_connections = connections; });
    if (!maxThreads.isNull())
        m_settings.maxThreads = maxThreads;
    m_settings.isLogging = !logPath.isEmpty();
    if (prepare)
        prepare(m_settings);
    m_engine.setSettings(std::make_shared<ProxySettings>(engineSettingsOf(m_settings)));

    const ProxyEngine::Listening listening = m_engine.Listen(0);
    if (!listening.isListening)
        return;
    m_port = listening.port;
    const bool isLogOpen = !logPath.isEmpty() && m_log.OpenFile(logPath);
    if (isLogOpen)
        m_log.writeStartEntry();
    CaLoadResult inspection;
    if (m_settings.isInspecting) {
        inspection = loadOrCreateCertificateAuthority(defaultCaFolder());
        if (!inspection.ca)
            m_caFailure = inspection.reason;
    }
    m_engine.Serve(
        isLogOpen ? &m_log : nullptr,
        [counter = &m_counter](int connections) { counter->report(connections); }, inspection.ca);
    m_isRunning = true;
}

RunningEngine::~RunningEngine()
{
    stop();
}

bool RunningEngine::stop()
{
    if (!m_isRunning)
        return true;
    m_engine.Stop();
    m_isRunning = false;
    m_connections = 0;
    if (m_log.isOpen()) {
        m_log.writeStopEntry();
        m_log.Close();
    }
    return true;
}

void RunningEngine::change(const std::function<void(RememberedSettings &)> &edit)
{
    edit(m_settings);
    m_engine.setSettings(std::make_shared<ProxySettings>(engineSettingsOf(m_settings)));
}

bool RunningEngine::serveAnotherBrowser()
{
    return testsupport::serveAnotherBrowser(m_port);
}

} // namespace testsupport
