// Starting, stopping and leaving the program from the window, with real loopback sockets and
// the message boxes answered from a script.
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>

#include "app/main_window.h"
#include "app/message_box.h"
#include "support/fresh_settings.h"
#include "support/origin_server.h"
#include "support/test_support.h"

Q_DECLARE_METATYPE(MessageAnswer)

namespace {

const QString kTitle = QStringLiteral("Ombrel - Vesktor");
const QString kWorking = QStringLiteral("Ombrel - Vesktor [Working]");
const QString kStopping = QStringLiteral("Ombrel - Vesktor [Stopping...]");
const QString kStopped = QStringLiteral("Ombrel - Vesktor [Stopped]");
const QString kStopQuestion =
    QStringLiteral("There are active connections. Are you you sure you want to stop the proxy?");
const QString kExitBusyQuestion =
    QStringLiteral("There are active connections. Are you sure you want to exit?");
const QString kExitQuestion = QStringLiteral("Are you sure you want to exit?");
const QString kBadLogPath = QStringLiteral("Invalid log file path.\r\nServer doesn't log.");

// The controls a start disables and a stop enables again.
const QStringList kSettings = {"txtPort",          "Label1",    "Label3",   "chkLog",
                               "txtLogPath",       "txtMaxThr", "txtAllow", "txtChange",
                               "txtRemove",        "txtAdd",    "Option1",  "Option2",
                               "chkChange",        "chkRemove", "chkAdd",   "chkRemoveResponse",
                               "txtRemoveResponse"};
const QStringList kAlwaysEnabled = {"Label2", "lblConnections", "Command3", "Command1"};

const QRegularExpression kStartEntry(QStringLiteral("^[^\\t\\r\\n]+\\tVesktor Started\\r\\n$"));
const QRegularExpression
    kStopEntry(QStringLiteral("^[^\\t\\r\\n]+\\tVesktor Stopped\\r\\n\\r\\n$"));

// The window's controls, found by name as any user of the window finds them.
struct Controls {
    explicit Controls(Form1 &form)
        : txtPort(form.findChild<QLineEdit *>("txtPort")),
          txtMaxThr(form.findChild<QLineEdit *>("txtMaxThr")),
          lblConnections(form.findChild<QLabel *>("lblConnections")),
          chkLog(form.findChild<QCheckBox *>("chkLog")),
          txtLogPath(form.findChild<QLineEdit *>("txtLogPath")),
          Command1(form.findChild<QPushButton *>("Command1")),
          Command3(form.findChild<QPushButton *>("Command3")),
          Option1(form.findChild<QRadioButton *>("Option1")),
          Option2(form.findChild<QRadioButton *>("Option2")),
          chkChange(form.findChild<QCheckBox *>("chkChange")),
          chkRemove(form.findChild<QCheckBox *>("chkRemove")),
          chkAdd(form.findChild<QCheckBox *>("chkAdd")),
          txtAllow(form.findChild<QPlainTextEdit *>("txtAllow")),
          txtChange(form.findChild<QPlainTextEdit *>("txtChange")),
          txtRemove(form.findChild<QPlainTextEdit *>("txtRemove")),
          txtAdd(form.findChild<QPlainTextEdit *>("txtAdd")), m_form(form)
    {
    }

    bool allFound() const
    {
        return txtPort && txtMaxThr && lblConnections && chkLog && txtLogPath && Command1 &&
               Command3 && Option1 && Option2 && chkChange && chkRemove && chkAdd && txtAllow &&
               txtChange && txtRemove && txtAdd;
    }

    QWidget *named(const QString &name) const { return m_form.findChild<QWidget *>(name); }

