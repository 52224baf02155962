#pragma once

#include <QByteArray>

// Collects one message head (request line or status line, then header lines) up to the
// CR LF CR LF that ends it, from pieces cut anywhere.
class MessageHead {
public:
    // The head, its CR LF CR LF included, may be at most `limit` bytes. The bound holds to the
    // byte whatever the pieces: a peer must not make one connection hold more than that.
    explicit MessageHead(qsizetype limit);

    enum State { Empty, Partial, Complete, TooLarge };

    // Takes bytes up to and including the CR LF CR LF that ends the head, never a byte beyond
    // it, so that what follows (a body, the next message) stays with the caller. Empty lines
    // before the start line are taken and dropped: clients may send a CR LF after a body, and a
    // server should ignore at least one. They neither begin the head nor count toward the limit.
    // Once Complete or TooLarge, takes nothing.
    qsizetype take(const char *data, qsizetype size);

    State state() const { return m_state; }
    // A byte of the start line has been taken.
    bool hasBegun() const { return m_state != Empty; }
    // The head without its final CR LF CR LF: the start line and the header lines.
    const QByteArray &block() const { return m_block; }
    // Ready for the next message.
    void clear();

private:
    const qsizetype m_limit;
    State m_state = Empty;
    // A CR before the start line: the next byte tells whether it ends an empty line.
    bool m_isCrPending = false;
    // How many bytes of CR LF CR LF the head's last bytes match.
    int m_endMatched = 0;
    QByteArray m_block;
};
