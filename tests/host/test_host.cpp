// Runs the proxy window without a screen so that outside programs (curl, a browser, a web
// server) can talk through it. The settings are typed into the window's controls and Start is
// clicked, exactly as a user would do it; the program itself has no command line. The window
// starts from the defaults: its remembered settings live in a temporary folder of this process
// (temporary_config_home.cpp), so neither the user's nor another run's are read or overwritten.
//
// Prints "listening <port>" on stdout once the proxy runs, then serves until SIGTERM, SIGINT
// or the end of stdin, clicks Stop (so a log gets its stop entry) and prints
// "peak connections <n>", the highest connection count the window showed.
//
// --head-timeout MS shortens how long a request's head may take to arrive, so that a client
// holding slots with a trickle of bytes can be seen let go.
//
// While it serves, a 10 ms timer runs on the window's thread, and lines on stdin are commands:
//   lateness reset    forgets the worst lateness seen so far;
//   lateness report   prints "timer lateness <ms>", the worst lateness since the start or the
//                     last reset: the longest time between two of the timer's timeouts, less
//                     10 ms. It is how long the window could not handle its events;
//   requests report   prints "requests rows <n>", the rows the Requests window lists;
//   requests select N selects row N of the Requests window (its header panes fill);
//   grab NAME PATH    saves a picture of the window whose objectName is NAME as PATH (PNG),
//                     and prints "grabbed PATH";
//   export-bundle PATH  clicks Export CA Certificate... and saves the CA bundle for
//                     command-line tools as PATH; the box that follows goes to stderr.
//
// --requests-window opens the Requests window once the proxy runs, so that every request is
// recorded and listed as a user watching it would have it.
#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <unistd.h>

#include "app/main_window.h"
#include "app/message_box.h"
#include "net/session/session_timeouts.h"
#include "support/fixed_names.h"

namespace {

int signalPipe[2] = {-1, -1};

void onStopSignal(int)
{
    const char byte = 1;
    // Nothing useful can be done in a signal handler when the pipe is full: a byte is already
    // waiting then.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
}

[[noreturn]] void fail(const QString &text, int code)
{
    std::fprintf(stderr, "test host: %s\n", qPrintable(text));
    std::exit(code);
}

template <typename Control> Control *control(QWidget &form, const char *objectName)
{
    auto *found = form.findChild<Control *>(QString::fromLatin1(objectName));
    if (!found)
        fail(QStringLiteral("the window has no control named %1").arg(objectName), 2);
    return found;
}

void tick(QWidget &form, const char *objectName, bool isTicked)
{
    control<QCheckBox>(form, objectName)->setChecked(isTicked);
}

// The window, watched: every count it shows is also remembered, so that the highest number of
// simultaneous browser connections can be reported at the end.
class ObservedForm : public Form1 {
public:
    void showConnectionCount(const QString &caption) override
    {
        Form1::showConnectionCount(caption);
        peakConnections = qMax(peakConnections, caption.trimmed().toInt());
    }

    int peakConnections = 0;
};

// The window thread's responsiveness, as the lateness of a precise 10 ms timer: the time from
// one timeout to the next, less the interval, is how long the window thread was kept from its
// events beyond what it asked for.
class LatenessWatch {
public:
    LatenessWatch()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(kIntervalNs / 1000000);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_worstNs = qMax(m_worstNs, now - m_previousNs - kIntervalNs);
            m_previousNs = now;
        });
        m_clock.start();
        m_timer.start();
    }

    void reset() { m_worstNs = 0; }
    double worstMilliseconds() const { return m_worstNs / 1e6; }

private:
    static constexpr qint64 kIntervalNs = 10000000;
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_previousNs = 0;
    qint64 m_worstNs = 0;
};

