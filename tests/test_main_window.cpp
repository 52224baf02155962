// The main window as the program opens it: controls, defaults, list texts, tooltips, the log
// path, and the enabling rules between switches and boxes.
#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <QtTest>

#include "app/list_box.h"
#include "app/main_window.h"
#include "app/message_box.h"
#include "support/fresh_settings.h"
#include "support/origin_server.h"

namespace {

const char *const kAllNames[] = {
    "Label1",   "txtPort",     "Label3",      "txtMaxThr",  "Label2",    "lblConnections",
    "chkLog",   "txtLogPath",  "Command1",    "Command3",   "Option1",   "Option2",
    "txtAllow", "chkChange",   "txtChange",   "chkRemove",  "txtRemove", "chkAdd",
    "txtAdd",   "cmdRequests", "chkRemember", "cmdDefaults"};

QString shownText(QWidget *control)
{
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->text();
    if (auto *line = qobject_cast<QLineEdit *>(control))
        return line->text();
    if (auto *button = qobject_cast<QAbstractButton *>(control))
        return button->text();
    if (auto *box = qobject_cast<QPlainTextEdit *>(control))
        return listBoxText(box);
    return QString();
}

// Where a user clicks a check box or option button: on its indicator. The widget may be
// stretched by the layout, and only the indicator and the caption take clicks.
QPoint indicatorPoint(QAbstractButton *button)
{
    const QStyle::PixelMetric metric = qobject_cast<QRadioButton *>(button)
                                           ? QStyle::PM_ExclusiveIndicatorWidth
                                           : QStyle::PM_IndicatorWidth;
    return QPoint(button->style()->pixelMetric(metric, nullptr, button) / 2 + 1,
                  button->height() / 2);
}

void clickIndicator(QAbstractButton *button)
{
    QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, indicatorPoint(button));
}

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init() { testsupport::forgetRememberedSettings(); }
    void freshWindowTitleAndNames();
    void freshControls_data();
    void freshControls();
    void optionButtonsFormOneGroup();
    void defaultListTexts_data();
    void defaultListTexts();
    void listBoxesDoNotWrap_data();
    void listBoxesDoNotWrap();
    void typedLinesReadAsCrLfEntries();
    void fixedTooltips_data();
    void fixedTooltips();
    void changeTooltipShape();
    void logPathInFolder_data();
    void logPathInFolder();
    void loadedLogPathIsInProgramFolder();
    void checkBoxRuleByClick_data();
    void checkBoxRuleByClick();
    void checkBoxRuleFromCode_data();
    void checkBoxRuleFromCode();
    void handlerReadsSwitchWhenCalledDirectly_data();
    void handlerReadsSwitchWhenCalledDirectly();
    void optionRulesByClick();
    void bothOptionHandlersReadOption2_data();
    void bothOptionHandlersReadOption2();
    void rewriteReadsCurrentControls_data();
    void rewriteReadsCurrentControls();
    void rewriteFollowsEditsBetweenRequests();

private:
    static QByteArray throughProxy(Form1 &form, const QByteArray &request);
    static void startOnAnyPort(Form1 &form);

private slots:
    void realMessageBox_data();
    void realMessageBox();
};

void TestMainWindow::freshWindowTitleAndNames()
{
    Form1 form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Ombrel - Vesktor"));
    for (const char *name : kAllNames) {
        QWidget *control = form.findChild<QWidget *>(QString::fromLatin1(name));
        QVERIFY2(control, name);
        QCOMPARE(form.findChildren<QWidget *>(QString::fromLatin1(name)).size(), 1);
    }
    QVERIFY(form.isWindow());
}