    QLineEdit *txtPort;
    QLineEdit *txtMaxThr;
    QLabel *lblConnections;
    QCheckBox *chkLog;
    QLineEdit *txtLogPath;
    QPushButton *Command1;
    QPushButton *Command3;
    QRadioButton *Option1;
    QRadioButton *Option2;
    QCheckBox *chkChange;
    QCheckBox *chkRemove;
    QCheckBox *chkAdd;
    QPlainTextEdit *txtAllow;
    QPlainTextEdit *txtChange;
    QPlainTextEdit *txtRemove;
    QPlainTextEdit *txtAdd;

private:
    Form1 &m_form;
};

std::unique_ptr<QTcpSocket> openClient(quint16 port)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(QHostAddress::LocalHost, port);
    return client;
}

bool waitConnected(QTcpSocket &client)
{
    return QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, 5000);
}

// Whether something listens on the port: a connect is answered, or refused.
bool isListening(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    const bool isSettled = QTest::qWaitFor(
        [&] {
            return probe.state() != QAbstractSocket::ConnectingState &&
                   probe.state() != QAbstractSocket::HostLookupState;
        },
        5000);
    const bool isAnswered = isSettled && probe.state() == QAbstractSocket::ConnectedState;
    probe.abort();
    return isAnswered;
}

// The port the window shows: with "0" typed in, the one the system chose once listening.
quint16 shownPort(const Controls &ui)
{
    return quint16(ui.txtPort->text().toUInt());
}

QString textOf(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

} // namespace

class TestProxyControl : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startLocksSettingsAndStopUnlocksThem();
    void startWithMissingLogFolderRunsWithoutLog();
    void startAndStopWriteTheirLogEntries();
    void stopWithoutConnectionsAsksNothing();
    void stopQuestion_data();
    void stopQuestion();
    void counterDroppingWhileAskedStopsOnNo();
    void stoppedProxyRefusesUntilNextStart();
    void portZeroShowsThePortListenedOn();
    void typedPortStaysAsTyped();
    void exitQuestion_data();
    void exitQuestion();
    void unusablePort_data();
    void unusablePort();

private:
    // Answers the next message box; the default answers OK or No.
    std::function<MessageAnswer(const MessageRequest &)> m_answer;
    QList<MessageRequest> m_seen;
    QTemporaryDir m_dir;
};

void TestProxyControl::initTestCase()
{
    qRegisterMetaType<MessageAnswer>();
    QVERIFY(m_dir.isValid());
    // A real message box would wait for a user who is not there; every box goes to the script.
    setMessageBoxHandler([this](QWidget *, const MessageRequest &request) {
        m_seen.append(request);
        if (m_answer)
            return m_answer(request);
        return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : MessageAnswer::No;
    });
}

void TestProxyControl::init()
{
    testsupport::forgetRememberedSettings();
    m_seen.clear();
    m_answer = nullptr;
}

void TestProxyControl::cleanup()
{
    m_answer = nullptr;
}

void TestProxyControl::startLocksSettingsAndStopUnlocksThem()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    const QString logPath = m_dir.filePath(QStringLiteral("unused-log.txt"));
    ui.txtLogPath->setText(logPath);
    ui.Option2->setChecked(true);
    ui.chkAdd->setChecked(true);

    ui.Command1->click();
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(form.windowTitle(), kWorking);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Stop"));
    for (const QString &name : kSettings) {
        QVERIFY2(ui.named(name), qPrintable(name));
        QVERIFY2(!ui.named(name)->isEnabled(), qPrintable(name));
    }
    for (const QString &name : kAlwaysEnabled)
        QVERIFY2(ui.named(name)->isEnabled(), qPrintable(name));
    const quint16 port = shownPort(ui);
    QVERIFY(port != 0);
    QVERIFY(isListening(port));
    // The probe has come and gone; with no connection left the stop asks nothing.
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("0"));
    QVERIFY(!QFile::exists(logPath));

    // What the window shows at each caption change of the stop.
    QStringList titles;
    QList<bool> command1Enabled;
    QList<bool> busyPointer;
    connect(&form, &QWidget::windowTitleChanged, &form, [&](const QString &title) {
        titles << title;
        command1Enabled << ui.Command1->isEnabled();
        busyPointer << (form.testAttribute(Qt::WA_SetCursor) &&
                        form.cursor().shape() == Qt::WaitCursor);
    });
    ui.Command1->click();
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(titles, QStringList({kStopping, kStopped}));
    QCOMPARE(command1Enabled, QList<bool>({false, true}));
    QCOMPARE(busyPointer.value(1), true);
    QCOMPARE(form.cursor().shape(), Qt::ArrowCursor);

    QCOMPARE(ui.Command1->text(), QStringLiteral("Start"));
    QVERIFY(ui.Command1->isEnabled());
    QCOMPARE(ui.lblConnections->text(), QStringLiteral("0"));
    QVERIFY(!isListening(port));
    // Each box is back to what its switch calls for.
    for (const QString &name : kSettings) {
        const bool expected = name != QLatin1String("txtLogPath") &&
                              name != QLatin1String("txtChange") &&
                              name != QLatin1String("txtRemoveResponse");
        QVERIFY2(ui.named(name)->isEnabled() == expected, qPrintable(name));
    }
    QVERIFY(!QFile::exists(logPath));
}

