#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

// One line of a head after its start line, as views into the head's block.
struct HeaderLine {
    QByteArrayView text;  // the whole line, without its CR LF
    QByteArrayView name;  // the bytes before the first colon, as written; empty without a colon
    QByteArrayView value; // the bytes after the first colon, as written
    bool hasColon = false;
};

// A message head's block (start line and header lines, without the CR LF CR LF that ends it),
// cut once at every CR LF. Every reader of a head looks at these lines instead of cutting the
// block again, so that all of them see the same lines. The views point into the block this
// object holds: it moves, and is never copied, so that they stay valid.
class HeadLines {
public:
    HeadLines() = default;
    explicit HeadLines(QByteArray block);
    HeadLines(HeadLines &&) = default;
    HeadLines &operator=(HeadLines &&) = default;
    HeadLines(const HeadLines &) = delete;
    HeadLines &operator=(const HeadLines &) = delete;

    const QByteArray &block() const { return m_block; }
    // Line 0: the request line or the status line.
    QByteArrayView startLine() const { return m_startLine; }
    // Every line after it, empty ones included, in order.
    const QList<HeaderLine> &headers() const { return m_headers; }
    // No NUL anywhere, and every CR and LF belongs to a CR LF between two lines: a recipient
    // that ends a line at a lone CR or LF, or stops at a NUL, would see other lines.
    bool hasCleanLineEnds() const { return m_hasCleanLineEnds; }

private:
    QByteArray m_block;
    QByteArrayView m_startLine;
    QList<HeaderLine> m_headers;
    bool m_hasCleanLineEnds = true;
};
