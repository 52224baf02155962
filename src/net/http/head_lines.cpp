#include "net/http/head_lines.h"

HeadLines::HeadLines(QByteArray block) : m_block(std::move(block))
{
    const QByteArrayView all(m_block);
    qsizetype lineStart = 0;
    for (bool isStartLine = true; lineStart <= all.size(); isStartLine = false) {
        qsizetype lineEnd = all.indexOf("\r\n", lineStart);
        if (lineEnd < 0)
            lineEnd = all.size();
        const QByteArrayView line = all.sliced(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (line.contains('\r') || line.contains('\n') || line.contains('\0'))
            m_hasCleanLineEnds = false;
        if (isStartLine) {
            m_startLine = line;
            continue;
        }
        HeaderLine header;
        header.text = line;
        const qsizetype colon = line.indexOf(':');
        header.hasColon = colon >= 0;
        if (header.hasColon) {
            header.name = line.first(colon);
            header.value = line.sliced(colon + 1);
        }
        m_headers.append(header);
    }
}