void TestProxyControl::startWithMissingLogFolderRunsWithoutLog()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    const QString folder = m_dir.filePath(QStringLiteral("missing-folder"));
    const QString logPath = folder + QStringLiteral("/Log.txt");
    QVERIFY(!QDir(folder).exists());
    ui.chkLog->setChecked(true);
    ui.txtLogPath->setText(logPath);
    ui.Option2->setChecked(true);

    std::unique_ptr<QTcpSocket> client;
    QString captionWhileShown;
    bool connectedWhileShown = false;
    m_answer = [&](const MessageRequest &) {
        captionWhileShown = ui.Command1->text();
        // The port is shown before the box: the proxy listens already.
        client = openClient(shownPort(ui));
        connectedWhileShown = waitConnected(*client);
        return MessageAnswer::Ok;
    };
    ui.Command1->click();

    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, kBadLogPath);
    QCOMPARE(m_seen[0].buttons, MessageButtons::Ok);
    QCOMPARE(m_seen[0].icon, MessageIcon::Critical);
    QCOMPARE(captionWhileShown, QStringLiteral("Stop"));
    QVERIFY(connectedWhileShown);
    QVERIFY(!ui.chkLog->isChecked());
    QVERIFY(!ui.txtLogPath->isEnabled());
    QCOMPARE(ui.txtLogPath->text(), logPath);
    QCOMPARE(form.windowTitle(), kWorking);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Stop"));
    QVERIFY(ui.Command1->isEnabled());
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));

    // The client accepted while the box was open is served.
    testsupport::OriginServer origin;
    QVERIFY(origin.listen());
    const QByteArray authority = origin.authority();
    client->write("GET http://" + authority + "/page HTTP/1.0\r\nHost: " + authority + "\r\n\r\n");
    QTRY_VERIFY(origin.hasRequest(0));
    QCOMPARE(origin.received(0), "GET /page HTTP/1.0\r\nHost: " + authority + "\r\n\r\n");
    const QByteArray reply = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    origin.send(0, reply);
    origin.close(0);
    QByteArray relayed;
    QTRY_COMPARE((relayed += client->readAll()), reply);
    QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("0"));

    // Even once the path has become usable, this run has no log: the stop writes nothing.
    QVERIFY(QDir().mkpath(folder));
    QFile placed(logPath);
    QVERIFY(placed.open(QIODevice::WriteOnly));
    placed.close();
    ui.Command1->click();
    QVERIFY(m_seen.size() == 1);
    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(testsupport::readFileBytes(logPath), QByteArray());
    QVERIFY(QFile::exists(logPath));
    QVERIFY(!ui.chkLog->isChecked());
    QVERIFY(!ui.txtLogPath->isEnabled());
    QVERIFY(ui.txtAllow->isEnabled());
}