void TestMainWindow::freshControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<int>("checked"); // -1: not a switch

    const QString logPath = Form1::logPathInFolder(QCoreApplication::applicationDirPath());
    QTest::newRow("Label1") << "Label1"
                            << "QLabel"
                            << "Port:" << true << -1;
    QTest::newRow("txtPort") << "txtPort"
                             << "QLineEdit"
                             << "8080" << true << -1;
    QTest::newRow("Label3") << "Label3"
                            << "QLabel"
                            << "Max Threads:" << true << -1;
    QTest::newRow("txtMaxThr") << "txtMaxThr"
                               << "QLineEdit"
                               << "255" << true << -1;
    QTest::newRow("Label2") << "Label2"
                            << "QLabel"
                            << "Current Threads:" << true << -1;
    QTest::newRow("lblConnections") << "lblConnections"
                                    << "QLabel"
                                    << "0" << true << -1;
    QTest::newRow("chkLog") << "chkLog"
                            << "QCheckBox"
                            << "Log:" << true << 0;
    QTest::newRow("txtLogPath") << "txtLogPath"
                                << "QLineEdit" << logPath << false << -1;
    QTest::newRow("Command1") << "Command1"
                              << "QPushButton"
                              << "Start" << true << -1;
    QTest::newRow("Command3") << "Command3"
                              << "QPushButton"
                              << "Exit" << true << -1;
    QTest::newRow("cmdRequests") << "cmdRequests"
                                 << "QPushButton"
                                 << "Requests..." << true << -1;
    QTest::newRow("chkRemember") << "chkRemember"
                                 << "QCheckBox"
                                 << "Remember settings" << true << 0;
    QTest::newRow("cmdDefaults") << "cmdDefaults"
                                 << "QPushButton"
                                 << "Defaults" << true << -1;
    QTest::newRow("Option1") << "Option1"
                             << "QRadioButton"
                             << "Allow all headers." << true << 1;
    QTest::newRow("Option2") << "Option2"
                             << "QRadioButton"
                             << "Only allow these headers." << true << 0;
    QTest::newRow("chkChange") << "chkChange"
                               << "QCheckBox"
                               << "Replace these headers:" << true << 0;
    QTest::newRow("chkRemove") << "chkRemove"
                               << "QCheckBox"
                               << "Remove these headers:" << true << 1;
    QTest::newRow("chkAdd") << "chkAdd"
                            << "QCheckBox"
                            << "Add these headers:" << true << 0;
    QTest::newRow("txtAllow") << "txtAllow"
                              << "QPlainTextEdit" << QString() << false << -1;
    QTest::newRow("txtChange") << "txtChange"
                               << "QPlainTextEdit" << QString() << false << -1;
    QTest::newRow("txtRemove") << "txtRemove"
                               << "QPlainTextEdit" << QString() << true << -1;
    QTest::newRow("chkRemoveResponse") << "chkRemoveResponse"
                                       << "QCheckBox"
                                       << "Remove these response headers:" << true << 0;
    QTest::newRow("txtRemoveResponse") << "txtRemoveResponse"
                                       << "QPlainTextEdit" << QString() << false << -1;
    QTest::newRow("txtAdd") << "txtAdd"
                            << "QPlainTextEdit" << QString() << false << -1;
}

void TestMainWindow::freshControls()
{
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QFETCH(int, checked);

    Form1 form;
    QWidget *control = form.findChild<QWidget *>(name);
    QVERIFY(control);
    QVERIFY2(control->inherits(kind.toLatin1().constData()), control->metaObject()->className());
    // The list boxes' texts have a test of their own.
    if (!text.isNull())
        QCOMPARE(shownText(control), text);
    QCOMPARE(control->isEnabled(), enabled);
    if (checked >= 0) {
        auto *button = qobject_cast<QAbstractButton *>(control);
        QVERIFY(button);
        QCOMPARE(button->isChecked(), checked == 1);
        if (auto *box = qobject_cast<QCheckBox *>(control))
            QVERIFY(!box->isTristate());
    }
}

void TestMainWindow::optionButtonsFormOneGroup()
{
    Form1 form;
    auto *option1 = form.findChild<QRadioButton *>("Option1");
    auto *option2 = form.findChild<QRadioButton *>("Option2");
    QVERIFY(option1 && option2);
    option2->setChecked(true);
    QVERIFY(!option1->isChecked());
    option1->setChecked(true);
    QVERIFY(!option2->isChecked());
}

