// Starting, stopping and leaving the program.
#include "app/main_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/connection_counter.h"
#include "app/message_box.h"
#include "app/requests_window.h"
#include "log/request_records.h"
#include "net/engine/proxy_engine.h"
#include "net/tls/certificate_authority.h"

namespace {

const QString kStart = QStringLiteral("Start");
const QString kStop = QStringLiteral("Stop");

QString windowCaption(const char *state)
{
    return QString::fromLatin1(kApplicationTitle) + QLatin1String(state);
}

} // namespace

// The caption of Command1 is the running flag.
void Form1::Command1_Click()
{
    if (Command1->text() == kStart)
        StartProxy();
    else
        RequestStop();
}

void Form1::disableSettings()
{
    for (QWidget *control :
         {static_cast<QWidget *>(txtPort), static_cast<QWidget *>(Label1),
          static_cast<QWidget *>(Label3), static_cast<QWidget *>(chkLog),
          static_cast<QWidget *>(txtLogPath), static_cast<QWidget *>(txtMaxThr),
          static_cast<QWidget *>(txtAllow), static_cast<QWidget *>(txtChange),
          static_cast<QWidget *>(txtRemove), static_cast<QWidget *>(txtAdd),
          static_cast<QWidget *>(Option1), static_cast<QWidget *>(Option2),
          static_cast<QWidget *>(chkChange), static_cast<QWidget *>(chkRemove),
          static_cast<QWidget *>(chkAdd), static_cast<QWidget *>(chkInspect),
          static_cast<QWidget *>(txtNoInspect), static_cast<QWidget *>(chkRemoveResponse),
          static_cast<QWidget *>(txtRemoveResponse)})
        control->setEnabled(false);
    chkRemember->setEnabled(false);
    cmdDefaults->setEnabled(false);
}

// Each box comes back enabled exactly when its switch calls for it.
void Form1::enableSettings()
{
    txtPort->setEnabled(true);
    Label1->setEnabled(true);
    Label3->setEnabled(true);
    chkLog->setEnabled(true);
    chkLog_Click();
    txtMaxThr->setEnabled(true);
    Option1_Click();
    chkChange_Click();
    chkRemove_Click();
    chkAdd_Click();
    chkRemoveResponse_Click();
    for (QWidget *control :
         {static_cast<QWidget *>(Option1), static_cast<QWidget *>(Option2),
          static_cast<QWidget *>(chkChange), static_cast<QWidget *>(chkRemove),
          static_cast<QWidget *>(chkAdd), static_cast<QWidget *>(chkInspect),
          static_cast<QWidget *>(txtNoInspect), static_cast<QWidget *>(chkRemoveResponse)})
        control->setEnabled(true);
    chkRemember->setEnabled(true);
    cmdDefaults->setEnabled(true);
}

