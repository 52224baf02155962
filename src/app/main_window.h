#pragma once

#include <QWidget>

#include "log/request_log.h"
#include "net/connection_table.h"
#include "net/proxy_host.h"

class ListBoxEntries;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

// The one window of the program. Its controls are the configuration: settings are read from
// them whenever they are needed, the caption of Command1 tells whether the proxy runs, and the
// caption of lblConnections is the connection counter.
class Form1 : public QWidget, public ProxyHost {
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
    void Option1_Click();
    void Option2_Click();

    // Start, stop and exit.
    void Command1_Click();
    void Command3_Click();
    void Form_Unload(int &Cancel);
    void StopProxy();

    bool OpenFile(const QString &strFilename);
    void ResetProx(int Index, bool isConnectionAccept);

    // ProxyHost
    QString maxThreadsText() const override;
    void showConnectionCount(const QString &caption) override;
    bool RewriteRequest(ProxyConnection &record) override;

    ConnectionTable &connectionTable() { return *m_table; }

signals:
    // The user confirmed leaving the program; the application should quit.
    void programEnded();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void buildControls();
    void Form_Load();
    void StartProxy();
    void RequestStop();
    bool ConfirmExit();
    int activeConnections() const;
    void disableSettings();
    void enableSettings();

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
    QCheckBox *chkAdd = nullptr;
    QPlainTextEdit *txtAdd = nullptr;

    // The rule boxes' entries, read again only when a box's text changes.
    ListBoxEntries *m_allowEntries = nullptr;
    ListBoxEntries *m_changeEntries = nullptr;
    ListBoxEntries *m_removeEntries = nullptr;
    ListBoxEntries *m_addEntries = nullptr;

    RequestLog m_log;
    ConnectionTable *m_table = nullptr;
    bool m_hasEnded = false;
};