void TestMainWindow::defaultListTexts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("lines");

    QTest::newRow("txtRemove") << "txtRemove"
                               << "User-Agent\r\nCookie\r\nReferer\r\nFrom\r\nDate" << 5;
    QTest::newRow("txtRemoveResponse") << "txtRemoveResponse"
                                       << "Set-Cookie\r\nETag" << 2;
    QTest::newRow("txtAdd") << "txtAdd"
                            << "Via: Vesktor 1.0" << 1;
    QTest::newRow("txtChange") << "txtChange"
                               << "User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)"
                               << 1;
    QTest::newRow("txtAllow") << "txtAllow"
                              << "Accept: *\r\nAccept-Language: *\r\nAccept-Encoding: *\r\n"
                                 "Accept-Charset: *\r\nHost: *\r\nKeep-Alive: *\r\nRange: *\r\n"
                                 "Cache-Control: *\r\nContent-Length: *\r\nContent-Type: *\r\n"
                                 "Authorization: *"
                              << 11;
}

void TestMainWindow::defaultListTexts()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(int, lines);

    Form1 form;
    auto *box = form.findChild<QPlainTextEdit *>(name);
    QVERIFY(box);
    const QString shown = listBoxText(box);
    QCOMPARE(shown, text);
    QVERIFY(!shown.endsWith(QLatin1String("\r\n")));
    QCOMPARE(int(shown.split(QStringLiteral("\r\n")).size()), lines);
    QCOMPARE(box->blockCount(), lines);
}

void TestMainWindow::listBoxesDoNotWrap_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("txtAllow") << "txtAllow";
    QTest::newRow("txtChange") << "txtChange";
    QTest::newRow("txtRemove") << "txtRemove";
    QTest::newRow("txtAdd") << "txtAdd";
}

void TestMainWindow::listBoxesDoNotWrap()
{
    QFETCH(QString, name);
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *box = form.findChild<QPlainTextEdit *>(name);
    QVERIFY(box);
    QCOMPARE(box->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(box->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QCOMPARE(box->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    QVERIFY(box->horizontalScrollBar()->isVisible());
    QVERIFY(box->verticalScrollBar()->isVisible());

    // A line far wider than the box stays one line and can be scrolled to.
    const QString longLine = QStringLiteral("X-Long: ") + QString(400, QLatin1Char('a'));
    setListBoxText(box, longLine);
    QCoreApplication::processEvents();
    QCOMPARE(box->blockCount(), 1);
    QTextLayout *layout = box->document()->firstBlock().layout();
    QVERIFY(layout);
    QCOMPARE(layout->lineCount(), 1);
    QVERIFY(box->horizontalScrollBar()->maximum() > 0);
    QCOMPARE(listBoxText(box), longLine);
}

void TestMainWindow::typedLinesReadAsCrLfEntries()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *box = form.findChild<QPlainTextEdit *>("txtRemove");
    QVERIFY(box);
    box->setFocus();
    box->moveCursor(QTextCursor::End);
    QTest::keyClick(box, Qt::Key_Return);
    QTest::keyClicks(box, QStringLiteral("X-Tracking"));
    QCOMPARE(listBoxText(box),
             QStringLiteral("User-Agent\r\nCookie\r\nReferer\r\nFrom\r\nDate\r\nX-Tracking"));
    QTest::keyClick(box, Qt::Key_Return);
    QCOMPARE(listBoxText(box),
             QStringLiteral("User-Agent\r\nCookie\r\nReferer\r\nFrom\r\nDate\r\nX-Tracking\r\n"));
}

void TestMainWindow::fixedTooltips_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("tip");
    QTest::newRow("txtRemove")
        << "txtRemove"
        << "Only type header name. Example: cookie    -->  it removes header named cookie.";
    QTest::newRow("txtAllow") << "txtAllow"
                              << "Example: Accept: *     -->   it means that if Accept was in "
                                 "header allow it to be sent to destination. * means that value "
                                 "can be anything.";
}

void TestMainWindow::fixedTooltips()
{
    QFETCH(QString, name);
    QFETCH(QString, tip);
    Form1 form;
    auto *box = form.findChild<QPlainTextEdit *>(name);
    QVERIFY(box);
    QCOMPARE(box->toolTip(), tip);
}

void TestMainWindow::changeTooltipShape()
{
    Form1 form;
    auto *box = form.findChild<QPlainTextEdit *>("txtChange");
    QVERIFY(box);
    const QRegularExpression shape(QStringLiteral(
        "^Example: referer: ([A-Za-z0-9.-]+\\.[A-Za-z]+) {4}--> {3}it means: if referer was is "
        "header replace its value with \\1$"));
    QVERIFY2(shape.match(box->toolTip()).hasMatch(), qPrintable(box->toolTip()));
    // The other boxes and the switches carry no hint.
    for (const char *name : {"txtAdd", "chkChange", "Option2", "txtLogPath"})
        QVERIFY2(form.findChild<QWidget *>(name)->toolTip().isEmpty(), name);
}

void TestMainWindow::logPathInFolder_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");
    QTest::newRow("plain folder") << "/opt/vesktor"
                                  << "/opt/vesktor/Log.txt";
    QTest::newRow("trailing separator") << "/opt/vesktor/"
                                        << "/opt/vesktor/Log.txt";
    QTest::newRow("root") << "/"
                          << "/Log.txt";
    QTest::newRow("blank in name") << "/home/a b"
                                   << "/home/a b/Log.txt";
}

