#include "app/main_window.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>

#include "app/engine_settings.h"
#include "app/list_box.h"
#include "app/message_box.h"
#include "app/requests_window.h"
#include "log/request_records.h"
#include "net/engine/proxy_engine.h"
#include "net/rules/proxy_settings.h"
#include "net/tls/certificate_authority.h"
#include "net/tls/trust_bundle.h"

namespace {

const char kRemoveTip[] =
    "Only type header name. Example: cookie    -->  it removes header named cookie.";
const char kRemoveResponseTip[] =
    "Header names, one per line, dropped from what the sites send back (Set-Cookie stops them "
    "setting cookies). Content-Length and Transfer-Encoding always pass.";
const char kAllowTip[] = "Example: Accept: *     -->   it means that if Accept was in header "
                         "allow it to be sent to destination. * means that value can be "
                         "anything.";
const char kNoInspectTip[] =
    "Hosts whose HTTPS is never inspected, one per line (* ? # [a-z] as in the allow list): for "
    "apps that pin their certificates and refuse any other.";
const char kTrustNotice[] =
    "The CA certificate was saved to %1. To have HTTPS inspected, trust it:\r\n"
    "Chromium: Settings > Privacy and security > Security > Manage certificates > "
    "Authorities, then import it.\r\n"
    "Firefox: Settings > Privacy & Security > Certificates > View Certificates > "
    "Authorities > Import.\r\n"
    "System-wide: copy it as /usr/local/share/ca-certificates/vesktor-ca.crt, then run "
    "sudo update-ca-certificates.";
const char kBundleNotice[] =
    "The CA bundle was saved to %1: the certificates this system trusts, then Vesktor's CA. Give "
    "it to tools that take one CA file, for example curl --cacert %1, npm config set cafile %1, "
    "or apt's Acquire::https::CaInfo. The README has a line for each common tool.";
const char kCertificateFilter[] = "PEM certificate (*.pem *.crt)";
const char kBundleFilter[] = "CA bundle for command-line tools (*.pem)";
const char kChangeTip[] = "Example: referer: www.example.com    -->   it means: if referer was "
                          "is header replace its value with www.example.com";

template <typename Control> Control *named(Control *control, const char *objectName)
{
    control->setObjectName(QString::fromLatin1(objectName));
    return control;
}

} // namespace

Form1::Form1(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QString::fromLatin1(kApplicationTitle));
    m_engine = std::make_unique<ProxyEngine>();
    m_records = std::make_shared<RequestRecorder>();
    buildControls();
    Form_Load();
    updateSettings();
}

Form1::~Form1()
{
    // The engine may be writing to the log; it goes first.
    m_engine.reset();
}

