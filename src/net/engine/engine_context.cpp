#include "net/engine/engine_context.h"

EngineContext::EngineContext(asio::io_context &context)
    : io(context), resolver(context), closing(context),
      m_readBuffer(std::make_unique<char[]>(size_t(kReadBufferBytes))),
      m_settings(std::make_shared<const ProxySettings>())
{
}

std::shared_ptr<const ProxySettings> EngineContext::settings() const
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    return m_settings;
}

void EngineContext::setSettings(std::shared_ptr<const ProxySettings> settings)
{
    std::lock_guard<std::mutex> guard(m_settingsLock);
    m_settings = std::move(settings);
}
