// Settings remembered between runs: saved at Start and at Exit, restored by the next window, a
// corrupt file set aside for the user, a failed save told, and the Defaults button.
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <unistd.h>

#include "app/list_box.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/remembered_settings.h"
#include "support/origin_server.h"
#include "support/test_support.h"

Q_DECLARE_METATYPE(MessageAnswer)

namespace {

const char *const kSettingNames[] = {"txtPort",   "txtMaxThr",  "chkLog",      "txtLogPath",
                                     "Option1",   "Option2",    "txtAllow",    "chkChange",
                                     "txtChange", "chkRemove",  "txtRemove",   "chkAdd",
                                     "txtAdd",    "chkInspect", "txtNoInspect"};

template <typename T = QWidget> T *control(Form1 &form, const QString &name)
{
    return form.findChild<T *>(name);
}

void click(Form1 &form, const char *name)
{
    control<QPushButton>(form, QLatin1String(name))->click();
}

// Sets each named control to its value: text for boxes, true or false for switches.
void setShown(Form1 &form, const QVariantMap &values)
{
    for (auto value = values.cbegin(); value != values.cend(); ++value) {
        QWidget *widget = control(form, value.key());
        if (auto *line = qobject_cast<QLineEdit *>(widget))
            line->setText(value->toString());
        else if (auto *box = qobject_cast<QPlainTextEdit *>(widget))
            setListBoxText(box, value->toString());
        else
            qobject_cast<QAbstractButton *>(widget)->setChecked(value->toBool());
    }
}

// Every setting's value and every named control's enabled state.
QVariantMap shown(Form1 &form)
{
    QVariantMap state;
    for (const char *name : kSettingNames) {
        QWidget *widget = control(form, QLatin1String(name));
        if (auto *line = qobject_cast<QLineEdit *>(widget))
            state[name] = line->text();
        else if (auto *box = qobject_cast<QPlainTextEdit *>(widget))
            state[name] = listBoxText(box);
        else
            state[name] = qobject_cast<QAbstractButton *>(widget)->isChecked();
    }
    for (const QWidget *widget : form.findChildren<QWidget *>())
        if (!widget->objectName().isEmpty())
            state[widget->objectName() + QStringLiteral(" enabled")] = widget->isEnabled();
    return state;
}

// A value other than the default for every setting control.
QVariantMap awayFromDefaults(const QString &logPath)
{
    return {{"txtPort", "0"},     {"txtMaxThr", "17"},
            {"chkLog", true},     {"txtLogPath", logPath},
            {"Option2", true},    {"txtAllow", "Host: *\r\nX-Only: *"},
            {"chkChange", true},  {"txtChange", "Referer: a, b; c"},
            {"chkRemove", false}, {"txtRemove", "Cookie\r\n  @Rect(1 2 3 4) = \\ \"q\""},
            {"chkAdd", true},     {"txtAdd", "X-Remembered: yes"},
            {"chkInspect", true}, {"txtNoInspect", QString::fromUtf8("b\u00e4nk?.example\r\n")}};
}

QString differences(const QVariantMap &actual, const QVariantMap &expected)
{
    QString found;
    for (auto wanted = expected.cbegin(); wanted != expected.cend(); ++wanted)
        if (actual.value(wanted.key()) != *wanted)
            found +=
                QStringLiteral("%1 is \"%2\", not \"%3\"; ")
                    .arg(wanted.key(), actual.value(wanted.key()).toString(), wanted->toString());
    return found;
}

#define COMPARE_SHOWN(form, expected)                                                              \
    QVERIFY2(differences(shown(form), expected).isEmpty(),                                         \
             qPrintable(differences(shown(form), expected)))

bool start(Form1 &form)
{
    control<QLineEdit>(form, QStringLiteral("txtPort"))->setText(QStringLiteral("0"));
    click(form, "Command1");
    return control<QPushButton>(form, QStringLiteral("Command1"))->text() == QLatin1String("Stop");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
           file.write(bytes) == bytes.size();
}

} // namespace

class TestRememberedSettings : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void roundTripAcrossStarts_data();
    void roundTripAcrossStarts();
    void missingKeysTakeTheirDefaults();
    void corruptFileGivesDefaults_data();
    void corruptFileGivesDefaults();
    void failedSaveIsTold();
    void defaultsButton_data();
    void defaultsButton();

