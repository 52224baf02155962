// The window's HTTPS inspection controls: their defaults, the lock while running, the export of
// the CA certificate through the file and message seams, and a start with an unusable CA file.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/stat.h>

#include "app/list_box.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "net/tls/certificate_authority.h"
#include "support/fresh_settings.h"
#include "support/test_support.h"

namespace {

const char kCaWarning[] = "The CA file %1 could not be used: %2. HTTPS is tunnelled without "
                          "inspection.";

bool isListening(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QStringLiteral("127.0.0.1"), port);
    return probe.waitForConnected(5000);
}

} // namespace

class TestInspectionWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void freshControls_data();
    void freshControls();
    void windowFitsASmallScreen();
    void runningLocksTheSwitchAndTheHosts_data();
    void runningLocksTheSwitchAndTheHosts();
    void exportSavesTheCertificateOnly();
    void exportCancelledWritesNothing();
    void exportFails_data();
    void exportFails();
    void startWithInspectionKeepsTheSwitch();
    void unusableCaFileAtStart_data();
    void unusableCaFileAtStart();

private:
    QString caFile(const char *name) const;
    void start(Form1 &form);

    QTemporaryDir m_dataHome;
    QTemporaryDir m_configHome;
    QTemporaryDir m_exports;
    QList<MessageRequest> m_seen;
    // What the save dialog answers, and the names it was offered.
    QString m_saveAnswer;
    int m_saveFilter = 0;
    QStringList m_suggested;
    QStringList m_filters;
};

void TestInspectionWindow::initTestCase()
{
    QVERIFY(m_dataHome.isValid() && m_configHome.isValid() && m_exports.isValid());
    // The CA is made in the data folder: never the user's own.
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome.path()));
    setMessageBoxHandler([this](QWidget *, const MessageRequest &request) {
        m_seen.append(request);
        return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::Yes;
    });
    setSaveFileHandler([this](QWidget *, const QString &, const QString &suggestedName,
                              const QStringList &filters) {
        m_suggested << suggestedName;
        m_filters = filters;
        return SaveChoice{m_saveAnswer, m_saveFilter};
    });
}

// Every test starts without a CA, and from the default settings.
void TestInspectionWindow::init()
{
    testsupport::forgetRememberedSettings();
    m_seen.clear();
    m_suggested.clear();
    m_saveAnswer.clear();
    m_saveFilter = 0;
    QDir(QDir(m_dataHome.path()).filePath(QStringLiteral("vesktor"))).removeRecursively();
}

QString TestInspectionWindow::caFile(const char *name) const
{
    return QDir(m_dataHome.path()).filePath(QStringLiteral("vesktor/") + QLatin1String(name));
}

void TestInspectionWindow::start(Form1 &form)
{
    form.findChild<QLineEdit *>("txtPort")->setText(QStringLiteral("0"));
    form.findChild<QPushButton *>("Command1")->click();
}

void TestInspectionWindow::freshControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("checked"); // -1: not a switch

    QTest::newRow("chkInspect") << "chkInspect"
                                << "QCheckBox"
                                << "Apply the rules to HTTPS" << 0;
    QTest::newRow("txtNoInspect") << "txtNoInspect"
                                  << "QPlainTextEdit" << QString() << -1;
    QTest::newRow("cmdExportCA") << "cmdExportCA"
                                 << "QPushButton"
                                 << "Export CA Certificate..." << -1;
}

void TestInspectionWindow::freshControls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(int, checked);

    Form1 form;
    QCOMPARE(form.findChildren<QWidget *>(name).size(), 1);
    QWidget *control = form.findChild<QWidget *>(name);
    QVERIFY2(control->inherits(kind.toLatin1().constData()), control->metaObject()->className());
    QVERIFY(control->isEnabled());
    if (auto *box = qobject_cast<QPlainTextEdit *>(control)) {
        QCOMPARE(listBoxText(box), QString());
        QVERIFY(box->toolTip().contains(QLatin1String("pin their certificates")));
    } else {
        auto *button = qobject_cast<QAbstractButton *>(control);
        QCOMPARE(button->text(), text);
        QCOMPARE(button->isChecked(), checked == 1);
    }
}

// Three more controls, and the window still fits a 1024 x 768 screen with room for a panel.
void TestInspectionWindow::windowFitsASmallScreen()
{
    Form1 form;
    const QSize smallest = form.minimumSizeHint().expandedTo(form.minimumSize());
    QVERIFY2(smallest.width() <= 1024 && smallest.height() <= 700,
             qPrintable(QStringLiteral("%1 x %2").arg(smallest.width()).arg(smallest.height())));
    QVERIFY(form.size().height() <= 700);
}

