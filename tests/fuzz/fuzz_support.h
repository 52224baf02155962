#pragma once

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Cuts fuzz input into fields at a separator byte, so that one input describes several texts.
class FuzzFields {
public:
    FuzzFields(const uint8_t *data, size_t size)
        : m_data(reinterpret_cast<const char *>(data), qsizetype(size))
    {
    }
    QByteArray next(char separator = '\x01')
    {
        const qsizetype end = m_data.indexOf(separator, m_position);
        const qsizetype stop = end < 0 ? m_data.size() : end;
        QByteArray field = m_data.mid(m_position, stop - m_position);
        m_position = end < 0 ? m_data.size() : end + 1;
        return field;
    }
    QByteArray rest() { return m_data.mid(m_position); }
    bool atEnd() const { return m_position >= m_data.size(); }

private:
    QByteArray m_data;
    qsizetype m_position = 0;
};

// A broken invariant is reported like a crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #condition, __FILE__,           \
                         __LINE__);                                                                \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