void TestMainWindow::logPathInFolder()
{
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QCOMPARE(Form1::logPathInFolder(folder), path);
}

void TestMainWindow::loadedLogPathIsInProgramFolder()
{
    Form1 form;
    auto *path = form.findChild<QLineEdit *>("txtLogPath");
    QVERIFY(path);
    const QString folder = QCoreApplication::applicationDirPath();
    QVERIFY(!folder.endsWith(QLatin1Char('/')));
    QCOMPARE(path->text(), folder + QStringLiteral("/Log.txt"));
}

namespace {

void addSwitchRows()
{
    QTest::addColumn<QString>("switchName");
    QTest::addColumn<QString>("boxName");
    QTest::newRow("chkLog") << "chkLog"
                            << "txtLogPath";
    QTest::newRow("chkAdd") << "chkAdd"
                            << "txtAdd";
    QTest::newRow("chkChange") << "chkChange"
                               << "txtChange";
    QTest::newRow("chkRemove") << "chkRemove"
                               << "txtRemove";
    QTest::newRow("chkRemoveResponse") << "chkRemoveResponse"
                                       << "txtRemoveResponse";
}

} // namespace

void TestMainWindow::checkBoxRuleByClick_data()
{
    addSwitchRows();
}

void TestMainWindow::checkBoxRuleByClick()
{
    QFETCH(QString, switchName);
    QFETCH(QString, boxName);
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *check = form.findChild<QCheckBox *>(switchName);
    auto *box = form.findChild<QWidget *>(boxName);
    QVERIFY(check && box);
    const QString text = shownText(box);
    QVERIFY(!text.isEmpty());

    for (int round = 0; round < 2; ++round) {
        const bool wasTicked = check->isChecked();
        QCOMPARE(box->isEnabled(), wasTicked);
        clickIndicator(check);
        QCOMPARE(check->isChecked(), !wasTicked);
        QCOMPARE(box->isEnabled(), !wasTicked);
        QCOMPARE(shownText(box), text);
    }
}

void TestMainWindow::checkBoxRuleFromCode_data()
{
    addSwitchRows();
}

void TestMainWindow::checkBoxRuleFromCode()
{
    QFETCH(QString, switchName);
    QFETCH(QString, boxName);
    Form1 form;
    auto *check = form.findChild<QCheckBox *>(switchName);
    auto *box = form.findChild<QWidget *>(boxName);
    QVERIFY(check && box);
    const QString text = shownText(box);

    check->setChecked(true);
    QVERIFY(box->isEnabled());
    QCOMPARE(shownText(box), text);
    check->setChecked(false);
    QVERIFY(!box->isEnabled());
    QCOMPARE(shownText(box), text);
    check->setChecked(true);
    QVERIFY(box->isEnabled());
    QCOMPARE(shownText(box), text);
}

void TestMainWindow::handlerReadsSwitchWhenCalledDirectly_data()
{
    addSwitchRows();
}