void Form1::buildControls()
{
    Label1 = named(new QLabel(QStringLiteral("Port:"), this), "Label1");
    txtPort = named(new QLineEdit(this), "txtPort");
    Label3 = named(new QLabel(QStringLiteral("Max Threads:"), this), "Label3");
    txtMaxThr = named(new QLineEdit(this), "txtMaxThr");
    Label2 = named(new QLabel(QStringLiteral("Current Threads:"), this), "Label2");
    lblConnections = named(new QLabel(QStringLiteral("0"), this), "lblConnections");
    chkLog = named(new QCheckBox(QStringLiteral("Log:"), this), "chkLog");
    txtLogPath = named(new QLineEdit(this), "txtLogPath");
    Command1 = named(new QPushButton(QStringLiteral("Start"), this), "Command1");
    Command3 = named(new QPushButton(QStringLiteral("Exit"), this), "Command3");
    Option1 = named(new QRadioButton(QStringLiteral("Allow all headers."), this), "Option1");
    Option2 = named(new QRadioButton(QStringLiteral("Only allow these headers."), this), "Option2");
    txtAllow = newListBox(QStringLiteral("txtAllow"), this);
    chkChange = named(new QCheckBox(QStringLiteral("Replace these headers:"), this), "chkChange");
    txtChange = newListBox(QStringLiteral("txtChange"), this);
    chkRemove = named(new QCheckBox(QStringLiteral("Remove these headers:"), this), "chkRemove");
    txtRemove = newListBox(QStringLiteral("txtRemove"), this);
    chkAdd = named(new QCheckBox(QStringLiteral("Add these headers:"), this), "chkAdd");
    txtAdd = newListBox(QStringLiteral("txtAdd"), this);
    chkInspect =
        named(new QCheckBox(QStringLiteral("Apply the rules to HTTPS"), this), "chkInspect");
    txtNoInspect = newListBox(QStringLiteral("txtNoInspect"), this);
    chkRemoveResponse = named(new QCheckBox(QStringLiteral("Remove these response headers:"), this),
                              "chkRemoveResponse");
    txtRemoveResponse = newListBox(QStringLiteral("txtRemoveResponse"), this);
    cmdExportCA =
        named(new QPushButton(QStringLiteral("Export CA Certificate..."), this), "cmdExportCA");
    cmdRequests = named(new QPushButton(QStringLiteral("Requests..."), this), "cmdRequests");
    chkRemember = named(new QCheckBox(QStringLiteral("Remember settings"), this), "chkRemember");
    cmdDefaults = named(new QPushButton(QStringLiteral("Defaults"), this), "cmdDefaults");

    txtMaxThr->setMaximumWidth(80);
    txtPort->setMaximumWidth(80);
    txtLogPath->setMinimumWidth(280);
    txtRemove->setToolTip(QString::fromLatin1(kRemoveTip));
    txtAllow->setToolTip(QString::fromLatin1(kAllowTip));
    txtChange->setToolTip(QString::fromLatin1(kChangeTip));
    txtNoInspect->setToolTip(QString::fromLatin1(kNoInspectTip));
    txtRemoveResponse->setToolTip(QString::fromLatin1(kRemoveResponseTip));

    auto *settingsRow = new QHBoxLayout;
    for (QWidget *control :
         {static_cast<QWidget *>(Label1), static_cast<QWidget *>(txtPort),
          static_cast<QWidget *>(Label3), static_cast<QWidget *>(txtMaxThr),
          static_cast<QWidget *>(Label2), static_cast<QWidget *>(lblConnections)})
        settingsRow->addWidget(control);
    settingsRow->addStretch();
    settingsRow->addWidget(cmdRequests);
    settingsRow->addWidget(chkRemember);
    settingsRow->addWidget(cmdDefaults);

    auto *logRow = new QHBoxLayout;
    logRow->addWidget(chkLog);
    logRow->addWidget(txtLogPath, 1);
    logRow->addWidget(Command1);
    logRow->addWidget(Command3);

    auto *rules = new QGridLayout;
    rules->addWidget(Option1, 0, 0);
    rules->addWidget(chkChange, 0, 1);
    rules->addWidget(Option2, 1, 0);
    rules->addWidget(txtAllow, 2, 0);
    rules->addWidget(txtChange, 1, 1, 2, 1);
    rules->addWidget(chkRemove, 3, 0);
    rules->addWidget(chkAdd, 3, 1);
    rules->addWidget(txtRemove, 4, 0);
    rules->addWidget(txtAdd, 4, 1);
    // The exclusions sit under the header rules they exempt a host from; the export beside
    // them, since trusting the CA is the other half of turning inspection on.
    rules->addWidget(chkInspect, 5, 0);
    rules->addWidget(txtNoInspect, 6, 0);
    rules->addWidget(cmdExportCA, 7, 0, Qt::AlignLeft | Qt::AlignTop);
    // What comes back from the sites, beside what HTTPS inspection lets the rules reach.
    rules->addWidget(chkRemoveResponse, 5, 1);
    rules->addWidget(txtRemoveResponse, 6, 1);
    rules->setRowStretch(2, 1);
    rules->setRowStretch(4, 1);
    rules->setRowStretch(6, 1);

    auto *window = new QVBoxLayout(this);
    window->addLayout(settingsRow);
    window->addLayout(logRow);
    window->addLayout(rules, 1);
    resize(720, 680);

    // A check box set from code runs its rule just as a click does.
    connect(chkLog, &QCheckBox::toggled, this, &Form1::chkLog_Click);
    connect(chkAdd, &QCheckBox::toggled, this, &Form1::chkAdd_Click);
    connect(chkChange, &QCheckBox::toggled, this, &Form1::chkChange_Click);
    connect(chkRemove, &QCheckBox::toggled, this, &Form1::chkRemove_Click);
    connect(chkRemoveResponse, &QCheckBox::toggled, this, &Form1::chkRemoveResponse_Click);
    connect(Option1, &QRadioButton::toggled, this, [this](bool isSelected) {
        if (isSelected)
            Option1_Click();
    });
    connect(Option2, &QRadioButton::toggled, this, [this](bool isSelected) {
        if (isSelected)
            Option2_Click();
    });
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(cmdExportCA, &QPushButton::clicked, this, &Form1::cmdExportCA_Click);
    connect(cmdRequests, &QPushButton::clicked, this, &Form1::cmdRequests_Click);
    connect(cmdDefaults, &QPushButton::clicked, this, &Form1::cmdDefaults_Click);

    // Any change of a setting the engine reads gives it a new snapshot, running or not: a rule
    // edited between two requests applies from the next one.
    for (QPlainTextEdit *box :
         {txtAllow, txtChange, txtRemove, txtAdd, txtNoInspect, txtRemoveResponse})
        connect(box, &QPlainTextEdit::textChanged, this, &Form1::updateSettings);
    connect(txtMaxThr, &QLineEdit::textChanged, this, &Form1::updateSettings);
    for (QAbstractButton *button :
         {static_cast<QAbstractButton *>(chkLog), static_cast<QAbstractButton *>(chkChange),
          static_cast<QAbstractButton *>(chkRemove), static_cast<QAbstractButton *>(chkAdd),
          static_cast<QAbstractButton *>(Option1), static_cast<QAbstractButton *>(chkInspect),
          static_cast<QAbstractButton *>(chkRemoveResponse)})
        connect(button, &QAbstractButton::toggled, this, &Form1::updateSettings);
}

