#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTimeZone>

#include <algorithm>

#include "log/request_log.h"
#include "support/test_support.h"

#ifdef Q_OS_UNIX
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using testsupport::readFileBytes;

namespace {

const QByteArray kDateTimeMarker = "<DT>";

// The texts the log may have written for "now" between two moments, longest first, so that a
// date-only midnight text never shadows a full one.
QList<QByteArray> dateTimeTextsBetween(const QDateTime &before, const QDateTime &after)
{
    QList<QByteArray> texts;
    QDateTime moment = before.addMSecs(-before.time().msec());
    for (int i = 0; i < 600 && moment <= after; ++i, moment = moment.addSecs(1))
        texts << RequestLog::dateTimeText(moment, QLocale::system());
    std::sort(texts.begin(), texts.end(),
              [](const QByteArray &a, const QByteArray &b) { return a.size() > b.size(); });
    return texts;
}

// True when content equals the pattern byte for byte, with each <DT> standing for one of the
// given date-time texts.
bool matchesPattern(const QByteArray &content, const QByteArray &pattern,
                    const QList<QByteArray> &dateTimes)
{
    qsizetype at = 0;
    qsizetype from = 0;
    for (;;) {
        const qsizetype marker = pattern.indexOf(kDateTimeMarker, from);
        const QByteArray literal = pattern.mid(from, marker < 0 ? -1 : marker - from);
        if (content.mid(at, literal.size()) != literal)
            return false;
        at += literal.size();
        if (marker < 0)
            return at == content.size();
        from = marker + kDateTimeMarker.size();
        const auto found = std::find_if(dateTimes.begin(), dateTimes.end(), [&](const auto &text) {
            return content.mid(at, text.size()) == text;
        });
        if (found == dateTimes.end())
            return false;
        at += found->size();
    }
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray allBytesFrom(int first, int last)
{
    QByteArray bytes;
    for (int b = first; b <= last; ++b)
        bytes.append(char(b));
    return bytes;
}

} // namespace

class TestRequestLog : public QObject {
    Q_OBJECT

private slots:
    void missingFileIsCreatedWithStartEntryFirst();
    void existingContentIsKept_data();
    void existingContentIsKept();
    void twoRunsGiveExactByteSequence();
    void openFileResult_data();
    void openFileResult();
    void reopeningAfterFailedOpenLeavesLogClosed();
    void writesWhileClosedDoNothing();
    void entriesAreVisibleBeforeClose();
    void failedWriteIsSkipped();
    void headerEntryCopiesBytes_data();
    void headerEntryCopiesBytes();
    void requestEntryEscapesAddress();
    void escapeControlBytes_data();
    void escapeControlBytes();
    void dateTimeTextWithoutRegionalSettings_data();
    void dateTimeTextWithoutRegionalSettings();
    void dateTimeTextOfRealLocale_data();
    void dateTimeTextOfRealLocale();
    void dateTimeTextOfFormat_data();
    void dateTimeTextOfFormat();
};

void TestRequestLog::missingFileIsCreatedWithStartEntryFirst()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");
    QVERIFY(!QFile::exists(path));

    RequestLog log;
    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(log.OpenFile(path));
    QVERIFY(log.isOpen());
    log.writeStartEntry();
    log.Close();
    const QDateTime after = QDateTime::currentDateTime();

    QVERIFY(!log.isOpen());
    const QByteArray content = readFileBytes(path);
    QVERIFY2(
        matchesPattern(content, "<DT>\tVesktor Started\r\n", dateTimeTextsBetween(before, after)),
        content.toPercentEncoding().constData());
}

void TestRequestLog::existingContentIsKept_data()
{
    QTest::addColumn<QByteArray>("existing");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("previous run") << QByteArray("2024-01-01 10:00:00\tVesktor Started\r\n"
                                                "2024-01-01 10:05:00\tVesktor Stopped\r\n\r\n");
    QTest::newRow("no line end") << QByteArray("last line without end");
    QTest::newRow("binary") << allBytesFrom(0, 255);
}