// Called from code, a handler applies its rule to the switch's current value, whatever the box's
// state was.
void TestMainWindow::handlerReadsSwitchWhenCalledDirectly()
{
    QFETCH(QString, switchName);
    QFETCH(QString, boxName);
    Form1 form;
    auto *check = form.findChild<QCheckBox *>(switchName);
    auto *box = form.findChild<QWidget *>(boxName);
    QVERIFY(check && box);
    const QString text = shownText(box);

    const auto runHandler = [&] {
        if (switchName == QLatin1String("chkLog"))
            form.chkLog_Click();
        else if (switchName == QLatin1String("chkAdd"))
            form.chkAdd_Click();
        else if (switchName == QLatin1String("chkChange"))
            form.chkChange_Click();
        else if (switchName == QLatin1String("chkRemoveResponse"))
            form.chkRemoveResponse_Click();
        else
            form.chkRemove_Click();
    };
    for (const bool ticked : {true, false}) {
        {
            const QSignalBlocker quiet(check);
            check->setChecked(ticked);
        }
        box->setEnabled(!ticked);
        runHandler();
        QCOMPARE(box->isEnabled(), ticked);
        QCOMPARE(shownText(box), text);
    }
}

void TestMainWindow::optionRulesByClick()
{
    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    auto *option1 = form.findChild<QRadioButton *>("Option1");
    auto *option2 = form.findChild<QRadioButton *>("Option2");
    auto *allow = form.findChild<QPlainTextEdit *>("txtAllow");
    QVERIFY(option1 && option2 && allow);
    const QString text = listBoxText(allow);

    clickIndicator(option2);
    QVERIFY(option2->isChecked());
    QVERIFY(allow->isEnabled());
    QCOMPARE(listBoxText(allow), text);
    clickIndicator(option1);
    QVERIFY(option1->isChecked());
    QVERIFY(!allow->isEnabled());
    QCOMPARE(listBoxText(allow), text);

    // Set from code, the same rules run.
    option2->setChecked(true);
    QVERIFY(allow->isEnabled());
    option1->setChecked(true);
    QVERIFY(!allow->isEnabled());
    QCOMPARE(listBoxText(allow), text);
}

void TestMainWindow::bothOptionHandlersReadOption2_data()
{
    QTest::addColumn<bool>("option2Selected");
    QTest::addColumn<bool>("viaOption1");
    QTest::newRow("Option1_Click, Option2 selected") << true << true;
    QTest::newRow("Option1_Click, Option1 selected") << false << true;
    QTest::newRow("Option2_Click, Option2 selected") << true << false;
    QTest::newRow("Option2_Click, Option1 selected") << false << false;
}

void TestMainWindow::bothOptionHandlersReadOption2()
{
    QFETCH(bool, option2Selected);
    QFETCH(bool, viaOption1);
    Form1 form;
    auto *option1 = form.findChild<QRadioButton *>("Option1");
    auto *option2 = form.findChild<QRadioButton *>("Option2");
    auto *allow = form.findChild<QPlainTextEdit *>("txtAllow");
    QVERIFY(option1 && option2 && allow);
    {
        const QSignalBlocker quiet1(option1);
        const QSignalBlocker quiet2(option2);
        (option2Selected ? option2 : option1)->setChecked(true);
    }
    allow->setEnabled(!option2Selected);
    if (viaOption1)
        form.Option1_Click();
    else
        form.Option2_Click();
    QCOMPARE(allow->isEnabled(), option2Selected);
}

void TestMainWindow::rewriteReadsCurrentControls_data()
{
    QTest::addColumn<bool>("onlyAllowed");
    QTest::addColumn<bool>("change");
    QTest::addColumn<bool>("remove");
    QTest::addColumn<bool>("add");
    QTest::addColumn<QString>("allowText");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray request = "GET /a.html HTTP/1.1\r\n";
    QTest::newRow("defaults") << false << false << true << false << QString()
                              << request + "Host: www.example.org\r\nAccept: */*\r\n\r\n";
    QTest::newRow("nothing ticked")
        << false << false << false << false << QString()
        << request + "Host: www.example.org\r\nUser-Agent: U\r\nAccept: */*\r\nCookie: C\r\n\r\n";
    QTest::newRow("allow list, change, add")
        << true << true << false << true << QStringLiteral("Host: *\r\nUser-Agent: *")
        << request + "Host: www.example.org\r\n"
                     "User-Agent: Mozilla/4.0 (compatible; MSIE 7.0; Windows NT 5.1)\r\n"
                     "Via: Vesktor 1.0\r\n\r\n";
    QTest::newRow("default allow list, add")
        << true << false << true << true << QString()
        << request + "Host: www.example.org\r\nAccept: */*\r\nVia: Vesktor 1.0\r\n\r\n";
}

