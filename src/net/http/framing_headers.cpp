#include "net/http/framing_headers.h"

#include <limits>

#include "net/http/ascii.h"

namespace {

constexpr quint64 kMaxLength = quint64(std::numeric_limits<qint64>::max());

// Splits a list value at its commas; each element loses its surrounding blanks.
template <typename Visit> void forEachElement(QByteArrayView list, Visit visit)
{
    qsizetype begin = 0;
    for (;;) {
        const qsizetype comma = list.indexOf(',', begin);
        const qsizetype end = comma < 0 ? list.size() : comma;
        visit(trimBlanksAndTabs(list.sliced(begin, end - begin)));
        if (comma < 0)
            return;
        begin = comma + 1;
    }
}

bool readDecimal(QByteArrayView text, quint64 &value)
{
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        const unsigned digit = unsigned(c - '0');
        if (value > (kMaxLength - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return !text.isEmpty();
}

// Empty list elements are refused rather than skipped, in both framing fields: a recipient that
// read "5," or "chunked," another way than we do would find another end of the body.
class FramingReader {
public:
    void readContentLength(QByteArrayView value)
    {
        forEachElement(value, [this](QByteArrayView element) {
            quint64 number = 0;
            if (!readDecimal(element, number) ||
                (m_headers.hasContentLength && number != m_headers.contentLength))
                m_isLengthBroken = true;
            m_headers.hasContentLength = true;
            m_headers.contentLength = number;
        });
    }

    void readTransferEncoding(QByteArrayView value)
    {
        m_hasCodings = true;
        forEachElement(value, [this](QByteArrayView coding) {
            m_isLastChunked = equalsIgnoringAsciiCase(coding, "chunked");
            m_chunkedCount += m_isLastChunked ? 1 : 0;
            m_isCodingBroken = m_isCodingBroken || !isToken(coding);
        });
    }

    FramingHeaders result()
    {
        m_headers.isContentLengthValid = m_headers.hasContentLength && !m_isLengthBroken;
        if (!m_headers.isContentLengthValid)
            m_headers.contentLength = 0;
        // Chunked twice would have to be undone twice, which nobody does the same way.
        if (m_hasCodings)
            m_headers.transferEncoding = m_isLastChunked && m_chunkedCount == 1 && !m_isCodingBroken
                                             ? FramingHeaders::EndsInChunked
                                             : FramingHeaders::OtherCoding;
        return m_headers;
    }

    FramingHeaders m_headers;

private:
    bool m_isLengthBroken = false;
    bool m_hasCodings = false;
    bool m_isLastChunked = false;
    int m_chunkedCount = 0;
    bool m_isCodingBroken = false;
};

} // namespace

FramingHeaders readFramingHeaders(const HeadLines &head)
{
    FramingReader reader;
    FramingHeaders &headers = reader.m_headers;
    // Some parsers end a line at a lone LF (or CR), so they would see other header lines.
    const auto hasStrayLineEnd = [](QByteArrayView line) {
        return line.contains('\r') || line.contains('\n');
    };
    headers.isMalformed = hasStrayLineEnd(head.startLine());
    bool isAfterFramingLine = false;
    for (const HeaderLine &line : head.headers()) {
        if (hasStrayLineEnd(line.text))
            headers.isMalformed = true;
        // A continuation line (obs-fold) belongs to the line before it.
        if (!line.text.isEmpty() && isBlankOrTab(line.text[0])) {
            headers.isMalformed = headers.isMalformed || isAfterFramingLine;
            continue;
        }
        const QByteArrayView bareName = trimBlanksAndTabs(line.name);
        const bool isLength = equalsIgnoringAsciiCase(bareName, "content-length");
        const bool isCoding = equalsIgnoringAsciiCase(bareName, "transfer-encoding");
        isAfterFramingLine = isLength || isCoding;
        if (!isAfterFramingLine)
            continue;
        // "Content-Length : 5" is another name to some and the framing field to others.
        if (bareName.size() != line.name.size())
            headers.isMalformed = true;
        const QByteArrayView value = trimBlanksAndTabs(line.value);
        if (isLength)
            reader.readContentLength(value);
        else
            reader.readTransferEncoding(value);
    }
    return reader.result();
}