void TestRequestLog::existingContentIsKept()
{
    QFETCH(QByteArray, existing);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");
    QVERIFY(writeFile(path, existing));

    RequestLog log;
    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(log.OpenFile(path));
    QCOMPARE(readFileBytes(path), existing); // opening alone must not truncate
    log.writeStartEntry();
    log.Close();
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray content = readFileBytes(path);
    QCOMPARE(content.left(existing.size()), existing);
    QVERIFY2(matchesPattern(content.mid(existing.size()), "<DT>\tVesktor Started\r\n",
                            dateTimeTextsBetween(before, after)),
             content.toPercentEncoding().constData());
}

void TestRequestLog::twoRunsGiveExactByteSequence()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog log;
    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(log.OpenFile(path));
    log.writeStartEntry();
    log.writeRequestEntry("192.168.1.20");
    log.writeHeaderEntry("Host: example.com");
    log.writeStopEntry();
    log.Close();
    QVERIFY(log.OpenFile(path));
    log.writeStartEntry();
    log.writeRequestEntry("127.0.0.1");
    log.writeHeaderEntry("Accept: */*");
    log.writeStopEntry();
    log.Close();
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray expected = "<DT>\tVesktor Started\r\n"
                                "<DT>\tNew Request Received From\t192.168.1.20\r\n"
                                "\t\t\t    Host: example.com\r\n"
                                "<DT>\tVesktor Stopped\r\n"
                                "\r\n"
                                "<DT>\tVesktor Started\r\n"
                                "<DT>\tNew Request Received From\t127.0.0.1\r\n"
                                "\t\t\t    Accept: */*\r\n"
                                "<DT>\tVesktor Stopped\r\n"
                                "\r\n";
    const QByteArray content = readFileBytes(path);
    QVERIFY2(matchesPattern(content, expected, dateTimeTextsBetween(before, after)),
             content.toPercentEncoding().constData());
}

void TestRequestLog::openFileResult_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("expected");
    QTest::newRow("empty path") << "empty" << false;
    QTest::newRow("folder") << "folder" << false;
    QTest::newRow("path in a missing folder") << "missing folder" << false;
    QTest::newRow("read-only file") << "read-only" << false;
#ifdef Q_OS_UNIX
    QTest::newRow("fifo") << "fifo" << false;
#endif
    QTest::newRow("new file") << "new" << true;
    QTest::newRow("existing writable file") << "existing" << true;
    QTest::newRow("file writable by its owner only") << "owner-write" << true;
}

void TestRequestLog::openFileResult()
{
    QFETCH(QString, kind);
    QFETCH(bool, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray oldContent = "old\r\n";
    QString path = dir.filePath("Log.txt");
    int fifoReader = -1;

    if (kind == "empty") {
        path.clear();
    } else if (kind == "folder") {
        path = dir.path();
    } else if (kind == "missing folder") {
        path = dir.filePath("missing/Log.txt");
    } else if (kind == "read-only" || kind == "existing" || kind == "owner-write") {
        QVERIFY(writeFile(path, oldContent));
        const QFileDevice::Permissions readOnly =
            QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther;
        if (kind == "read-only")
            QVERIFY(QFile::setPermissions(path, readOnly));
        if (kind == "owner-write")
            QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
#ifdef Q_OS_UNIX
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0666), 0);
        // A reader is present so that a wrong open would succeed rather than block the test.
        fifoReader = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(fifoReader >= 0);
#endif
    }

    RequestLog log;
    const bool opened = log.OpenFile(path);
    const bool isOpen = log.isOpen();
    log.writeHeaderEntry("X: 1");
    log.Close();
#ifdef Q_OS_UNIX
    if (fifoReader >= 0)
        ::close(fifoReader);
#endif

    QCOMPARE(opened, expected);
    QCOMPARE(isOpen, expected);
    if (kind == "missing folder")
        QVERIFY(!QDir(dir.filePath("missing")).exists());
    if (kind == "read-only")
        QCOMPARE(readFileBytes(path), oldContent);
    if (kind == "new")
        QCOMPARE(readFileBytes(path), QByteArray("\t\t\t    X: 1\r\n"));
    if (kind == "existing" || kind == "owner-write")
        QCOMPARE(readFileBytes(path), oldContent + "\t\t\t    X: 1\r\n");
}