// What the origin receives for one request sent through the running proxy; "{origin}" in the
// request stands for the origin's host and port.
QByteArray TestMainWindow::throughProxy(Form1 &form, const QByteArray &request)
{
    testsupport::OriginServer origin;
    if (!origin.listen())
        return "(no origin)";
    testsupport::ProxyClient client;
    client.connectTo(quint16(form.findChild<QLineEdit *>("txtPort")->text().toUInt()));
    client.send(QByteArray(request).replace("{origin}", origin.authority()));
    if (!QTest::qWaitFor([&] { return origin.hasRequest(0); }, 10000))
        return "(nothing arrived)";
    return origin.received(0).replace(origin.authority(), "{origin}");
}

void TestMainWindow::startOnAnyPort(Form1 &form)
{
    form.findChild<QLineEdit *>("txtPort")->setText(QStringLiteral("0"));
    form.findChild<QPushButton *>("Command1")->click();
}

// The rules are the controls' as they stand when the request comes.
void TestMainWindow::rewriteReadsCurrentControls()
{
    QFETCH(bool, onlyAllowed);
    QFETCH(bool, change);
    QFETCH(bool, remove);
    QFETCH(bool, add);
    QFETCH(QString, allowText);
    QFETCH(QByteArray, expected);

    Form1 form;
    form.findChild<QRadioButton *>(onlyAllowed ? "Option2" : "Option1")->setChecked(true);
    form.findChild<QCheckBox *>("chkChange")->setChecked(change);
    form.findChild<QCheckBox *>("chkRemove")->setChecked(remove);
    form.findChild<QCheckBox *>("chkAdd")->setChecked(add);
    if (!allowText.isNull())
        setListBoxText(form.findChild<QPlainTextEdit *>("txtAllow"), allowText);
    startOnAnyPort(form);

    QCOMPARE(throughProxy(form, "GET http://{origin}/a.html HTTP/1.1\r\nHost: {origin}\r\n"
                                "User-Agent: U\r\nAccept: */*\r\nCookie: C\r\n"
                                "Proxy-Connection: keep-alive\r\n\r\n"),
             expected.replace("www.example.org", "{origin}"));
}

// A box edited between two requests rules the second one: typed into, replaced from code and
// emptied.
void TestMainWindow::rewriteFollowsEditsBetweenRequests()
{
    Form1 form;
    form.findChild<QCheckBox *>("chkAdd")->setChecked(true);
    auto *txtAdd = form.findChild<QPlainTextEdit *>("txtAdd");
    startOnAnyPort(form);
    const QByteArray request = "GET http://{origin}/ HTTP/1.1\r\nHost: {origin}\r\n\r\n";
    const QByteArray head = "GET / HTTP/1.1\r\nHost: {origin}\r\n";

    QCOMPARE(throughProxy(form, request), head + "Via: Vesktor 1.0\r\n\r\n");
    txtAdd->setEnabled(true); // locked while the proxy runs; typing needs it enabled
    txtAdd->moveCursor(QTextCursor::End);
    QTest::keyClick(txtAdd, Qt::Key_Return);
    QTest::keyClicks(txtAdd, "X-Typed: 1");
    QCOMPARE(throughProxy(form, request), head + "Via: Vesktor 1.0\r\nX-Typed: 1\r\n\r\n");
    setListBoxText(txtAdd, QStringLiteral("X-Set: 2"));
    QCOMPARE(throughProxy(form, request), head + "X-Set: 2\r\n\r\n");
    txtAdd->clear();
    QCOMPARE(throughProxy(form, request), head + "\r\n");
}

Q_DECLARE_METATYPE(MessageButtons)
Q_DECLARE_METATYPE(MessageIcon)
Q_DECLARE_METATYPE(MessageAnswer)

