#pragma once

#include <QByteArray>
#include <QList>
#include <functional>

struct RequestHead;

// The header rules as set in the window when a request is rewritten.
struct HeaderRules {
    bool allowAll = true;            // Option1; otherwise only lines matching an allow entry pass
    QList<QByteArray> allow;         // allow patterns
    bool change = false;             // chkChange
    QList<QByteArray> changeEntries; // "Name: value" replacements
    bool remove = false;             // chkRemove
    QList<QByteArray> removeEntries; // header names to drop
    bool add = false;                // chkAdd
    QList<QByteArray> addEntries;    // header lines to append
    // chkRemoveResponse: header names to drop from every response head relayed to the browser
    bool removeResponse = false;
    QList<QByteArray> removeResponseEntries;
};

// Receives each header line (without its CR LF) as received, before any rule, when logging.
using HeaderLogSink = std::function<void(const QByteArray &headerLine)>;

// A multi-line setting cut at every CR LF into entries; an empty text gives no entries.
QList<QByteArray> splitEntries(const QByteArray &text);

// Which of the window's rule lists a rule line belongs to.
enum class RuleList : quint8 { Allow, Replace, Remove, Add, RemoveResponse };

// What the rules did to one header line, in the order they acted. A line the allow list let
// through, then replaced and then removed has three effects; only the last decides its fate.
struct RuleEffect {
    enum class Kind : quint8 {
        Allowed,         // an allow pattern matched (only while not every header is allowed)
        NotAllowed,      // no allow pattern matched: dropped
        Replaced,        // a replacement entry matched; outLine says whether the new line went up
        Removed,         // a remove entry matched: dropped
        Added,           // an add entry was appended
        HopByHop,        // Proxy-Connection: never forwarded
        NotAHeader,      // no colon: never forwarded
        ResponseRemoved, // a response remove entry matched a response's line: dropped
    };
    Kind kind = Kind::Allowed;
    int inLine = -1;  // the header line as received, counted from 0 after the start line;
                      // -1 for an added line
    int outLine = -1; // the header line as sent, counted from 0 after the request line; -1 when
                      // the line was not sent
    QByteArray rule;  // the rule line that acted; empty for NotAllowed, HopByHop and NotAHeader

    // The list whose line acted; false for the kinds no rule line causes.
    bool ruleList(RuleList &list) const;
};

// What rewriting one request head gives.
struct RewrittenRequest {
    bool isForwardable = false;  // false: the request cannot be forwarded (400); only isTunnel
                                 // below is meaningful then
    bool isTunnel = false;       // a CONNECT (forwardable or not: a refusal then answers with a
                                 // status line); host and port name the tunnel's far end
    QByteArray method;           // the request line's method ("GET", "HEAD", "CONNECT", ...)
    QByteArray head;             // the request line and header lines to send, ending in CR LF CR LF
    QByteArray host;             // upstream host without its port (an IPv6 literal in brackets)
    quint16 port = 0;            // upstream port, 1 to 65535
    bool asksForUpgrade = false; // the head as sent carries an Upgrade header and names
                                 // "upgrade" (any case) in a Connection header
    QByteArray target;           // the request target as sent ("host:port" for a CONNECT)
    QList<RuleEffect> effects;   // what each rule line did, for the hit counts and the
                                 // Requests window; empty when no rule acted
};

// Rewrites a request's head under the rules. The body is not part of it: it is streamed as it
// arrives.
//
// The request line keeps its method, version, path and query; an absolute "http://" target
// loses only its scheme and authority (an empty path becomes "/"), and a target that is just
// the Host value becomes "/". host and port come from the last header named "Host" in any
// letter case, its value taken whole without the blanks and tabs around it: the host without its
// port, and the port after the last colon (for a bracketed IPv6 literal, after the "]"), 80 when
// there is none. Header lines without a colon are logged but never forwarded. A header line
// "Name:" is a header with an empty value.
//
// Content-Length, Transfer-Encoding and Expect (any letter case) go upstream as they came,
// whatever the rules say, and an added line that names Content-Length or Transfer-Encoding is
// not sent: the body is streamed as those headers frame it, and the origin must frame it alike.
//
// The request is not forwardable when the header block is empty, when the Host port is not plain
// digits in 1..65535 (blanks and tabs around them allowed), when the request line does not have
// method, target and version separated by blanks, or when a non-empty replacement entry without
// a colon has to be examined. Header lines are logged, in order, up to the point where rewriting
// stopped. effects tells what each rule line did, and which lines were dropped for other reasons,
// in the order the rules ran; a framing header is left alone and has none.
//
// A request whose method is exactly "CONNECT" asks for a tunnel: isTunnel is set, every header
// line is logged, no rule applies, head stays empty, and the target "host:port" (an IPv6 literal
// in brackets, which keep their brackets in host) gives host and port. It is not forwardable
// unless the target has a port from 1 to 65535 and no control bytes.
RewrittenRequest rewriteRequest(const RequestHead &head, const HeaderRules &rules,
                                const HeaderLogSink &logHeader);