void TestRequestLog::reopeningAfterFailedOpenLeavesLogClosed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog log;
    QVERIFY(log.OpenFile(path));
    QVERIFY(!log.OpenFile(dir.path()));
    QVERIFY(!log.isOpen());
    log.writeHeaderEntry("X: 1");
    QCOMPARE(readFileBytes(path), QByteArray());
}

void TestRequestLog::writesWhileClosedDoNothing()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog neverOpened;
    neverOpened.writeStartEntry();
    neverOpened.writeRequestEntry("10.0.0.1");
    neverOpened.writeHeaderEntry("Host: a");
    neverOpened.writeStopEntry();
    neverOpened.Close();
    QVERIFY(!neverOpened.isOpen());

    RequestLog log;
    QVERIFY(log.OpenFile(path));
    log.writeHeaderEntry("Host: a");
    log.Close();
    log.writeStartEntry();
    log.writeRequestEntry("10.0.0.1");
    log.writeHeaderEntry("Host: b");
    log.writeStopEntry();
    QCOMPARE(readFileBytes(path), QByteArray("\t\t\t    Host: a\r\n"));
}

void TestRequestLog::entriesAreVisibleBeforeClose()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog log;
    QVERIFY(log.OpenFile(path));
    log.writeHeaderEntry("Host: a");
    QCOMPARE(readFileBytes(path), QByteArray("\t\t\t    Host: a\r\n"));
    log.writeHeaderEntry("Host: b");
    QCOMPARE(readFileBytes(path), QByteArray("\t\t\t    Host: a\r\n\t\t\t    Host: b\r\n"));
}

void TestRequestLog::failedWriteIsSkipped()
{
#ifdef Q_OS_UNIX
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");
    const QByteArray existing = "before\r\n";
    QVERIFY(writeFile(path, existing));

    RequestLog log;
    QVERIFY(log.OpenFile(path));

    // A file size limit at the current size makes every write to the file fail (EFBIG).
    // Nothing else may be written while it is in force, so checks wait until it is lifted.
    rlimit original{};
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &original), 0);
    rlimit limited = original;
    limited.rlim_cur = rlim_t(existing.size());
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    const int limitSet = ::setrlimit(RLIMIT_FSIZE, &limited);
    log.writeStartEntry();
    const int limitLifted = ::setrlimit(RLIMIT_FSIZE, &original);
    std::signal(SIGXFSZ, previousHandler);
    QCOMPARE(limitSet, 0);
    QCOMPARE(limitLifted, 0);

    QVERIFY(log.isOpen());
    QCOMPARE(readFileBytes(path), existing);
    log.writeHeaderEntry("Host: a");
    log.Close();
    QCOMPARE(readFileBytes(path), existing + "\t\t\t    Host: a\r\n");
#else
    QSKIP("needs a POSIX file size limit");
#endif
}

void TestRequestLog::headerEntryCopiesBytes_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("written");
    const auto copied = [](const char *name, const QByteArray &line) {
        QTest::newRow(name) << line << line;
    };
    copied("plain", "Host: example.com");
    copied("empty line", "");
    copied("tabs and blanks", " \tX-A:\t b ");
    copied("bytes 0x80 and above", allBytesFrom(0x80, 0xFF));
    copied("UTF-8 sequence", "X-Name: \xC3\xA9t\xC3\xA9 \xE2\x82\xAC");
    QTest::newRow("forged entry") << QByteArray("X-A: a\r\n2024-01-01 00:00:00\tVesktor Stopped")
                                  << QByteArray(
                                         "X-A: a\\x0d\\x0a2024-01-01 00:00:00\tVesktor Stopped");
    QTest::newRow("every control byte")
        << QByteArray("Cookie: ") + allBytesFrom(0, 0x20) + allBytesFrom(0x7E, 0x80)
        << QByteArray("Cookie: \\x00\\x01\\x02\\x03\\x04\\x05\\x06\\x07\\x08\t\\x0a\\x0b\\x0c\\x0d"
                      "\\x0e\\x0f\\x10\\x11\\x12\\x13\\x14\\x15\\x16\\x17\\x18\\x19\\x1a\\x1b\\x1c"
                      "\\x1d\\x1e\\x1f ~\\x7f\x80");
}