void Form1::StartProxy()
{
    // Saved before the port is tried: a start that fails (a port in use) still keeps what the
    // user set for the next try, and a port 0 is saved as typed.
    keepOrForgetSettings();
    Command1->setEnabled(false);
    disableSettings();

    bool isNumber = false;
    const qlonglong port = txtPort->text().trimmed().toLongLong(&isNumber);
    QString failure;
    ProxyEngine::Listening listening;
    if (!isNumber) {
        failure = QStringLiteral("the port is not a number");
    } else if (port < 0 || port > 65535) {
        failure = QStringLiteral("the port is outside 0 to 65535");
    } else {
        listening = m_engine->Listen(quint16(port));
        failure = listening.failure;
    }
    if (!listening.isListening) {
        // Never half-started: the window goes back to the state it had before the start.
        MsgBox(this, QStringLiteral("Cannot listen on port %1: %2.").arg(txtPort->text(), failure),
               MessageButtons::Ok, MessageIcon::Critical);
        enableSettings();
        Command1->setEnabled(true);
        return;
    }
    // Port 0 lets the system choose; the box then shows the port a browser has to use. Any
    // other port stays as typed: it is the one listened on.
    if (port == 0)
        txtPort->setText(QString::number(listening.port));

    Command1->setText(kStop);
    // The start entry comes before anything the engine writes, so the log is opened first.
    const bool isLogOpen = chkLog->isChecked() && OpenFile(txtLogPath->text());
    if (isLogOpen)
        m_log.writeStartEntry();
    // Loaded anew at every start: the files may have been replaced or repaired since the last
    // run, and an unusable one is reported once the browsers are being served.
    CaLoadResult inspection;
    if (chkInspect->isChecked())
        inspection = loadOrCreateCertificateAuthority(defaultCaFolder());
    // The Requests window's rows and hit counts are of this run.
    m_records->clear();
    if (frmRequests)
        frmRequests->startRun();
    m_counter = new ConnectionCounter(this);
    connect(m_counter, &ConnectionCounter::changed, this,
            [this](int connections) { showConnectionCount(QString::number(connections)); });
    m_engine->Serve(
        isLogOpen ? &m_log : nullptr,
        [counter = m_counter](int connections) { counter->report(connections); }, inspection.ca,
        m_records);
    // Browsers are served while the box is open.
    if (chkLog->isChecked() && !isLogOpen) {
        MsgBox(this, QStringLiteral("Invalid log file path.\r\nServer doesn't log."),
               MessageButtons::Ok, MessageIcon::Critical);
        chkLog->setChecked(false);
    }
    if (chkInspect->isChecked() && !inspection.ca) {
        warnCaUnusable(inspection.failedFile, inspection.reason);
        chkInspect->setChecked(false);
    }
    Command1->setEnabled(true);
    setWindowTitle(windowCaption(" [Working]"));
}

int Form1::activeConnections() const
{
    return lblConnections->text().trimmed().toInt();
}

void Form1::RequestStop()
{
    MessageAnswer answer = MessageAnswer::No;
    if (activeConnections() > 0) {
        answer = MsgBox(this,
                        QStringLiteral("There are active connections. Are you you sure you "
                                       "want to stop the proxy?"),
                        MessageButtons::YesNo, MessageIcon::Question);
    }
    // Connections may have ended while the question was open: read the counter again.
    if (answer == MessageAnswer::Yes || activeConnections() == 0)
        StopProxy();
}

void Form1::StopProxy()
{
    Command1->setEnabled(false);
    setWindowTitle(windowCaption(" [Stopping...]"));
    setCursor(Qt::WaitCursor);

    // The listener and every connection are closed when this returns, and the engine has
    // written its last log entry; counts still on their way go with the run's counter.
    m_engine->Stop();
    delete m_counter;
    m_counter = nullptr;
    showConnectionCount(QStringLiteral("0"));

    enableSettings();
    Command1->setText(kStart);
    Command1->setEnabled(true);
    if (chkLog->isChecked()) {
        m_log.writeStopEntry();
        m_log.Close();
    }
    setWindowTitle(windowCaption(" [Stopped]"));
    unsetCursor();
}

// Asks whether to leave; on Yes a running proxy is stopped first.
bool Form1::ConfirmExit()
{
    const QString question =
        activeConnections() > 0
            ? QStringLiteral("There are active connections. Are you sure you want to exit?")
            : QStringLiteral("Are you sure you want to exit?");
    if (MsgBox(this, question, MessageButtons::YesNo, MessageIcon::Question) != MessageAnswer::Yes)
        return false;
    if (Command1->text() == kStop)
        StopProxy();
    // Leaving saves the settings as they stand once the proxy has stopped (after a start on
    // port 0, the port picked), or forgets them when remembering was switched off.
    keepOrForgetSettings();
    return true;
}

void Form1::Command3_Click()
{
    if (!ConfirmExit())
        return;
    // Ends the program without running the close handling again.
    m_hasEnded = true;
    hide();
    emit programEnded();
}

void Form1::Form_Unload(int &Cancel)
{
    if (!ConfirmExit()) {
        Cancel = 1;
        return;
    }
    m_hasEnded = true;
    emit programEnded();
}

void Form1::closeEvent(QCloseEvent *event)
{
    if (m_hasEnded) {
        event->accept();
        return;
    }
    int Cancel = 0;
    Form_Unload(Cancel);
    if (Cancel != 0)
        event->ignore();
    else
        event->accept();
}