void TestProxyControl::startAndStopWriteTheirLogEntries()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    const QString logPath = m_dir.filePath(QStringLiteral("entries.txt"));
    const QByteArray earlier = "an earlier run\r\n\r\n";
    {
        QFile file(logPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(earlier);
    }
    ui.chkLog->setChecked(true);
    ui.txtLogPath->setText(logPath);

    ui.Command1->click();
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(form.windowTitle(), kWorking);
    const QByteArray afterStart = testsupport::readFileBytes(logPath);
    QVERIFY(afterStart.startsWith(earlier));
    const QByteArray startEntry = afterStart.mid(earlier.size());
    QVERIFY2(kStartEntry.match(textOf(startEntry)).hasMatch(), startEntry.constData());

    ui.Command1->click();
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(form.windowTitle(), kStopped);
    const QByteArray afterStop = testsupport::readFileBytes(logPath);
    QVERIFY(afterStop.startsWith(afterStart));
    const QByteArray stopEntry = afterStop.mid(afterStart.size());
    QVERIFY2(kStopEntry.match(textOf(stopEntry)).hasMatch(), stopEntry.constData());
    QVERIFY(ui.chkLog->isChecked());
    QVERIFY(ui.txtLogPath->isEnabled());

    // A second run appends its own pair after the first.
    ui.Command1->click();
    ui.Command1->click();
    const QByteArray second = testsupport::readFileBytes(logPath).mid(afterStop.size());
    const int split = second.indexOf("\tVesktor Started\r\n") + 18;
    QVERIFY(split > 18);
    QVERIFY2(kStartEntry.match(textOf(second.left(split))).hasMatch(), second.constData());
    QVERIFY2(kStopEntry.match(textOf(second.mid(split))).hasMatch(), second.constData());
    QVERIFY(m_seen.isEmpty());
}

void TestProxyControl::stopWithoutConnectionsAsksNothing()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kWorking);
    const quint16 port = shownPort(ui);

    // A connection that has come and gone leaves the counter at 0.
    std::unique_ptr<QTcpSocket> client = openClient(port);
    QVERIFY(waitConnected(*client));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));
    client->disconnectFromHost();
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("0"));

    ui.Command1->click();
    QVERIFY(m_seen.isEmpty());
    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Start"));
}

void TestProxyControl::stopQuestion_data()
{
    QTest::addColumn<MessageAnswer>("answer");
    QTest::newRow("No") << MessageAnswer::No;
    QTest::newRow("Yes") << MessageAnswer::Yes;
}

void TestProxyControl::stopQuestion()
{
    QFETCH(MessageAnswer, answer);
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    const quint16 port = shownPort(ui);

    std::unique_ptr<QTcpSocket> first = openClient(port);
    std::unique_ptr<QTcpSocket> second = openClient(port);
    QVERIFY(waitConnected(*first));
    QVERIFY(waitConnected(*second));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("2"));

    m_answer = [&](const MessageRequest &) { return answer; };
    ui.Command1->click();
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, kStopQuestion);
    QCOMPARE(m_seen[0].buttons, MessageButtons::YesNo);
    QCOMPARE(m_seen[0].icon, MessageIcon::Question);

    if (answer == MessageAnswer::No) {
        QCOMPARE(form.windowTitle(), kWorking);
        QCOMPARE(ui.Command1->text(), QStringLiteral("Stop"));
        QVERIFY(ui.Command1->isEnabled());
        QVERIFY(!ui.txtPort->isEnabled());
        QCOMPARE(ui.lblConnections->text(), QStringLiteral("2"));
        // Still serving: a third browser is taken, and the first two are still connected.
        std::unique_ptr<QTcpSocket> third = openClient(port);
        QVERIFY(waitConnected(*third));
        QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("3"));
        QCOMPARE(first->state(), QAbstractSocket::ConnectedState);
        QCOMPARE(second->state(), QAbstractSocket::ConnectedState);
        return;
    }

    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Start"));
    QCOMPARE(ui.lblConnections->text(), QStringLiteral("0"));
    QVERIFY(!isListening(port));
    QTRY_COMPARE(first->state(), QAbstractSocket::UnconnectedState);
    QTRY_COMPARE(second->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(m_seen.size(), 1);
}

