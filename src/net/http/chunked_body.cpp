#include "net/http/chunked_body.h"

#include <limits>

#include "net/http/ascii.h"

namespace {

constexpr quint64 kMaxChunkSize = quint64(std::numeric_limits<qint64>::max());

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Visible characters, blanks, tabs and bytes above 127: what a field value or a quoted string
// may hold.
bool isTextChar(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte == '\t' || (byte >= 0x20 && byte != 0x7f);
}

} // namespace

void ChunkedBody::restart()
{
    m_step = Step::SizeFirstDigit;
    m_chunkLeft = 0;
    m_lineBytes = 0;
    m_trailerBytes = 0;
}

ChunkedBody::Step ChunkedBody::afterItem(char c)
{
    if (isBlankOrTab(c))
        return Step::AfterExtensionItem;
    if (c == ';')
        return Step::BeforeExtensionName;
    return c == '\r' ? Step::SizeLineFeed : Step::Invalid;
}

ChunkedBody::Step ChunkedBody::following(char c)
{
    switch (m_step) {
    case Step::SizeFirstDigit:
    case Step::SizeDigits: {
        const int digit = hexValue(c);
        if (digit < 0)
            return m_step == Step::SizeFirstDigit ? Step::Invalid : afterItem(c);
        if (m_chunkLeft > (kMaxChunkSize - unsigned(digit)) / 16)
            return Step::Invalid;
        m_chunkLeft = m_chunkLeft * 16 + unsigned(digit);
        return Step::SizeDigits;
    }
    case Step::BeforeExtensionName:
        if (isBlankOrTab(c))
            return m_step;
        return isTokenChar(c) ? Step::ExtensionName : Step::Invalid;
    case Step::ExtensionName:
        if (isTokenChar(c))
            return m_step;
        if (c == '=')
            return Step::BeforeExtensionValue;
        return isBlankOrTab(c) ? Step::AfterExtensionName : afterItem(c);
    case Step::AfterExtensionName:
        if (isBlankOrTab(c))
            return m_step;
        if (c == '=')
            return Step::BeforeExtensionValue;
        return c == ';' ? Step::BeforeExtensionName : Step::Invalid;
    case Step::BeforeExtensionValue:
        if (isBlankOrTab(c))
            return m_step;
        if (c == '"')
            return Step::ExtensionQuoted;
        return isTokenChar(c) ? Step::ExtensionToken : Step::Invalid;
    case Step::ExtensionToken:
        return isTokenChar(c) ? m_step : afterItem(c);
    case Step::ExtensionQuoted:
        if (c == '"')
            return Step::AfterQuotedValue;
        if (c == '\\')
            return Step::ExtensionQuotedPair;
        return isTextChar(c) ? m_step : Step::Invalid;
    case Step::ExtensionQuotedPair:
        return isTextChar(c) ? Step::ExtensionQuoted : Step::Invalid;
    case Step::AfterQuotedValue:
        return afterItem(c);
    case Step::AfterExtensionItem:
        if (isBlankOrTab(c))
            return m_step;
        return c == ';' ? Step::BeforeExtensionName : Step::Invalid;
    case Step::SizeLineFeed:
        if (c != '\n')
            return Step::Invalid;
        return m_chunkLeft == 0 ? Step::TrailerLineStart : Step::Data;
    case Step::DataCarriageReturn:
        return c == '\r' ? Step::DataLineFeed : Step::Invalid;
    case Step::DataLineFeed:
        return c == '\n' ? Step::SizeFirstDigit : Step::Invalid;
    case Step::TrailerLineStart:
        if (c == '\r')
            return Step::FinalLineFeed;
        return isTokenChar(c) ? Step::TrailerName : Step::Invalid;
    case Step::TrailerName:
        if (c == ':')
            return Step::TrailerValue;
        return isTokenChar(c) ? m_step : Step::Invalid;
    case Step::TrailerValue:
        if (c == '\r')
            return Step::TrailerLineFeed;
        return isTextChar(c) ? m_step : Step::Invalid;
    case Step::TrailerLineFeed:
        return c == '\n' ? Step::TrailerLineStart : Step::Invalid;
    case Step::FinalLineFeed:
        return c == '\n' ? Step::Done : Step::Invalid;
    case Step::Data:
    case Step::Done:
    case Step::Invalid:
        break;
    }
    return Step::Invalid;
}

qsizetype ChunkedBody::take(const char *data, qsizetype size)
{
    qsizetype taken = 0;
    while (taken < size && m_step != Step::Done && m_step != Step::Invalid) {
        if (m_step == Step::Data) {
            const qsizetype part = qsizetype(qMin(m_chunkLeft, quint64(size - taken)));
            taken += part;
            m_chunkLeft -= quint64(part);
            if (m_chunkLeft == 0)
                m_step = Step::DataCarriageReturn;
            continue;
        }
        const bool isTrailer = m_step >= Step::TrailerLineStart;
        if (m_step == Step::SizeFirstDigit || m_step == Step::TrailerLineStart ||
            m_step == Step::DataCarriageReturn)
            m_lineBytes = 0;
        const Step next = following(data[taken]);
        if (next == Step::Invalid || ++m_lineBytes > kMaxLineBytes ||
            (isTrailer && ++m_trailerBytes > kMaxTrailerBytes)) {
            m_step = Step::Invalid;
            break;
        }
        m_step = next;
        ++taken;
    }
    return taken;
}
