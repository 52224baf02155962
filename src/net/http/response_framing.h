#pragma once

#include "net/http/body_framing.h"
#include "net/http/message_head.h"

// Observes the whole response stream to one request, interim 1xx responses and then the final
// one, to tell where it ends (HTTP/1.1 message body length). The bytes are relayed unchanged;
// the framing is only observed, so nothing here is ever an error: what cannot be framed is read
// until the server closes, which cuts nothing short. The rules, in order:
// 1. A response to HEAD, and any 1xx, 204 or 304 response, has no body: HTTP forbids one. A 1xx
//    other than 101 is interim: more responses to the same request follow it.
// 2. 101 Switching Protocols ends the response stream after its head: from there on the
//    connection carries another protocol both ways.
// 3. A Transfer-Encoding that ends in chunked: chunked, whatever a Content-Length says, since
//    the sender applied the coding after any length was known.
// 4. Another Transfer-Encoding, Transfer-Encoding in HTTP/1.0, a Content-Length that is invalid
//    or conflicting, or a head that is malformed (header lines or line ends), too large or has
//    no readable status line: until close, as a client would have to read it.
// 5. Otherwise a Content-Length, or else until close.
// Broken chunked syntax also turns into until close from where it breaks.
class ResponseFramer {
public:
    // A head that has not ended within this many bytes is not framed: the rest is read until
    // close. Generous, since framing is only observed, yet bounded, since the head is kept.
    static constexpr qsizetype kMaxHeadBytes = 256 * 1024;

    // holdsHeads: the caller relays each head only once it is whole (to rewrite it), so take
    // stops at the end of every head, and a head that cannot be read is refused instead of
    // read until close.
    void start(bool isHeadRequest, bool holdsHeads = false);
    // Returns how many of the bytes belong to this request's responses: all of them until the
    // final response has ended, and then not a byte beyond its end; while holding heads, none
    // beyond the end of a head either.
    qsizetype take(const char *data, qsizetype size);
    // A head is being taken: its bytes so far are held, not yet framed.
    bool isReadingHead() const { return m_phase == Phase::Head; }
    // The last take ended a head; head() is that head until the next take.
    bool hasHeadEnded() const { return m_hasHeadEnded; }
    // The last head taken, without its CR LF CR LF: the final one once the responses are
    // framed past it. Empty before a head has ended.
    const QByteArray &head() const;
    // Holding heads: the head being taken is too large or malformed, so it cannot be rewritten
    // and nothing more is taken.
    bool isHeadRefused() const { return m_phase == Phase::Refused; }
    // Why a head was refused.
    bool isHeadTooLarge() const { return m_head.state() == MessageHead::TooLarge; }
    // The final response has ended.
    bool isComplete() const { return m_phase == Phase::Complete; }
    // Ends only with the server's close.
    bool isUntilClose() const { return m_phase == Phase::UntilClose; }
    // A 101 head has been taken; the rest is a tunnel.
    bool isSwitchingProtocols() const { return m_isSwitchingProtocols; }
    // The status code of the last head taken; 0 before one, or when its status line is unreadable.
    int statusCode() const { return m_statusCode; }

private:
    // Decides what follows a complete head.
    void frameHead();

    enum class Phase { Head, Body, UntilClose, Complete, Refused };
    Phase m_phase = Phase::Head;
    bool m_isHeadRequest = false;
    bool m_holdsHeads = false;
    bool m_hasHeadEnded = false;
    bool m_isSwitchingProtocols = false;
    int m_statusCode = 0;
    MessageHead m_head{kMaxHeadBytes};
    BodyFramer m_body;
};
