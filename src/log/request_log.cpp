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
                 "\tNew Request Received From\t" + clientIp.toLatin1() + "\r\n";
    writeLogLine();
}

void RequestLog::writeHeaderEntry(const QByteArray &headerLine)
{
    if (!isOpen())
        return;
    strLogLine = "\t\t\t    " + headerLine + "\r\n";
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

QByteArray RequestLog::dateTimeText(const QDateTime &moment, const QLocale &locale)
{
    // The log shows whole seconds, so any moment within the first second of a day is midnight.
    const QTime time = moment.time();
    const bool isMidnight = time.hour() == 0 && time.minute() == 0 && time.second() == 0;

    // Without regional settings (the C/POSIX locale) the text is ISO-like, date first.
    if (locale.language() == QLocale::C) {
        const QLocale c = QLocale::c();
        return c.toString(moment, isMidnight ? "yyyy-MM-dd" : "yyyy-MM-dd HH:mm:ss").toLatin1();
    }

    // Both parts are formatted from the whole moment so that a zone name in the long time
    // format refers to that moment.
    QString text = locale.toString(moment, locale.dateFormat(QLocale::ShortFormat));
    if (!isMidnight)
        text += ' ' + locale.toString(moment, locale.timeFormat(QLocale::LongFormat));
    return text.toLatin1();
}

void RequestLog::writeLogLine()
{
    // A failed write is dropped on purpose: the proxy carries on and the next entry follows.
    m_file.write(strLogLine);
}
