#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QLocale>
#include <QString>

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
    void writeRequestEntry(const QString &clientIp);
    void writeHeaderEntry(const QByteArray &headerLine);
    void writeStopEntry();

    // "date time" as the log writes it for the given moment and locale.
    static QByteArray dateTimeText(const QDateTime &moment, const QLocale &locale);

private:
    void writeLogLine();

    QFile m_file;
    QByteArray strLogLine;
};