void runCommand(const QByteArray &line, LatenessWatch &lateness, QWidget &form)
{
    auto *list = form.findChild<QTableView *>(QStringLiteral("lvwRequests"));
    if (line == "requests report") {
        std::printf("requests rows %d\n", list ? list->model()->rowCount() : 0);
        std::fflush(stdout);
    } else if (line.startsWith("requests select ") && list) {
        list->selectRow(line.mid(16).toInt());
    } else if (line.startsWith("grab ")) {
        const QList<QByteArray> words = line.split(' ');
        auto *window = words.size() == 3
                           ? (words[1] == form.objectName().toLatin1()
                                  ? &form
                                  : form.findChild<QWidget *>(QString::fromLatin1(words[1])))
                           : nullptr;
        if (window && window->grab().save(QString::fromLocal8Bit(words[2]), "PNG"))
            std::printf("grabbed %s\n", words[2].constData());
        else
            std::fprintf(stderr, "test host: could not grab \"%s\"\n", line.constData());
        std::fflush(stdout);
        std::fflush(stderr);
    } else if (line.startsWith("export-bundle ")) {
        const QString path = QString::fromLocal8Bit(line.mid(14));
        setSaveFileHandler(
            [&path](QWidget *, const QString &, const QString &, const QStringList &filters) {
                return SaveChoice{path, int(filters.size()) - 1};
            });
        if (auto *button = form.findChild<QPushButton *>(QStringLiteral("cmdExportCA")))
            button->click();
        setSaveFileHandler({});
    } else if (line == "lateness reset") {
        lateness.reset();
    } else if (line == "lateness report") {
        std::printf("timer lateness %.1f\n", lateness.worstMilliseconds());
        std::fflush(stdout);
    } else if (!line.isEmpty()) {
        std::fprintf(stderr, "test host: unknown command \"%s\"\n", line.constData());
        std::fflush(stderr);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Runs the proxy window headless with the given settings."));
    parser.addHelpOption();
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on (0: any free port)."),
                                  QStringLiteral("N"), QStringLiteral("8080"));
    const QCommandLineOption maxThreads(QStringLiteral("max-threads"),
                                        QStringLiteral("Connection limit."), QStringLiteral("T"));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Tick Log: and write the log to PATH."),
                                 QStringLiteral("PATH"));
    const QCommandLineOption allowOnly(QStringLiteral("allow-only"),
                                       QStringLiteral("Select \"Only allow these headers.\"."));
    const QCommandLineOption change(QStringLiteral("change"),
                                    QStringLiteral("Tick \"Replace these headers:\"."));
    const QCommandLineOption noRemove(QStringLiteral("no-remove"),
                                      QStringLiteral("Untick \"Remove these headers:\"."));
    const QCommandLineOption add(QStringLiteral("add"),
                                 QStringLiteral("Tick \"Add these headers:\"."));
    const QCommandLineOption unknownHost(
        QStringLiteral("unknown-host"),
        QStringLiteral("A host name the proxy finds unknown at once, without asking this "
                       "machine's resolver."),
        QStringLiteral("NAME"));
    const QCommandLineOption headTimeout(
        QStringLiteral("head-timeout"),
        QStringLiteral("How long a request's head may take to arrive, instead of a minute."),
        QStringLiteral("MS"));
    const QCommandLineOption inspect(QStringLiteral("inspect"),
                                     QStringLiteral("Tick \"Apply the rules to HTTPS\"."));
    const QCommandLineOption noInspect(
        QStringLiteral("no-inspect"),
        QStringLiteral("A host pattern never to inspect (may be given more than once)."),
        QStringLiteral("PATTERN"));
    const QCommandLineOption removeResponse(
        QStringLiteral("remove-response"),
        QStringLiteral("Tick \"Remove these response headers:\"."));
    const QCommandLineOption requestsWindow(
        QStringLiteral("requests-window"),
        QStringLiteral("Open the Requests window once the proxy runs."));
    parser.addOptions({port, maxThreads, log, allowOnly, change, noRemove, add, unknownHost,
                       headTimeout, inspect, noInspect, removeResponse, requestsWindow});
    parser.process(app);
    if (parser.isSet(headTimeout)) {
        SessionTimeouts timeouts;
        timeouts.head = std::chrono::milliseconds(parser.value(headTimeout).toLongLong());
        setSessionTimeouts(timeouts);
    }
    // The tests' own names are always answered here, as in the test programs.
    testsupport::installFixedAnswers(parser.isSet(unknownHost)
                                         ? QList<QByteArray>{parser.value(unknownHost).toLatin1()}
                                         : QList<QByteArray>{});

    // While the host shuts down, "stop anyway?" is answered Yes: it was told to stop. Every
    // other question is answered No, every notice OK, and all of them are shown on stderr.
    bool isShuttingDown = false;
    setMessageBoxHandler([&isShuttingDown](QWidget *, const MessageRequest &request) {
        std::fprintf(stderr, "message box: %s\n",
                     qPrintable(QString(request.text).replace(QLatin1String("\r\n"), " / ")));
        std::fflush(stderr);
        if (request.buttons == MessageButtons::Ok)
            return MessageAnswer::Ok;
        return isShuttingDown ? MessageAnswer::Yes : MessageAnswer::No;
    });

    ObservedForm form;
    control<QLineEdit>(form, "txtPort")->setText(parser.value(port));
    if (parser.isSet(maxThreads))
        control<QLineEdit>(form, "txtMaxThr")->setText(parser.value(maxThreads));
    if (parser.isSet(log)) {
        tick(form, "chkLog", true);
        control<QLineEdit>(form, "txtLogPath")->setText(parser.value(log));
    }
    if (parser.isSet(allowOnly))
        control<QRadioButton>(form, "Option2")->setChecked(true);
    if (parser.isSet(change))
        tick(form, "chkChange", true);
    if (parser.isSet(noRemove))
        tick(form, "chkRemove", false);
    if (parser.isSet(add))
        tick(form, "chkAdd", true);
    if (parser.isSet(inspect))
        tick(form, "chkInspect", true);
    if (parser.isSet(removeResponse))
        tick(form, "chkRemoveResponse", true);
    if (parser.isSet(noInspect))
        control<QPlainTextEdit>(form, "txtNoInspect")
            ->setPlainText(parser.values(noInspect).join(QLatin1Char('\n')));

    form.show();
    if (!QTest::qWaitForWindowExposed(&form))
        fail(QStringLiteral("the window was not shown"), 2);
    auto *command1 = control<QPushButton>(form, "Command1");
    QTest::mouseClick(command1, Qt::LeftButton);
    if (command1->text() != QLatin1String("Stop"))
        fail(
            QStringLiteral("the proxy did not start (Command1 reads \"%1\")").arg(command1->text()),
            3);
    if (parser.isSet(requestsWindow))
        QTest::mouseClick(control<QPushButton>(form, "cmdRequests"), Qt::LeftButton);
    // With port 0 the window shows the port the system chose.
    std::printf("listening %s\n", qPrintable(control<QLineEdit>(form, "txtPort")->text()));
    std::fflush(stdout);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0)
        fail(QStringLiteral("no signal pipe"), 2);
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    // A loop of its own: QCoreApplication::quit() would first ask the window to close, and the
    // window asks "Are you sure you want to exit?".
    QEventLoop serving;
    LatenessWatch lateness;
    QByteArray commandText;
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &serving, &QEventLoop::quit);
    QSocketNotifier stdinNotifier(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinNotifier, &QSocketNotifier::activated, &serving,
                     [&serving, &stdinNotifier, &commandText, &lateness, &form] {
                         char buffer[256];
                         const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
                         if (count <= 0) {
                             stdinNotifier.setEnabled(false);
                             serving.quit();
                             return;
                         }
                         commandText.append(buffer, count);
                         for (qsizetype end = commandText.indexOf('\n'); end >= 0;
                              end = commandText.indexOf('\n')) {
                             runCommand(commandText.left(end).trimmed(), lateness, form);
                             commandText.remove(0, end + 1);
                         }
                     });
    serving.exec();

    isShuttingDown = true;
    if (command1->text() == QLatin1String("Stop"))
        QTest::mouseClick(command1, Qt::LeftButton);
    std::printf("peak connections %d\n", form.peakConnections);
    std::fflush(stdout);
    return command1->text() == QLatin1String("Start") ? 0 : 4;
}