void TestInspectionWindow::runningLocksTheSwitchAndTheHosts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("enabledWhileRunning");
    QTest::newRow("chkInspect") << "chkInspect" << false;
    QTest::newRow("txtNoInspect") << "txtNoInspect" << false;
    QTest::newRow("cmdExportCA") << "cmdExportCA" << true;
}

void TestInspectionWindow::runningLocksTheSwitchAndTheHosts()
{
    QFETCH(QString, name);
    QFETCH(bool, enabledWhileRunning);

    Form1 form;
    auto *command1 = form.findChild<QPushButton *>("Command1");
    QWidget *control = form.findChild<QWidget *>(name);
    start(form);
    QCOMPARE(command1->text(), QStringLiteral("Stop"));
    QCOMPARE(control->isEnabled(), enabledWhileRunning);
    command1->click();
    QCOMPARE(command1->text(), QStringLiteral("Start"));
    QVERIFY(control->isEnabled());
}

// The file gets the certificate and nothing of the key, whose own file only its owner may
// read; a second export gives the same certificate, and each is followed by the notice.
void TestInspectionWindow::exportSavesTheCertificateOnly()
{
    Form1 form;
    auto *cmdExportCA = form.findChild<QPushButton *>("cmdExportCA");
    const QStringList exported = {m_exports.filePath(QStringLiteral("first.pem")),
                                  m_exports.filePath(QStringLiteral("second.crt"))};
    for (const QString &file : exported) {
        m_saveAnswer = file;
        cmdExportCA->click();
    }
    QCOMPARE(m_suggested,
             QStringList({QStringLiteral("vesktor-ca.pem"), QStringLiteral("vesktor-ca.pem")}));
    QCOMPARE(m_filters, QStringList({QStringLiteral("PEM certificate (*.pem *.crt)"),
                                     QStringLiteral("CA bundle for command-line tools (*.pem)")}));

    const QByteArray first = testsupport::readFileBytes(exported[0]);
    QVERIFY(first.startsWith("-----BEGIN CERTIFICATE-----"));
    QVERIFY(!first.contains("PRIVATE KEY"));
    QCOMPARE(testsupport::readFileBytes(exported[1]), first);
    QCOMPARE(testsupport::readFileBytes(caFile(kCaCertificateFileName)), first);

    struct stat key {};
    QCOMPARE(::stat(QFile::encodeName(caFile(kCaKeyFileName)).constData(), &key), 0);
    QCOMPARE(key.st_mode & 0777, mode_t(0600));

    QCOMPARE(m_seen.size(), 2);
    for (int i = 0; i < m_seen.size(); ++i) {
        const MessageRequest &notice = m_seen[i];
        QCOMPARE(notice.icon, MessageIcon::Information);
        QCOMPARE(notice.buttons, MessageButtons::Ok);
        for (const QString &part :
             {exported[i], QStringLiteral("Manage certificates > Authorities"),
              QStringLiteral("View Certificates > Authorities > Import"),
              QStringLiteral("/usr/local/share/ca-certificates/vesktor-ca.crt"),
              QStringLiteral("sudo update-ca-certificates")})
            QVERIFY2(notice.text.contains(part), qPrintable(part));
    }
}

void TestInspectionWindow::exportCancelledWritesNothing()
{
    const QStringList before = QDir(m_exports.path()).entryList(QDir::Files);
    Form1 form;
    form.findChild<QPushButton *>("cmdExportCA")->click();
    QCOMPARE(m_suggested.size(), 1);
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(QDir(m_exports.path()).entryList(QDir::Files), before);
}

void TestInspectionWindow::exportFails_data()
{
    QTest::addColumn<QString>("file"); // in the exports folder
    QTest::addColumn<int>("filter");
    // What SSL_CERT_FILE holds; null: no such file, "folder": a folder.
    QTest::addColumn<QByteArray>("systemFile");
    QTest::addColumn<QString>("message"); // %1: the file saved to, %2: SSL_CERT_FILE

    QTest::newRow("certificate, no such folder")
        << "no such folder/ca.pem" << 0 << QByteArray("")
        << "The CA certificate could not be written to %1.";
    QTest::newRow("bundle, no system file")
        << "bundle.pem" << 1 << QByteArray()
        << "The certificates this system trusts could not be read from %2: there is no such "
           "file. No bundle was saved.";
    QTest::newRow("bundle, a folder") << "bundle.pem" << 1 << QByteArray("folder")
                                      << "The certificates this system trusts could not be read "
                                         "from %2: it is not a regular file. No bundle was saved.";
    QTest::newRow("bundle, no certificate in it")
        << "bundle.pem" << 1 << QByteArray("-----BEGIN CERTIFICATE-----\nnot one\n")
        << "The certificates this system trusts could not be read from %2: it holds no "
           "certificate. No bundle was saved.";
}

