#include "net/message_head.h"

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
    qsizetype taken = 0;
    while (m_state == Empty && taken < size) {
        const char c = data[taken];
        if (m_isCrPending) {
            m_isCrPending = false;
            if (c == '\n') {
                ++taken;
                continue;
            }
            // Not an empty line after all: the CR was the first byte of the start line.
            m_block.append('\r');
            m_endMatched = 1;
            m_state = Partial;
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
        switch (data[end++]) {
        case '\r':
            m_endMatched = m_endMatched == 2 ? 3 : 1;
            break;
        case '\n':
            m_endMatched = m_endMatched == 1 || m_endMatched == 3 ? m_endMatched + 1 : 0;
            break;
        default:
            m_endMatched = 0;
        }
    }
    m_block.append(data + taken, end - taken);
    if (m_endMatched == 4) {
        m_block.chop(4);
        m_state = Complete;
    } else if (m_block.size() >= m_limit) {
        // The end would have to come after the limit.
        m_state = TooLarge;
    }
    return end;
}