void TestProxyControl::counterDroppingWhileAskedStopsOnNo()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    const quint16 port = shownPort(ui);

    std::unique_ptr<QTcpSocket> first = openClient(port);
    std::unique_ptr<QTcpSocket> second = openClient(port);
    QVERIFY(waitConnected(*first));
    QVERIFY(waitConnected(*second));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("2"));

    bool droppedWhileAsked = false;
    m_answer = [&](const MessageRequest &) {
        first->disconnectFromHost();
        second->disconnectFromHost();
        droppedWhileAsked =
            QTest::qWaitFor([&] { return ui.lblConnections->text() == QLatin1String("0"); }, 5000);
        return MessageAnswer::No;
    };
    ui.Command1->click();
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, kStopQuestion);
    QVERIFY(droppedWhileAsked);
    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Start"));
    QVERIFY(!isListening(quint16(ui.txtPort->text().toUInt())));
    QVERIFY(ui.txtPort->isEnabled());
}

void TestProxyControl::stoppedProxyRefusesUntilNextStart()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kWorking);
    const quint16 firstPort = shownPort(ui);
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kStopped);

    std::unique_ptr<QTcpSocket> refused = openClient(firstPort);
    QTRY_COMPARE(refused->error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(ui.lblConnections->text(), QStringLiteral("0"));

    // The next start takes what txtPort holds then: "0" again, not the port the first run
    // showed. The system may choose the same port twice; then the proxy is started once more
    // (a run that kept the first port would keep it every time).
    quint16 secondPort = firstPort;
    for (int attempt = 0; attempt < 10 && secondPort == firstPort; ++attempt) {
        if (attempt > 0) {
            ui.Command1->click();
            QCOMPARE(form.windowTitle(), kStopped);
        }
        ui.txtPort->setText(QStringLiteral("0"));
        ui.Command1->click();
        QVERIFY(m_seen.isEmpty());
        QCOMPARE(form.windowTitle(), kWorking);
        secondPort = shownPort(ui);
    }
    QVERIFY(secondPort != firstPort);
    QVERIFY(secondPort != 0);

    std::unique_ptr<QTcpSocket> accepted = openClient(secondPort);
    QVERIFY(waitConnected(*accepted));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));
    std::unique_ptr<QTcpSocket> stillRefused = openClient(firstPort);
    QTRY_COMPARE(stillRefused->error(), QAbstractSocket::ConnectionRefusedError);
    QCOMPARE(ui.lblConnections->text(), QStringLiteral("1"));
}

// "0" lets the system choose; the box then shows the port a browser has to use, and that port
// serves.
void TestProxyControl::portZeroShowsThePortListenedOn()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kWorking);
    const quint16 port = quint16(ui.txtPort->text().toUInt());
    QVERIFY2(port != 0, qPrintable(ui.txtPort->text()));
    std::unique_ptr<QTcpSocket> client = openClient(port);
    QVERIFY(waitConnected(*client));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));
    client->abort();
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(ui.txtPort->text(), QString::number(port));
}

// Any other port is listened on as typed, and the box keeps the text the user typed.
void TestProxyControl::typedPortStaysAsTyped()
{
    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    // A port this proxy has just listened on and let go of again.
    ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kWorking);
    const quint16 port = quint16(ui.txtPort->text().toUInt());
    QVERIFY(port != 0);
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kStopped);
    const QString typed = QStringLiteral(" 0%1").arg(port);
    ui.txtPort->setText(typed);
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kWorking);
    QCOMPARE(ui.txtPort->text(), typed);
    QVERIFY(isListening(port));
    QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(form.windowTitle(), kStopped);
    QCOMPARE(ui.txtPort->text(), typed);
}