// A failed export says why and writes nothing.
void TestInspectionWindow::exportFails()
{
    QFETCH(QString, file);
    QFETCH(int, filter);
    QFETCH(QByteArray, systemFile);
    QFETCH(QString, message);

    const QString systemPath = m_exports.filePath(QStringLiteral("system-cas.pem"));
    QFile::remove(systemPath);
    QDir(systemPath).removeRecursively();
    if (systemFile == "folder") {
        QVERIFY(QDir().mkpath(systemPath));
    } else if (!systemFile.isNull()) {
        QFile system(systemPath);
        QVERIFY(system.open(QIODevice::WriteOnly));
        system.write(systemFile);
    }
    const bool wasSet = qEnvironmentVariableIsSet("SSL_CERT_FILE");
    const QByteArray systemBefore = qgetenv("SSL_CERT_FILE");
    qputenv("SSL_CERT_FILE", QFile::encodeName(systemPath));
    Form1 form;
    m_saveAnswer = m_exports.filePath(file);
    m_saveFilter = filter;
    form.findChild<QPushButton *>("cmdExportCA")->click();
    if (wasSet)
        qputenv("SSL_CERT_FILE", systemBefore);
    else
        qunsetenv("SSL_CERT_FILE");
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, QString(message)
                                 .replace(QLatin1String("%1"), m_saveAnswer)
                                 .replace(QLatin1String("%2"), systemPath));
    QCOMPARE(m_seen[0].icon, MessageIcon::Critical);
    QVERIFY(!QFile::exists(m_saveAnswer));
}

void TestInspectionWindow::startWithInspectionKeepsTheSwitch()
{
    Form1 form;
    auto *chkInspect = form.findChild<QCheckBox *>("chkInspect");
    chkInspect->setChecked(true);
    start(form);
    QVERIFY(m_seen.isEmpty());
    QVERIFY(chkInspect->isChecked());
    QVERIFY(QFile::exists(caFile(kCaCertificateFileName)));
    QVERIFY(QFile::exists(caFile(kCaKeyFileName)));
}

void TestInspectionWindow::unusableCaFileAtStart_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QByteArray>("contents"); // empty: the file keeps its contents
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("reason"); // %1: the file's path
    QTest::newRow("certificate not PEM")
        << QString::fromLatin1(kCaCertificateFileName) << QByteArray("not a certificate\n") << 0644
        << QStringLiteral("not a PEM certificate");
    QTest::newRow("key readable by others")
        << QString::fromLatin1(kCaKeyFileName) << QByteArray() << 0644
        << QStringLiteral("it can be read by other users of this computer (mode 0644); allow "
                          "your user alone (chmod 600 %1)");
}

// An unusable CA file is reported, left as it is, and the run goes on without inspection; the
// export reports it the same way.
void TestInspectionWindow::unusableCaFileAtStart()
{
    QFETCH(QString, file);
    QFETCH(QByteArray, contents);
    QFETCH(int, mode);
    QFETCH(QString, reason);
    QVERIFY(loadOrCreateCertificateAuthority(defaultCaFolder()).ca);
    const QString path = caFile(file.toLatin1().constData());
    if (!contents.isEmpty()) {
        QFile written(path);
        QVERIFY(written.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(written.write(contents), contents.size());
    }
    QCOMPARE(::chmod(QFile::encodeName(path).constData(), mode_t(mode)), 0);
    const QByteArray before = testsupport::readFileBytes(path);
    const QString warning = QString::fromLatin1(kCaWarning).arg(path, reason.arg(path));

    Form1 form;
    auto *chkInspect = form.findChild<QCheckBox *>("chkInspect");
    chkInspect->setChecked(true);
    start(form);
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, warning);
    QCOMPARE(m_seen[0].icon, MessageIcon::Critical);
    QCOMPARE(m_seen[0].buttons, MessageButtons::Ok);
    QVERIFY(!chkInspect->isChecked());
    QCOMPARE(form.findChild<QPushButton *>("Command1")->text(), QStringLiteral("Stop"));
    QVERIFY(isListening(form.findChild<QLineEdit *>("txtPort")->text().toUShort()));

    m_saveAnswer = m_exports.filePath(QStringLiteral("never.pem"));
    form.findChild<QPushButton *>("cmdExportCA")->click();
    QCOMPARE(m_seen.size(), 2);
    QCOMPARE(m_seen[1].text, warning);
    QVERIFY(m_suggested.isEmpty());
    QCOMPARE(testsupport::readFileBytes(path), before);
}

QTEST_MAIN(TestInspectionWindow)
#include "test_inspection_window.moc"