private:
    // A new config folder holding the file the last window saved: the next Form1 reads it as a
    // new run of the program does, not from what QSettings keeps of this one.
    bool newRunWithSameFile();

    QTemporaryDir m_dataHome;
    std::unique_ptr<QTemporaryDir> m_configHome;
    QList<MessageRequest> m_seen;
    MessageAnswer m_answer = MessageAnswer::Yes;
};

void TestRememberedSettings::initTestCase()
{
    QVERIFY(m_dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_dataHome.path()));
    setMessageBoxHandler([this](QWidget *, const MessageRequest &request) {
        m_seen << request;
        return request.buttons == MessageButtons::Ok ? MessageAnswer::Ok : m_answer;
    });
}

void TestRememberedSettings::init()
{
    m_configHome = std::make_unique<QTemporaryDir>();
    QVERIFY(m_configHome->isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_configHome->path()));
    m_seen.clear();
    m_answer = MessageAnswer::Yes;
}

bool TestRememberedSettings::newRunWithSameFile()
{
    const QByteArray saved = testsupport::readFileBytes(rememberedSettingsPath());
    init();
    return !saved.isEmpty() && writeFile(rememberedSettingsPath(), saved);
}

void TestRememberedSettings::roundTripAcrossStarts_data()
{
    QTest::addColumn<QString>("leaving"); // after Stop, then a change: how the user leaves
    QTest::newRow("saved at Start") << QString();
    QTest::newRow("saved at Exit") << "Exit";
    QTest::newRow("saved at closing") << "close";
}

// Every control set away from its default, saved at Start (and at leaving, for a change made
// after Stop): the next run shows all of it, the enabled states that follow, and hands the
// engine those rules.
void TestRememberedSettings::roundTripAcrossStarts()
{
    QFETCH(QString, leaving);
    QVariantMap expected;
    {
        Form1 first;
        setShown(first, awayFromDefaults(m_dataHome.filePath(QStringLiteral("remembered.log"))));
        expected = shown(first);
        QVERIFY(start(first));
        QVERIFY(!control(first, QStringLiteral("cmdDefaults"))->isEnabled());
        click(first, "Command1");
        if (!leaving.isEmpty()) {
            setShown(first, {{"txtMaxThr", "99"}});
            expected["txtMaxThr"] = "99";
            // As the window shows it now: the port the system picked for port 0.
            expected["txtPort"] = control<QLineEdit>(first, QStringLiteral("txtPort"))->text();
            QSignalSpy ended(&first, &Form1::programEnded);
            if (leaving == QLatin1String("Exit"))
                click(first, "Command3");
            else
                first.close();
            QCOMPARE(ended.size(), 1);
        }
    }
    QCOMPARE(m_seen.size(), leaving.isEmpty() ? 0 : 1); // "Are you sure you want to exit?"
    QVERIFY(newRunWithSameFile());

    Form1 second;
    COMPARE_SHOWN(second, expected);
    QVERIFY(start(second));
    testsupport::OriginServer origin;
    QVERIFY(origin.listen());
    testsupport::ProxyClient browser;
    browser.connectTo(control<QLineEdit>(second, QStringLiteral("txtPort"))->text().toUShort());
    const QByteArray host = "Host: " + origin.authority() + "\r\n";
    browser.send("GET http://" + origin.authority() + "/r HTTP/1.1\r\n" + host +
                 "X-Only: 1\r\nAccept: x\r\n\r\n");
    QVERIFY(QTest::qWaitFor([&] { return origin.hasRequest(0); }, 10000));
    QCOMPARE(origin.received(0),
             "GET /r HTTP/1.1\r\n" + host + "X-Only: 1\r\nX-Remembered: yes\r\n\r\n");
}

// A file from an older version, written by hand: what it has is shown, the rest is default.
void TestRememberedSettings::missingKeysTakeTheirDefaults()
{
    QVariantMap expected = shown(*std::make_unique<Form1>());
    QVERIFY(writeFile(rememberedSettingsPath(), "[proxy]\nmaxThreads=9\n\n[headers]\nadd=true\n"
                                                "addList=\"X-A: 1, 2\\r\\nX-B: ;\"\n"));
    expected.insert({{"txtMaxThr", "9"},
                     {"chkAdd", true},
                     {"txtAdd enabled", true},
                     {"txtAdd", "X-A: 1, 2\r\nX-B: ;"}});
    Form1 form;
    COMPARE_SHOWN(form, expected);
    QVERIFY(!QFile::exists(rememberedSettingsPath() + ".bad"));
}