void TestProxyControl::exitQuestion_data()
{
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("clients");
    QTest::addColumn<bool>("viaCloseBox");
    QTest::addColumn<MessageAnswer>("answer");

    for (const bool viaCloseBox : {false, true}) {
        const char *way = viaCloseBox ? "close box" : "Exit";
        for (const MessageAnswer answer : {MessageAnswer::No, MessageAnswer::Yes}) {
            const char *said = answer == MessageAnswer::Yes ? "Yes" : "No";
            QTest::addRow("%s, stopped, %s", way, said) << false << 0 << viaCloseBox << answer;
            QTest::addRow("%s, running idle, %s", way, said) << true << 0 << viaCloseBox << answer;
            QTest::addRow("%s, running with a client, %s", way, said)
                << true << 1 << viaCloseBox << answer;
        }
    }
}

void TestProxyControl::exitQuestion()
{
    QFETCH(bool, running);
    QFETCH(int, clients);
    QFETCH(bool, viaCloseBox);
    QFETCH(MessageAnswer, answer);

    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QSignalSpy ended(&form, &Form1::programEnded);
    // Stopped, the window shows a port that refuses, so that the exit is seen to start nothing;
    // running, it listens on one the system chooses.
    const testsupport::RefusingPort refusing;
    QVERIFY(refusing.port() != 0);
    ui.txtPort->setText(running ? QStringLiteral("0") : QString::number(refusing.port()));
    const QString logPath =
        m_dir.filePath(QStringLiteral("exit-%1.txt").arg(QTest::currentDataTag()));
    QFile::remove(logPath);
    ui.chkLog->setChecked(true);
    ui.txtLogPath->setText(logPath);

    std::unique_ptr<QTcpSocket> client;
    if (running) {
        ui.Command1->click();
        QCOMPARE(form.windowTitle(), kWorking);
    }
    if (clients > 0) {
        client = openClient(shownPort(ui));
        QVERIFY(waitConnected(*client));
        QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));
    }
    const QByteArray logBefore = testsupport::readFileBytes(logPath);
    const QString titleBefore = form.windowTitle();

    m_answer = [&](const MessageRequest &) { return answer; };
    bool closed = false;
    if (viaCloseBox)
        closed = form.close();
    else
        ui.Command3->click();

    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, clients > 0 ? kExitBusyQuestion : kExitQuestion);
    QCOMPARE(m_seen[0].buttons, MessageButtons::YesNo);
    QCOMPARE(m_seen[0].icon, MessageIcon::Question);

    if (answer == MessageAnswer::No) {
        QCOMPARE(ended.count(), 0);
        QVERIFY(!closed);
        QVERIFY(form.isVisible());
        QCOMPARE(form.windowTitle(), titleBefore);
        QCOMPARE(ui.Command1->text(), running ? QStringLiteral("Stop") : QStringLiteral("Start"));
        QCOMPARE(testsupport::readFileBytes(logPath), logBefore);
        QCOMPARE(isListening(quint16(ui.txtPort->text().toUInt())), running);
        if (client) {
            // The probe above counted for a moment.
            QTRY_COMPARE(ui.lblConnections->text(), QStringLiteral("1"));
            QCOMPARE(client->state(), QAbstractSocket::ConnectedState);
        }
        return;
    }

    QCOMPARE(ended.count(), 1);
    if (viaCloseBox)
        QVERIFY(closed);
    QVERIFY(!form.isVisible());
    if (running) {
        QCOMPARE(form.windowTitle(), kStopped);
        QVERIFY(!isListening(quint16(ui.txtPort->text().toUInt())));
        QCOMPARE(ui.lblConnections->text(), QStringLiteral("0"));
        const QByteArray stopEntry = testsupport::readFileBytes(logPath).mid(logBefore.size());
        QVERIFY(kStartEntry.match(textOf(logBefore)).hasMatch());
        QVERIFY2(kStopEntry.match(textOf(stopEntry)).hasMatch(), stopEntry.constData());
    } else {
        QCOMPARE(form.windowTitle(), kTitle);
        QVERIFY(!QFile::exists(logPath));
    }
    if (client)
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);

    // The program is ending: a further close request, as quitting the application makes, does
    // not ask again or stop again.
    QVERIFY(form.close());
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(ended.count(), 1);
}

