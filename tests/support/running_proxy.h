#pragma once

#include <QList>
#include <QString>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "app/message_box.h"

namespace testsupport {

// A window started as a user starts it: port 0 typed into txtPort (the window then shows the
// port the system chose), the connection limit and logging to the given file when given, a click
// on Command1; prepare, when given, sets more of the window's controls first. Message boxes are
// answered (Yes or OK) and recorded. Stops the proxy and restores the real message boxes when
// destroyed. The window starts from the defaults, with no settings remembered.
class RunningProxy {
public:
    explicit RunningProxy(const QString &logPath = QString(), const QString &maxThreads = QString(),
                          const std::function<void(Form1 &)> &prepare = {});
    ~RunningProxy();
    RunningProxy(const RunningProxy &) = delete;
    RunningProxy &operator=(const RunningProxy &) = delete;

    bool isRunning() const;
    // Clicks Stop if the proxy runs; true once the window shows it stopped.
    bool stop();
    quint16 port() const { return m_port; }
    Form1 &form() { return *m_form; }
    QString counter() const;
    // See testsupport::serveAnotherBrowser.
    bool serveAnotherBrowser();
    const QList<MessageRequest> &messages() const { return m_messages; }

private:
    std::unique_ptr<Form1> m_form;
    quint16 m_port = 0;
    QList<MessageRequest> m_messages;
};

} // namespace testsupport
