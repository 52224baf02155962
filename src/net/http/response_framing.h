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

    void start(bool isHeadRequest);
    // Returns how many of the bytes belong to this request's responses: all of them until the
    // final response has ended, and then not a byte beyond its end.
    qsizetype take(const char *data, qsizetype size);
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

    enum class Phase { Head, Body, UntilClose, Complete };
    Phase m_phase = Phase::Head;
    bool m_isHeadRequest = false;
    bool m_isSwitchingProtocols = false;
    int m_statusCode = 0;
    MessageHead m_head{kMaxHeadBytes};
    BodyFramer m_body;
};