void TestProxyControl::unusablePort_data()
{
    QTest::addColumn<QString>("portText");
    QTest::addColumn<bool>("occupied");
    QTest::addColumn<bool>("afterRun");
    QTest::addColumn<QString>("reason");

    QTest::newRow("in use") << QString() << true << false
                            << QStringLiteral("the address is already in use");
    QTest::newRow("in use, after a run")
        << QString() << true << true << QStringLiteral("the address is already in use");
    QTest::newRow("not a number") << QStringLiteral("80a80") << false << false
                                  << QStringLiteral("the port is not a number");
    QTest::newRow("empty") << QString("") << false << false
                           << QStringLiteral("the port is not a number");
    QTest::newRow("above range") << QStringLiteral("65536") << false << false
                                 << QStringLiteral("the port is outside 0 to 65535");
    QTest::newRow("negative") << QStringLiteral("-1") << false << true
                              << QStringLiteral("the port is outside 0 to 65535");
}

void TestProxyControl::unusablePort()
{
    QFETCH(QString, portText);
    QFETCH(bool, occupied);
    QFETCH(bool, afterRun);
    QFETCH(QString, reason);

    Form1 form;
    Controls ui(form);
    QVERIFY(ui.allFound());
    quint16 previousPort = 0;
    if (afterRun) {
        ui.txtPort->setText(QStringLiteral("0"));
        ui.Command1->click();
        previousPort = shownPort(ui);
        ui.Command1->click();
        QCOMPARE(form.windowTitle(), kStopped);
    }
    QTcpServer occupier;
    if (occupied) {
        QVERIFY(occupier.listen(QHostAddress::Any, 0));
        portText = QString::number(occupier.serverPort());
    }
    const QString logPath =
        m_dir.filePath(QStringLiteral("port-%1.txt").arg(QTest::currentDataTag()));
    QFile::remove(logPath);
    ui.chkLog->setChecked(true);
    ui.txtLogPath->setText(logPath);
    ui.Option2->setChecked(true);
    ui.chkAdd->setChecked(true);
    ui.chkRemove->setChecked(false);
    ui.txtPort->setText(portText);
    const QString titleBefore = form.windowTitle();

    ui.Command1->click();
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, QStringLiteral("Cannot listen on port %1: %2.").arg(portText, reason));
    QCOMPARE(m_seen[0].buttons, MessageButtons::Ok);
    QCOMPARE(m_seen[0].icon, MessageIcon::Critical);

    // Back to a usable stopped window, as before the start.
    QCOMPARE(form.windowTitle(), titleBefore);
    QCOMPARE(ui.Command1->text(), QStringLiteral("Start"));
    QVERIFY(ui.Command1->isEnabled());
    // The failed start did not bring back the listener of the run before.
    if (afterRun && !occupied)
        QVERIFY(!isListening(previousPort));
    QVERIFY(!QFile::exists(logPath));
    QVERIFY(ui.chkLog->isChecked());
    for (const QString &name : kSettings) {
        const bool expected = name != QLatin1String("txtChange") &&
                              name != QLatin1String("txtRemove") &&
                              name != QLatin1String("txtRemoveResponse");
        QVERIFY2(ui.named(name)->isEnabled() == expected, qPrintable(name));
    }
    QCOMPARE(ui.txtPort->text(), portText);

    // And it starts once the port is usable: the one that was taken, freed now (and kept in the
    // box), or one the system chooses.
    if (occupied)
        occupier.close();
    else
        ui.txtPort->setText(QStringLiteral("0"));
    ui.Command1->click();
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(form.windowTitle(), kWorking);
    if (occupied)
        QCOMPARE(ui.txtPort->text(), portText);
    QVERIFY(isListening(quint16(ui.txtPort->text().toUInt())));
    QVERIFY(kStartEntry.match(textOf(testsupport::readFileBytes(logPath))).hasMatch());
}

QTEST_MAIN(TestProxyControl)
#include "test_proxy_control.moc"