QString Form1::logPathInFolder(const QString &folder)
{
    const QString separator = QStringLiteral("/");
    return folder.endsWith(separator) ? folder + QStringLiteral("Log.txt")
                                      : folder + separator + QStringLiteral("Log.txt");
}

void Form1::chkLog_Click()
{
    txtLogPath->setEnabled(chkLog->isChecked());
}

void Form1::chkAdd_Click()
{
    txtAdd->setEnabled(chkAdd->isChecked());
}

void Form1::chkChange_Click()
{
    txtChange->setEnabled(chkChange->isChecked());
}

void Form1::chkRemove_Click()
{
    txtRemove->setEnabled(chkRemove->isChecked());
}

void Form1::chkRemoveResponse_Click()
{
    txtRemoveResponse->setEnabled(chkRemoveResponse->isChecked());
}

void Form1::Option1_Click()
{
    txtAllow->setEnabled(Option2->isChecked());
}

void Form1::Option2_Click()
{
    txtAllow->setEnabled(Option2->isChecked());
}

bool Form1::OpenFile(const QString &strFilename)
{
    return m_log.OpenFile(strFilename);
}

void Form1::showConnectionCount(const QString &caption)
{
    lblConnections->setText(caption);
}

void Form1::updateSettings()
{
    auto settings = std::make_shared<ProxySettings>(engineSettingsOf(shownSettings()));
    if (frmRequests)
        frmRequests->setRules(settings->rules);
    m_engine->setSettings(std::move(settings));
}

void Form1::cmdRequests_Click()
{
    if (!frmRequests) {
        frmRequests = new RequestsWindow(m_records, this);
        m_records->setRecordingRows(true);
        updateSettings();
    }
    frmRequests->show();
    frmRequests->raise();
    frmRequests->activateWindow();
}

void Form1::warnCaUnusable(const QString &file, const QString &reason)
{
    MsgBox(this,
           QStringLiteral("The CA file %1 could not be used: %2. HTTPS is tunnelled without "
                          "inspection.")
               .arg(file, reason),
           MessageButtons::Ok, MessageIcon::Critical);
}

void Form1::cmdExportCA_Click()
{
    const CaLoadResult loaded = loadOrCreateCertificateAuthority(defaultCaFolder());
    if (!loaded.ca) {
        warnCaUnusable(loaded.failedFile, loaded.reason);
        return;
    }
    const SaveChoice choice = SaveFileName(
        this, QStringLiteral("Export CA Certificate"), QString::fromLatin1(kCaCertificateFileName),
        {QString::fromLatin1(kCertificateFilter), QString::fromLatin1(kBundleFilter)});
    const QString &fileName = choice.fileName;
    if (fileName.isEmpty())
        return;
    const bool isBundle = choice.filter == 1;
    QByteArray content = loaded.ca->certificatePem();
    if (isBundle) {
        const TrustBundleResult bundle = loadTrustBundle(content);
        if (bundle.bundle.isEmpty()) {
            MsgBox(this,
                   QStringLiteral("The certificates this system trusts could not be read from "
                                  "%1: %2. No bundle was saved.")
                       .arg(bundle.failedFile, bundle.reason),
                   MessageButtons::Ok, MessageIcon::Critical);
            return;
        }
        content = bundle.bundle;
    }
    // Written whole or not at all, so that a failed export never leaves half a certificate
    // where a browser might import it.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() ||
        !file.commit()) {
        MsgBox(this,
               QString::fromLatin1(isBundle ? "The CA bundle could not be written to %1."
                                            : "The CA certificate could not be written to %1.")
                   .arg(fileName),
               MessageButtons::Ok, MessageIcon::Critical);
        return;
    }
    if (isBundle) {
        MsgBox(this, QString::fromLatin1(kBundleNotice).arg(fileName), MessageButtons::Ok,
               MessageIcon::Information);
        return;
    }
    MsgBox(this, QString::fromLatin1(kTrustNotice).arg(fileName), MessageButtons::Ok,
           MessageIcon::Information);
}
