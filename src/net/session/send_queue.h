#pragma once

#include <QByteArray>

// Bytes handed to a socket that the kernel has not taken yet, oldest first. It holds memory only
// while something waits, so an idle connection costs nothing here.
class SendQueue {
public:
    bool isEmpty() const { return m_offset == m_bytes.size(); }
    qsizetype size() const { return m_bytes.size() - m_offset; }
    const char *data() const { return m_bytes.constData() + m_offset; }

    void append(const char *data, qsizetype size)
    {
        if (isEmpty())
            clear();
        m_bytes.append(data, size);
    }
    // The first count bytes have gone out.
    void consume(qsizetype count)
    {
        m_offset += count;
        if (isEmpty())
            clear();
    }
    void clear()
    {
        m_bytes = QByteArray();
        m_offset = 0;
    }

private:
    QByteArray m_bytes;
    qsizetype m_offset = 0;
};