void TestRequestLog::headerEntryCopiesBytes()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, written);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog log;
    QVERIFY(log.OpenFile(path));
    log.writeHeaderEntry(line);
    log.Close();
    QCOMPARE(readFileBytes(path), QByteArray("\t\t\t    ") + written + "\r\n");
}

void TestRequestLog::requestEntryEscapesAddress()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("Log.txt");

    RequestLog log;
    const QDateTime before = QDateTime::currentDateTime();
    QVERIFY(log.OpenFile(path));
    log.writeRequestEntry(QStringLiteral("::1\r\n"));
    log.Close();
    const QDateTime after = QDateTime::currentDateTime();

    const QByteArray content = readFileBytes(path);
    QVERIFY2(matchesPattern(content, "<DT>\tNew Request Received From\t::1\\x0d\\x0a\r\n",
                            dateTimeTextsBetween(before, after)),
             content.toPercentEncoding().constData());
}

void TestRequestLog::escapeControlBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("escaped");
    const auto row = [](const char *name, const QByteArray &bytes, const QByteArray &escaped) {
        QTest::newRow(name) << bytes << escaped;
    };
    row("LF", "a\nb", "a\\x0ab");
    row("CR", "a\rb", "a\\x0db");
    row("NUL", QByteArray("a\0b", 3), "a\\x00b");
    row("ESC", "\x1b[2J", "\\x1b[2J");
    row("DEL", "a\x7f", "a\\x7f");
    row("tab kept", "a\tb", "a\tb");
    row("UTF-8 kept", "\xC3\xA9\xE2\x82\xAC", "\xC3\xA9\xE2\x82\xAC");
    row("forged entry", "\r\n2024-01-01 00:00:00\tVesktor Stopped",
        "\\x0d\\x0a2024-01-01 00:00:00\tVesktor Stopped");
    row("NEL",
        "a\xC2\x85"
        "b",
        "a\\xc2\\x85b");
    row("line separator",
        "\xE2\x80\xA8"
        "2024-01-01 00:00:00\tVesktor Stopped",
        "\\xe2\\x80\\xa82024-01-01 00:00:00\tVesktor Stopped");
    row("paragraph separator", "a\xE2\x80\xA9", "a\\xe2\\x80\\xa9");
    row("other U+20xx kept", "\xE2\x80\xA6\xE2\x80\xAA", "\xE2\x80\xA6\xE2\x80\xAA");
    row("half a separator kept", "\xE2\x80", "\xE2\x80");
    row("empty", "", "");
}

void TestRequestLog::escapeControlBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, escaped);
    QCOMPARE(::escapeControlBytes(bytes), escaped);
}

void TestRequestLog::dateTimeTextWithoutRegionalSettings_data()
{
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QByteArray>("expected");
    const QDate day(2024, 3, 5);
    QTest::newRow("midnight") << QDateTime(day, QTime(0, 0)) << QByteArray("2024-03-05");
    QTest::newRow("midnight with milliseconds")
        << QDateTime(day, QTime(0, 0, 0, 999)) << QByteArray("2024-03-05");
    QTest::newRow("one second past midnight")
        << QDateTime(day, QTime(0, 0, 1)) << QByteArray("2024-03-05 00:00:01");
    QTest::newRow("one minute past midnight")
        << QDateTime(day, QTime(0, 1, 0)) << QByteArray("2024-03-05 00:01:00");
    QTest::newRow("afternoon") << QDateTime(day, QTime(14, 7, 9))
                               << QByteArray("2024-03-05 14:07:09");
    QTest::newRow("noon") << QDateTime(day, QTime(12, 0)) << QByteArray("2024-03-05 12:00:00");
    QTest::newRow("last second of the year")
        << QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59, 999))
        << QByteArray("2024-12-31 23:59:59");
}

void TestRequestLog::dateTimeTextWithoutRegionalSettings()
{
    QFETCH(QDateTime, moment);
    QFETCH(QByteArray, expected);
    QCOMPARE(RequestLog::dateTimeText(moment, QLocale::c()), expected);
    QCOMPARE(RequestLog::dateTimeText(moment, QLocale("C")), expected);
}

