#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>

// Bytes from the network as the log writes them: every control byte (below 0x20 but tab, and
// 0x7F) becomes "\x" and two lower-case hex digits, so that nothing a browser sends can end an
// entry early, forge one or drive a terminal showing the file. So does each byte of the UTF-8
// line breaks that viewers honour besides CR and LF (NEL U+0085, U+2028, U+2029): a viewer
// breaking a line there would show a forged entry too. Tab and other bytes from 0x80 up (UTF-8)
// stay as they are; so does a backslash, so text that reads like an escape is written as it
// came.
QByteArray escapeControlBytes(QByteArrayView bytes);

// The length of the UTF-8 line break (NEL, U+2028 or U+2029) that starts at `at`, or 0.
qsizetype unicodeLineBreakSizeAt(QByteArrayView bytes, qsizetype at);

// The optional log file of one proxy run: opened at Start, one entry written at a time as its
// event is handled (no batching), closed at Stop.
class RequestLog {
public:
    // Opens strFilename for writing as a byte file, creating it when missing and never
    // truncating it. Any failure gives false and shows nothing.
    bool OpenFile(const QString &strFilename);
    bool isOpen() const;
    void Close();

    // Each call builds its entry whole in strLogLine and writes it with one write. While no file
    // is open nothing is built (a request entry is asked for at every request, logging or not);
    // a write that fails changes nothing.
    void writeStartEntry(); // at the end of what the file already holds
    // The client address and the header line are written through escapeControlBytes.
    void writeRequestEntry(const QString &clientIp);
    void writeHeaderEntry(const QByteArray &headerLine);
    // A browser turned down the certificate an inspected tunnel showed it for host (the
    // CONNECT's): it does not trust the local CA yet.
    void writeCertificateNotTrustedEntry(const QString &clientIp, const QString &host);
    void writeStopEntry();

    // "date time" as the log writes it for the given moment and locale.
    static QByteArray dateTimeText(const QDateTime &moment, const QLocale &locale);
    // The same with the locale's short date and long time formats given: the text of any format
    // holding a character Latin-1 cannot (a narrow no-break space before AM/PM, say) is written
    // in the form used without regional settings.
    static QByteArray dateTimeText(const QDateTime &moment, const QLocale &locale,
                                   const QString &dateFormat, const QString &timeFormat);

private:
    void writeLogLine();

    QFile m_file;
    QByteArray strLogLine;
};
