#include "net/http/message_head.h"

#include <QtGlobal>

MessageHead::MessageHead(qsizetype limit) : m_limit(limit) {}

void MessageHead::clear()
{
    m_state = Empty;
    m_isCrPending = false;
    m_endMatched = 0;
    m_block.clear();
}

qsizetype MessageHead::take(const char *data, qsizetype size)
{
    if (m_state == Malformed)
        return size;
    qsizetype taken = 0;
    while (m_state == Empty && taken < size) {
        const char c = data[taken];
        if (c == '\n') {
            // The end of an empty line, with its CR or without.
            m_isCrPending = false;
            ++taken;
        } else if (m_isCrPending) {
            // A CR that ends no line: the start line begins with it, and is malformed.
            m_isCrPending = false;
            m_block.append('\r');
            m_state = Malformed;
            return taken + 1;
        } else if (c == '\r') {
            m_isCrPending = true;
            ++taken;
        } else {
            m_state = Partial;
        }
    }
    if (m_state != Partial)
        return taken;

    const qsizetype available = qMin(size - taken, m_limit - m_block.size());
    qsizetype end = taken;
    while (end < taken + available && m_endMatched < 4) {
        const char c = data[end++];
        const bool wasCrPending = m_isCrPending;
        m_isCrPending = c == '\r';
        if (c == '\0' || wasCrPending != (c == '\n')) {
            m_state = Malformed;
            break;
        }
        switch (c) {
        case '\r':
            m_endMatched = m_endMatched == 2 ? 3 : 1;
            break;
        case '\n':
            ++m_endMatched; // always after a CR here
            break;
        default:
            m_endMatched = 0;
        }
    }
    m_block.append(data + taken, end - taken);
    if (m_state == Malformed)
        return end;
    if (m_endMatched == 4) {
        m_block.chop(4);
        m_state = Complete;
    } else if (m_block.size() >= m_limit) {
        // The end would have to come after the limit.
        m_state = TooLarge;
    }
    return end;
}