void TestRequestLog::dateTimeTextOfRealLocale_data()
{
    // Moments in UTC, so that a zone name, were one written, would read "UTC" on any machine.
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QByteArray>("expected");
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    const QLocale de(QLocale::German, QLocale::Germany);
    const QDate day(2024, 3, 5);
    const auto at = [&day](int hour, int minute, int second, int ms = 0) {
        return QDateTime(day, QTime(hour, minute, second, ms), QTimeZone::utc());
    };
    QTest::newRow("en_US midnight") << us << at(0, 0, 0) << QByteArray("3/5/24");
    QTest::newRow("en_US midnight with milliseconds")
        << us << at(0, 0, 0, 500) << QByteArray("3/5/24");
    QTest::newRow("en_US one second past midnight")
        << us << at(0, 0, 1) << QByteArray("3/5/24 12:00:01 AM");
    QTest::newRow("en_US afternoon, no zone name")
        << us << at(14, 7, 9) << QByteArray("3/5/24 2:07:09 PM");
    QTest::newRow("de_DE midnight") << de << at(0, 0, 0) << QByteArray("05.03.24");
    QTest::newRow("de_DE evening") << de << at(21, 30, 45) << QByteArray("05.03.24 21:30:45");
    // The zone comes first here.
    QTest::newRow("zh_CN") << QLocale(QLocale::Chinese, QLocale::China) << at(14, 7, 9)
                           << QByteArray("2024/3/5 14:07:09");
    // Digits and signs beyond Latin-1: the form used without regional settings.
    QTest::newRow("ar_EG, Arabic digits") << QLocale(QLocale::Arabic, QLocale::Egypt)
                                          << at(14, 7, 9) << QByteArray("2024-03-05 14:07:09");
    QTest::newRow("ar_EG midnight")
        << QLocale(QLocale::Arabic, QLocale::Egypt) << at(0, 0, 0) << QByteArray("2024-03-05");
    QTest::newRow("fa_IR, Persian digits, zone in brackets")
        << QLocale(QLocale::Persian, QLocale::Iran) << at(14, 7, 9)
        << QByteArray("2024-03-05 14:07:09");
    QTest::newRow("ja_JP, signs in the time") << QLocale(QLocale::Japanese, QLocale::Japan)
                                              << at(14, 7, 9) << QByteArray("2024-03-05 14:07:09");
}

void TestRequestLog::dateTimeTextOfRealLocale()
{
    QFETCH(QLocale, locale);
    QFETCH(QDateTime, moment);
    QFETCH(QByteArray, expected);
    const QByteArray text = RequestLog::dateTimeText(moment, locale);
    QCOMPARE(text, expected);
    QVERIFY(!text.contains('?'));
}

void TestRequestLog::dateTimeTextOfFormat_data()
{
    // Formats given rather than taken from the locale, whose data differs between Qt versions.
    QTest::addColumn<QString>("timeFormat");
    QTest::addColumn<QDateTime>("moment");
    QTest::addColumn<QByteArray>("expected");
    const QDate day(2024, 3, 5);
    const QDateTime afternoon(day, QTime(14, 7, 9), QTimeZone::utc());
    QTest::newRow("blank before AM/PM")
        << QStringLiteral("h:mm:ss AP t") << afternoon << QByteArray("3/5/24 2:07:09 PM");
    QTest::newRow("narrow no-break space before AM/PM")
        << QStringLiteral("h:mm:ss\u202FAP t") << afternoon << QByteArray("2024-03-05 14:07:09");
    QTest::newRow("narrow no-break space, midnight")
        << QStringLiteral("h:mm:ss\u202FAP t") << QDateTime(day, QTime(0, 0), QTimeZone::utc())
        << QByteArray("3/5/24");
}

void TestRequestLog::dateTimeTextOfFormat()
{
    QFETCH(QString, timeFormat);
    QFETCH(QDateTime, moment);
    QFETCH(QByteArray, expected);
    const QLocale us(QLocale::English, QLocale::UnitedStates);
    QCOMPARE(RequestLog::dateTimeText(moment, us, QStringLiteral("M/d/yy"), timeFormat), expected);
}

QTEST_GUILESS_MAIN(TestRequestLog)
#include "test_request_log.moc"