void TestMainWindow::realMessageBox_data()
{
    QTest::addColumn<MessageButtons>("buttons");
    QTest::addColumn<MessageIcon>("icon");
    QTest::addColumn<int>("press"); // index of the button pressed; -1: Escape
    QTest::addColumn<MessageAnswer>("answer");

    QTest::newRow("OK") << MessageButtons::Ok << MessageIcon::Critical << 0 << MessageAnswer::Ok;
    QTest::newRow("Yes") << MessageButtons::YesNo << MessageIcon::Question << 0
                         << MessageAnswer::Yes;
    QTest::newRow("No") << MessageButtons::YesNo << MessageIcon::Question << 1 << MessageAnswer::No;
    QTest::newRow("Escape") << MessageButtons::YesNo << MessageIcon::Question << -1
                            << MessageAnswer::No;
    QTest::newRow("Information") << MessageButtons::Ok << MessageIcon::Information << 0
                                 << MessageAnswer::Ok;
}

// The program's own box (no script installed): its title, icon and buttons, the first button
// the default, and the answer it gives back.
void TestMainWindow::realMessageBox()
{
    QFETCH(MessageButtons, buttons);
    QFETCH(MessageIcon, icon);
    QFETCH(int, press);
    QFETCH(MessageAnswer, answer);

    Form1 form;
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    setMessageBoxHandler(nullptr);

    QString title;
    QString text;
    QMessageBox::Icon shownIcon = QMessageBox::NoIcon;
    QList<int> shownButtons;
    int defaultButton = -1;
    bool found = false;
    bool isModal = false;
    QTimer poll;
    int ticks = 0;
    connect(&poll, &QTimer::timeout, &form, [&] {
        // Bounded: the box is open while this timer runs, so it is found on an early tick.
        if (++ticks > 500 || found) {
            poll.stop();
            return;
        }
        QMessageBox *box = nullptr;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *candidate = qobject_cast<QMessageBox *>(window);
                candidate && candidate->isVisible())
                box = candidate;
        }
        if (!box)
            return;
        isModal = QApplication::activeModalWidget() == box;
        found = true;
        title = box->windowTitle();
        text = box->text();
        shownIcon = box->icon();
        const QList<QAbstractButton *> shown = box->buttons();
        for (QAbstractButton *button : shown)
            shownButtons << int(box->standardButton(button));
        if (box->defaultButton())
            defaultButton = int(box->standardButton(box->defaultButton()));
        if (press < 0) {
            QTest::keyClick(box, Qt::Key_Escape);
        } else {
            const QMessageBox::StandardButton wanted = buttons == MessageButtons::Ok
                                                           ? QMessageBox::Ok
                                                       : press == 0 ? QMessageBox::Yes
                                                                    : QMessageBox::No;
            box->button(wanted)->click();
        }
    });
    poll.start(10);
    const MessageAnswer given =
        MsgBox(&form, QStringLiteral("Line one\r\nLine two"), buttons, icon);
    poll.stop();

    QVERIFY(found);
    QVERIFY(isModal);
    QCOMPARE(given, answer);
    QCOMPARE(title, QStringLiteral("Ombrel - Vesktor"));
    QCOMPARE(text, QStringLiteral("Line one\r\nLine two"));
    const QMap<MessageIcon, QMessageBox::Icon> iconShown = {
        {MessageIcon::Critical, QMessageBox::Critical},
        {MessageIcon::Question, QMessageBox::Question},
        {MessageIcon::Information, QMessageBox::Information}};
    QCOMPARE(shownIcon, iconShown.value(icon));
    std::sort(shownButtons.begin(), shownButtons.end());
    if (buttons == MessageButtons::Ok) {
        QCOMPARE(shownButtons, QList<int>({int(QMessageBox::Ok)}));
        QCOMPARE(defaultButton, int(QMessageBox::Ok));
    } else {
        QCOMPARE(shownButtons, QList<int>({int(QMessageBox::Yes), int(QMessageBox::No)}));
        QCOMPARE(defaultButton, int(QMessageBox::Yes));
    }
}

QTEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
