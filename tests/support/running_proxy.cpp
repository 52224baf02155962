#include "support/running_proxy.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "support/fresh_settings.h"
#include "support/origin_server.h"
#include "support/test_support.h"

namespace testsupport {

namespace {

template <typename T> T *control(Form1 &form, const char *name)
{
    return form.findChild<T *>(QString::fromLatin1(name));
}

// Every proxy starts from the defaults, whatever an earlier test saved at its Start.
std::unique_ptr<Form1> windowFromDefaults()
{
    forgetRememberedSettings();
    return std::make_unique<Form1>();
}

} // namespace

RunningProxy::RunningProxy(const QString &logPath, const QString &maxThreads,
                           const std::function<void(Form1 &)> &prepare)
    : m_form(windowFromDefaults())
{
    setMessageBoxHandler([this](QWidget *, const MessageRequest &request) {
        m_messages << request;
        return request.buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    });
    // Port 0: the system picks a free port, and the window shows it once listening.
    control<QLineEdit>(*m_form, "txtPort")->setText(QStringLiteral("0"));
    if (!maxThreads.isNull())
        control<QLineEdit>(*m_form, "txtMaxThr")->setText(maxThreads);
    if (!logPath.isEmpty()) {
        control<QCheckBox>(*m_form, "chkLog")->setChecked(true);
        control<QLineEdit>(*m_form, "txtLogPath")->setText(logPath);
    }
    if (prepare)
        prepare(*m_form);
    QTest::mouseClick(control<QPushButton>(*m_form, "Command1"), Qt::LeftButton);
    m_port = quint16(control<QLineEdit>(*m_form, "txtPort")->text().toUInt());
}

RunningProxy::~RunningProxy()
{
    stop();
    m_form.reset();
    setMessageBoxHandler({});
}

bool RunningProxy::stop()
{
    if (isRunning())
        m_form->Command1_Click();
    return control<QPushButton>(*m_form, "Command1")->text() == QStringLiteral("Start");
}

bool RunningProxy::isRunning() const
{
    return control<QPushButton>(*m_form, "Command1")->text() == QStringLiteral("Stop");
}

bool RunningProxy::serveAnotherBrowser()
{
    return testsupport::serveAnotherBrowser(m_port);
}

QString RunningProxy::counter() const
{
    return control<QLabel>(*m_form, "lblConnections")->text();
}

} // namespace testsupport