void TestRememberedSettings::corruptFileGivesDefaults_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("isUnreadable");
    QTest::newRow("garbage bytes") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << false;
    QTest::newRow("not UTF-8") << QByteArray("[proxy]\nport=\xff\xfe\n") << false;
    QTest::newRow("bad boolean") << QByteArray("[log]\nenabled=maybe\n") << false;
    QTest::newRow("list not text")
        << QByteArray("[headers]\nallowList=Host: *, Range: *\n") << false;
    QTest::newRow("port not text") << QByteArray("[proxy]\nport=@Rect(1 2 3 4)\n") << false;
    QTest::newRow("unreadable") << QByteArray("[proxy]\nport=81\n") << true;
}

// The defaults, no message, the file set aside (replacing an older one), a good file at Start.
void TestRememberedSettings::corruptFileGivesDefaults()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, isUnreadable);
    if (isUnreadable && ::geteuid() == 0)
        QSKIP("root reads a file whatever its mode");
    const QVariantMap defaults = shown(*std::make_unique<Form1>());
    const QString path = rememberedSettingsPath();
    const QString aside = path + QStringLiteral(".bad");
    QVERIFY(writeFile(aside, "an older corrupt file") && writeFile(path, bytes));
    if (isUnreadable)
        QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));

    Form1 form;
    QVERIFY(m_seen.isEmpty());
    COMPARE_SHOWN(form, defaults);
    QVERIFY(!QFile::exists(path));
    QVERIFY(QFile::setPermissions(aside, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(testsupport::readFileBytes(aside), bytes);

    QVERIFY(start(form));
    QVERIFY(m_seen.isEmpty());
    const RememberedSettingsLoad saved = loadRememberedSettings(path);
    QVERIFY(QFile::exists(path) && !saved.isCorrupt);
    QCOMPARE(saved.settings.port, QStringLiteral("0"));
}

// The config folder cannot be made (its place is taken by a file): Start says so, and starts.
void TestRememberedSettings::failedSaveIsTold()
{
    const QString blocker = m_configHome->filePath(QStringLiteral("file"));
    QVERIFY(writeFile(blocker, "not a folder"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker));
    Form1 form;
    QVERIFY(start(form));
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text,
             "The settings could not be saved to " + blocker + "/vesktor/vesktor.conf.");
    QCOMPARE(m_seen[0].icon, MessageIcon::Critical);
}

void TestRememberedSettings::defaultsButton_data()
{
    QTest::addColumn<MessageAnswer>("answer");
    QTest::newRow("Yes") << MessageAnswer::Yes;
    QTest::newRow("No") << MessageAnswer::No;
}

// Yes puts back every default, inspection ones too; No changes nothing; neither saves. (Locked
// while the proxy runs: see the round trip.)
void TestRememberedSettings::defaultsButton()
{
    QFETCH(MessageAnswer, answer);
    Form1 form;
    QCOMPARE(control<QPushButton>(form, QStringLiteral("cmdDefaults"))->text(), "Defaults");
    const QVariantMap defaults = shown(form);
    setShown(form, awayFromDefaults(QStringLiteral("/elsewhere/Log.txt")));
    const QVariantMap changed = shown(form);
    m_answer = answer;
    click(form, "cmdDefaults");
    QCOMPARE(m_seen.size(), 1);
    QCOMPARE(m_seen[0].text, QStringLiteral("Put back the default settings?"));
    QCOMPARE(m_seen[0].buttons, MessageButtons::YesNo);
    QCOMPARE(m_seen[0].icon, MessageIcon::Question);
    COMPARE_SHOWN(form, answer == MessageAnswer::Yes ? defaults : changed);
    QVERIFY(!QFile::exists(rememberedSettingsPath()));
}

QTEST_MAIN(TestRememberedSettings)
#include "test_remembered_settings.moc"
