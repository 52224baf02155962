#include "log/request_log.h"

#include <QFileInfo>

bool RequestLog::OpenFile(const QString &strFilename)
{
    Close();
    if (strFilename.isEmpty())
        return false;

    const QFileInfo info(strFilename);
    if (info.exists()) {
        // Only a plain file will do: a folder cannot be written, and opening a FIFO for writing
        // would block the one thread until some reader turns up.
        if (!info.isFile())
            return false;
        // A file without any write bit counts as read-only. The bits are checked directly
        // because open() ignores them for root, and a read-only log must be refused whoever
        // runs the proxy.
        const auto writeBits =
            QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
        if (!(info.permissions() & writeBits))
            return false;
    }

    // Append keeps what the file holds (plain WriteOnly would truncate it) and puts every entry
    // after the file's last byte, so another writer's lines are never overwritten. Unbuffered
    // makes each entry one write that other readers see at once.
    m_file.setFileName(strFilename);
    return m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
}

bool RequestLog::isOpen() const
{
    return m_file.isOpen();
}

void RequestLog::Close()
{
    m_file.close();
}

void RequestLog::writeStartEntry()
{
    if (!isOpen())
        return;
    strLogLine =
        dateTimeText(QDateTime::currentDateTime(), QLocale::system()) + "\tVesktor Started\r\n";
    writeLogLine();
}

void RequestLog::writeRequestEntry(const QString &clientIp)
{
    if (!isOpen())
        return;
    strLogLine = dateTimeText(QDateTime::currentDateTime(), QLocale::system()) +
                 "\tNew Request Received From\t" + escapeControlBytes(clientIp.toUtf8()) + "\r\n";
    writeLogLine();
}

void RequestLog::writeCertificateNotTrustedEntry(const QString &clientIp, const QString &host)
{
    if (!isOpen())
        return;
    strLogLine = dateTimeText(QDateTime::currentDateTime(), QLocale::system()) +
                 "\tCertificate Not Trusted By\t" + escapeControlBytes(clientIp.toUtf8()) + '\t' +
                 escapeControlBytes(host.toUtf8()) + "\r\n";
    writeLogLine();
}

void RequestLog::writeHeaderEntry(const QByteArray &headerLine)
{
    if (!isOpen())
        return;
    strLogLine = "\t\t\t    " + escapeControlBytes(headerLine) + "\r\n";
    writeLogLine();
}

void RequestLog::writeStopEntry()
{
    if (!isOpen())
        return;
    strLogLine =
        dateTimeText(QDateTime::currentDateTime(), QLocale::system()) + "\tVesktor Stopped\r\n\r\n";
    writeLogLine();
}

namespace {

// The form used without regional settings, and wherever the locale's own text would not survive
// the log's one byte per character: ISO-like, date first.
QByteArray isoDateTimeText(const QDateTime &moment, bool isMidnight)
{
    return QLocale::c()
        .toString(moment, isMidnight ? "yyyy-MM-dd" : "yyyy-MM-dd HH:mm:ss")
        .toLatin1();
}

// The format with runs of plain blanks, as left where a zone name was taken out, made one and
// none at either end. Only the ASCII blank counts: another space, such as the narrow no-break
// space some locales put before AM/PM, is part of the format and must reach the Latin-1 test.
QString collapsedBlanks(const QString &format)
{
    QString result;
    for (const QChar c : format) {
        if (c == u' ' && (result.isEmpty() || result.endsWith(u' ')))
            continue;
        result += c;
    }
    if (result.endsWith(u' '))
        result.chop(1);
    return result;
}

// The long time format without its time-zone name. The system's long time names no zone, but
// Qt's long format appends one ("t", or "(t)"); quoted text is left alone.
QString withoutTimeZone(const QString &format)
{
    QString result;
    bool isQuoted = false;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c == u'\'') {
            isQuoted = !isQuoted;
            result += c;
            continue;
        }
        if (isQuoted || c != u't') {
            result += c;
            continue;
        }
        while (i + 1 < format.size() && format.at(i + 1) == u't')
            ++i;
        // "(t)" goes whole.
        if (result.endsWith(u'(') && i + 1 < format.size() && format.at(i + 1) == u')') {
            result.chop(1);
            ++i;
        }
    }
    return collapsedBlanks(result);
}

bool isLatin1(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return false;
    }
    return true;
}

} // namespace

QByteArray escapeControlBytes(QByteArrayView bytes)
{
    static const char kHexDigits[] = "0123456789abcdef";
    const auto escapeByte = [](QByteArray &into, uchar byte) {
        into += "\\x";
        into += kHexDigits[byte >> 4];
        into += kHexDigits[byte & 0xf];
    };
    QByteArray escaped;
    escaped.reserve(bytes.size());
    for (qsizetype at = 0; at < bytes.size();) {
        const uchar byte = uchar(bytes[at]);
        const bool isControl = (byte < 0x20 && byte != '\t') || byte == 0x7f;
        const qsizetype escapedRun = isControl ? 1 : unicodeLineBreakSizeAt(bytes, at);
        if (escapedRun == 0) {
            escaped += char(byte);
            ++at;
            continue;
        }
        for (const qsizetype end = at + escapedRun; at < end; ++at)
            escapeByte(escaped, uchar(bytes[at]));
    }
    return escaped;
}

qsizetype unicodeLineBreakSizeAt(QByteArrayView bytes, qsizetype at)
{
    const QByteArrayView rest = bytes.sliced(at);
    if (rest.startsWith("\xc2\x85"))
        return 2;
    if (rest.startsWith("\xe2\x80\xa8") || rest.startsWith("\xe2\x80\xa9"))
        return 3;
    return 0;
}

QByteArray RequestLog::dateTimeText(const QDateTime &moment, const QLocale &locale)
{
    return dateTimeText(moment, locale, locale.dateFormat(QLocale::ShortFormat),
                        locale.timeFormat(QLocale::LongFormat));
}

QByteArray RequestLog::dateTimeText(const QDateTime &moment, const QLocale &locale,
                                    const QString &dateFormat, const QString &timeFormat)
{
    // The log shows whole seconds, so any moment within the first second of a day is midnight.
    const QTime time = moment.time();
    const bool isMidnight = time.hour() == 0 && time.minute() == 0 && time.second() == 0;

    if (locale.language() == QLocale::C)
        return isoDateTimeText(moment, isMidnight);

    QString text = locale.toString(moment, dateFormat);
    if (!isMidnight)
        text += ' ' + locale.toString(moment, withoutTimeZone(timeFormat));
    // Newer locale data puts a narrow no-break space before AM/PM, and some locales write their
    // own digits: a "?" in their place would say nothing, so the ISO form is written instead.
    if (!isLatin1(text))
        return isoDateTimeText(moment, isMidnight);
    return text.toLatin1();
}

void RequestLog::writeLogLine()
{
    // A failed write is dropped on purpose: the proxy carries on and the next entry follows.
    m_file.write(strLogLine);
}
