// Settings remembered between runs only while "Remember settings" is ticked: saved at Start and
// at Exit, restored by the next window, forgotten when unticked, a corrupt or unsafe file never
// keeping the window from its defaults, a failed save told, and the Defaults button.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "app/list_box.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "app/remembered_settings.h"
#include "support/origin_server.h"
#include "support/test_support.h"

Q_DECLARE_METATYPE(MessageAnswer)

namespace {

const char *const kSettingNames[] = {
    "chkRemember",  "txtPort",           "txtMaxThr",        "chkLog",    "txtLogPath",
    "Option1",      "Option2",           "txtAllow",         "chkChange", "txtChange",
    "chkRemove",    "txtRemove",         "chkAdd",           "txtAdd",    "chkInspect",
    "txtNoInspect", "chkRemoveResponse", "txtRemoveResponse"};

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
    return {{"chkRemember", true},
            {"txtPort", "0"},
            {"txtMaxThr", "17"},
            {"chkLog", true},
            {"txtLogPath", logPath},
            {"Option2", true},
            {"txtAllow", "Host: *\r\nX-Only: *"},
            {"chkChange", true},
            {"txtChange", "Referer: a, b; c"},
            {"chkRemove", false},
            {"txtRemove", "Cookie\r\n  @Rect(1 2 3 4) = \\ \"q\""},
            {"chkAdd", true},
            {"txtAdd", "X-Remembered: yes"},
            {"chkInspect", true},
            {"txtNoInspect", QString::fromUtf8("b\u00e4nk?.example\r\n")},
            {"chkRemoveResponse", true},
            {"txtRemoveResponse", "X-Powered-By\r\nServer"}};
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

// Every file below the folder, symlinks and FIFOs included.
QStringList filesBelow(const QString &folder)
{
    QStringList found;
    QDirIterator entries(folder,
                         QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                         QDirIterator::Subdirectories);
    while (entries.hasNext()) {
        const QString entry = entries.next();
        if (!QFileInfo(entry).isDir())
            found << entry;
    }
    return found;
}

void leave(Form1 &form)
{
    QSignalSpy ended(&form, &Form1::programEnded);
    click(form, "Command3");
    QCOMPARE(ended.size(), 1);
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
    void rememberedOnlyWhenTicked_data();
    void rememberedOnlyWhenTicked();
    void corruptFileGivesDefaults_data();
    void corruptFileGivesDefaults();
    void specialFileGivesDefaults_data();
    void specialFileGivesDefaults();
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
    QVERIFY(writeFile(rememberedSettingsPath(),
                      "[General]\nRemember=true\n\n[proxy]\nmaxThreads=9\n\n[headers]\n"
                      "add=true\naddList=\"X-A: 1, 2\\r\\nX-B: ;\"\n"));
    expected.insert({{"chkRemember", true},
                     {"txtMaxThr", "9"},
                     {"chkAdd", true},
                     {"txtAdd enabled", true},
                     {"txtAdd", "X-A: 1, 2\r\nX-B: ;"}});
    Form1 form;
    COMPARE_SHOWN(form, expected);
    QVERIFY(!QFile::exists(rememberedSettingsPath() + ".bad"));
}

void TestRememberedSettings::rememberedOnlyWhenTicked_data()
{
    QTest::addColumn<QByteArray>("fileBefore"); // what the config folder holds at the first run
    QTest::addColumn<bool>("tickedAtStart");    // the second run unticks it before leaving
    QTest::newRow("never ticked") << QByteArray() << false;
    QTest::newRow("ticked, then unticked") << QByteArray() << true;
    QTest::newRow("a file without the key")
        << QByteArray("[proxy]\nport=9000\n\n[log]\nenabled=true\n") << false;
    QTest::newRow("a file that says not to remember")
        << QByteArray("[General]\nRemember=false\n\n[proxy]\nport=9000\n") << false;
}

// Unticked, every run starts from the defaults and leaves nothing behind but a file that was not
// its own, byte for byte; ticked, the next run has the settings, until a run that unticks it.
void TestRememberedSettings::rememberedOnlyWhenTicked()
{
    QFETCH(QByteArray, fileBefore);
    QFETCH(bool, tickedAtStart);
    const QVariantMap defaults = shown(*std::make_unique<Form1>());
    const QString path = rememberedSettingsPath();
    if (!fileBefore.isEmpty())
        QVERIFY(writeFile(path, fileBefore));
    {
        Form1 first;
        COMPARE_SHOWN(first, defaults);
        setShown(first, {{"chkRemember", tickedAtStart}, {"txtMaxThr", "9"}});
        QVERIFY(start(first));
        QCOMPARE(QFile::exists(path), tickedAtStart || !fileBefore.isEmpty());
        click(first, "Command1");
        leave(first);
    }
    if (tickedAtStart) {
        Form1 second;
        COMPARE_SHOWN(second, (QVariantMap{{"chkRemember", true}, {"txtMaxThr", "9"}}));
        setShown(second, {{"chkRemember", false}});
        leave(second);
    }
    Form1 last;
    COMPARE_SHOWN(last, defaults);
    QVERIFY(m_seen.size() <= 2); // "Are you sure you want to exit?" and nothing else
    for (const MessageRequest &seen : std::as_const(m_seen))
        QCOMPARE(seen.buttons, MessageButtons::YesNo);
    if (fileBefore.isEmpty())
        QCOMPARE(filesBelow(m_configHome->path()), QStringList());
    else
        QCOMPARE(testsupport::readFileBytes(path), fileBefore);
}

void TestRememberedSettings::corruptFileGivesDefaults_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("isUnreadable");
    QTest::newRow("garbage bytes") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16) << false;
    QTest::newRow("not UTF-8") << QByteArray("[proxy]\nport=\xff\xfe\n") << false;
    const QByteArray remembering = "[General]\nRemember=true\n\n";
    QTest::newRow("bad switch to remember") << QByteArray("[General]\nRemember=1\n") << false;
    QTest::newRow("bad boolean") << remembering + "[log]\nenabled=maybe\n" << false;
    QTest::newRow("list not text") << remembering + "[headers]\nallowList=Host: *, Range: *\n"
                                   << false;
    QTest::newRow("port not text") << remembering + "[proxy]\nport=@Rect(1 2 3 4)\n" << false;
    QTest::newRow("unreadable") << remembering + "[proxy]\nport=81\n" << true;
    QByteArray large = remembering + "[proxy]\n";
    for (int key = 0; large.size() <= 2 * 1024 * 1024; ++key)
        large += "key" + QByteArray::number(key) + "=" + QByteArray(64, 'v') + "\n";
    QTest::newRow("over 1 MiB") << large << false;
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

    // Remembering is off with the defaults: Start writes nothing in the corrupt file's place.
    QVERIFY(start(form));
    QVERIFY(m_seen.isEmpty());
    QVERIFY(!QFile::exists(path));
}

void TestRememberedSettings::specialFileGivesDefaults_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << "fifo";
    QTest::newRow("symlink to /dev/zero") << "/dev/zero";
    QTest::newRow("folder") << "folder";
}

// Never opened, so the window comes up at once with every default; left where it is, and Start
// neither writes nor removes it.
void TestRememberedSettings::specialFileGivesDefaults()
{
    QFETCH(QString, kind);
    const QVariantMap defaults = shown(*std::make_unique<Form1>());
    const QString path = rememberedSettingsPath();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    else
        QVERIFY(QFile::link(kind, path));

    Form1 form;
    COMPARE_SHOWN(form, defaults);
    QVERIFY(start(form));
    QVERIFY(m_seen.isEmpty());
    const QFileInfo after(path);
    QVERIFY(after.exists() && !after.isFile());
    QVERIFY(!QFile::exists(path + QStringLiteral(".bad")));
}

// The config folder cannot be made (its place is taken by a file): Start says so, and starts.
void TestRememberedSettings::failedSaveIsTold()
{
    const QString blocker = m_configHome->filePath(QStringLiteral("file"));
    QVERIFY(writeFile(blocker, "not a folder"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(blocker));
    Form1 form;
    setShown(form, {{"chkRemember", true}});
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
