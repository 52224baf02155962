#pragma once

#include <QWidget>
#include <memory>

#include "log/request_log.h"

class ConnectionCounter;
class ProxyEngine;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class RequestRecorder;
class RequestsWindow;
struct RememberedSettings;

// The one window of the program. Its controls are the configuration: every change of a setting
// hands the engine a new snapshot of them, the caption of Command1 tells whether the proxy runs,
// and the caption of lblConnections is the connection counter. The network engine runs on a
// thread of its own (ProxyEngine); the window only reads and writes its controls.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(QWidget *parent = nullptr);
    ~Form1() override;

    // "Log.txt" in the given folder, with one separator between them.
    static QString logPathInFolder(const QString &folder);

    // Enabling rules: each sets one box's enabled state from its switch.
    void chkLog_Click();
    void chkAdd_Click();
    void chkChange_Click();
    void chkRemove_Click();
    void chkRemoveResponse_Click();
    void Option1_Click();
    void Option2_Click();

    // Saves the inspection CA's certificate (never its key) where the user chooses, making the
    // CA first if there is none yet, and tells how to trust it.
    void cmdExportCA_Click();

    // Opens the Requests window, or brings it to the front; from the first opening on, the
    // engine records a row for every request.
    void cmdRequests_Click();
    // Asks, then puts back the default of every setting control, "Remember settings" unticked
    // among them (remembered_settings.cpp).
    void cmdDefaults_Click();

    // Start, stop and exit.
    void Command1_Click();
    void Command3_Click();
    void Form_Unload(int &Cancel);
    void StopProxy();

    bool OpenFile(const QString &strFilename);

    // Sets the counter's caption.
    virtual void showConnectionCount(const QString &caption);

signals:
    // The user confirmed leaving the program; the application should quit.
    void programEnded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    // The settings the last run saved, or the defaults (remembered_settings.cpp).
    void Form_Load();
    RememberedSettings shownSettings() const;
    void showSettings(const RememberedSettings &settings);
    void keepOrForgetSettings();
    void StartProxy();
    void RequestStop();
    bool ConfirmExit();
    int activeConnections() const;
    void disableSettings();
    void enableSettings();
    void updateSettings();
    // Warns that the CA could not be had from `file`, for `reason`; what happens instead is
    // the caller's to say.
    void warnCaUnusable(const QString &file, const QString &reason);

    QLabel *Label1 = nullptr;
    QLineEdit *txtPort = nullptr;
    QLabel *Label3 = nullptr;
    QLineEdit *txtMaxThr = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *lblConnections = nullptr;
    QCheckBox *chkLog = nullptr;
    QLineEdit *txtLogPath = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command3 = nullptr;
    QRadioButton *Option1 = nullptr;
    QRadioButton *Option2 = nullptr;
    QPlainTextEdit *txtAllow = nullptr;
    QCheckBox *chkChange = nullptr;
    QPlainTextEdit *txtChange = nullptr;
    QCheckBox *chkRemove = nullptr;
    QPlainTextEdit *txtRemove = nullptr;
    QCheckBox *chkRemoveResponse = nullptr;
    QPlainTextEdit *txtRemoveResponse = nullptr;
    QCheckBox *chkAdd = nullptr;
    QPlainTextEdit *txtAdd = nullptr;
    QCheckBox *chkInspect = nullptr;
    QPlainTextEdit *txtNoInspect = nullptr;
    QPushButton *cmdExportCA = nullptr;
    QPushButton *cmdRequests = nullptr;
    // Made when cmdRequests is first clicked.
    RequestsWindow *frmRequests = nullptr;
    QCheckBox *chkRemember = nullptr;
    QPushButton *cmdDefaults = nullptr;

    // Written by the window before and after a run, by the engine during one.
    RequestLog m_log;
    std::unique_ptr<ProxyEngine> m_engine;
    // What the engine records for the Requests window; the same for every run, emptied at Start.
    std::shared_ptr<RequestRecorder> m_records;
    // The counter of the current run; null while stopped.
    ConnectionCounter *m_counter = nullptr;
    bool m_hasEnded = false;
};
