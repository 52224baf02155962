#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include "net/http/framing_headers.h"
#include "net/http/head_lines.h"

// A complete request head, read once. The strict check, the body's framing, the rewriter and
// the Requests window's row all read this value; none of them looks at the bytes again. Every
// view points into lines.block(). Move-only, like HeadLines.
struct RequestHead {
    HeadLines lines;

    // The request line as a lenient reader takes it: without the blanks and tabs around it, the
    // method up to its first blank, the version after its last one, the target between them.
    // The strict check decides whether the line was written exactly so.
    QByteArrayView method;    // empty without a blank
    QByteArrayView rawTarget; // between the first and the last blank, as written
    QByteArrayView target;    // rawTarget without the blanks and tabs around it
    QByteArrayView version;
    // There are a first and a last blank, and they differ.
    bool hasThreeParts = false;
    // Nothing surrounded the request line: it is as written.
    bool isRequestLineTrimmed = false;

    // The header lines named Host in any letter case, and the last one's value without the
    // blanks and tabs around it.
    int hostLineCount = 0;
    QByteArrayView hostValue;

    FramingHeaders framing;

    const QByteArray &block() const { return lines.block(); }
    bool isEmpty() const { return lines.block().isEmpty(); }
    // The method is exactly "CONNECT": a tunnel is asked for.
    bool isConnect() const { return method == QByteArrayView("CONNECT"); }
};

// Reads a request's head block as MessageHead::block() gives it.
RequestHead parseRequestHead(QByteArray block);
