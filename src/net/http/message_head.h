#pragma once

#include <QByteArray>

// Collects one message head (request line or status line, then header lines) up to the
// CR LF CR LF that ends it, from pieces cut anywhere.
class MessageHead {
public:
    // The head, its CR LF CR LF included, may be at most `limit` bytes. The bound holds to the
    // byte whatever the pieces: a peer must not make one connection hold more than that.
    explicit MessageHead(qsizetype limit);

    // Malformed: a line of the head ends in a bare LF, holds a CR not followed by LF, or holds a
    // NUL. Recipients disagree on where the lines of such a head end, so it is given up at the
    // first such byte rather than collected until the limit.
    enum State { Empty, Partial, Complete, TooLarge, Malformed };

    // Takes bytes up to and including the CR LF CR LF that ends the head, never a byte beyond
    // it, so that what follows (a body, the next message) stays with the caller. Empty lines
    // before the start line, CR LF or a bare LF, are taken and dropped: clients may send a
    // CR LF after a body, and a server should ignore at least one. They neither begin the head
    // nor count toward the limit. Once Complete or TooLarge, takes nothing.
    // A Malformed head is taken up to and including the byte that shows it; after that every
    // byte offered is taken and dropped, since nothing after it can be framed: a caller that
    // has not acted on the state yet waits for the peer, never loops on bytes left over.
    qsizetype take(const char *data, qsizetype size);

    State state() const { return m_state; }
    // A byte of the start line has been taken.
    bool hasBegun() const { return m_state != Empty; }
    // The head without its final CR LF CR LF: the start line and the header lines. Only a
    // Complete head's block means anything.
    const QByteArray &block() const { return m_block; }
    // Ready for the next message.
    void clear();

private:
    const qsizetype m_limit;
    State m_state = Empty;
    // The last byte taken was a CR: the next one must be its LF.
    bool m_isCrPending = false;
    // How many bytes of CR LF CR LF the head's last bytes match.
    int m_endMatched = 0;
    QByteArray m_block;
};
