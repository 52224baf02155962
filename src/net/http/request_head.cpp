#include "net/http/request_head.h"

#include "net/http/ascii.h"

RequestHead parseRequestHead(QByteArray block)
{
    RequestHead head;
    head.lines = HeadLines(std::move(block));

    const QByteArrayView written = head.lines.startLine();
    const QByteArrayView line = trimBlanksAndTabs(written);
    head.isRequestLineTrimmed = line.size() == written.size();
    const qsizetype firstBlank = line.indexOf(' ');
    const qsizetype lastBlank = line.lastIndexOf(' ');
    if (firstBlank >= 0) {
        head.method = line.first(firstBlank);
        head.version = line.sliced(lastBlank + 1);
    }
    head.hasThreeParts = firstBlank >= 0 && lastBlank > firstBlank;
    if (head.hasThreeParts) {
        head.rawTarget = line.sliced(firstBlank + 1, lastBlank - firstBlank - 1);
        head.target = trimBlanksAndTabs(head.rawTarget);
    }

    for (const HeaderLine &header : head.lines.headers()) {
        if (header.hasColon && equalsIgnoringAsciiCase(header.name, "host")) {
            ++head.hostLineCount;
            head.hostValue = trimBlanksAndTabs(header.value);
        }
    }
    head.framing = readFramingHeaders(head.lines);
    return head;
}
