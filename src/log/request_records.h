#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "net/rules/request_rewriter.h"

// One request, or one CONNECT tunnel, as the Requests window lists it: what was known when its
// head had been rewritten. Never changed once handed over.
struct RequestRecord {
    quint64 id = 0;
    qint64 startedAtMs = 0; // when its head began to arrive, in ms since 1970 (UTC)
    QByteArray client;      // the browser's address and port
    QByteArray method;
    QByteArray host;
    quint16 port = 0;
    QByteArray path; // the target as sent; "host:port" for a tunnel
    bool isTunnel = false;
    bool isInspected = false; // a request inside an inspected tunnel: HTTPS to host and port
    QByteArray headersIn;     // the head as the browser sent it, at most kMaxHeadersBytes
    QByteArray headersOut;    // the head as sent upstream, at most kMaxHeadersBytes
    QList<RuleEffect> effects;
    // The final response's head as it came and as relayed, at most kMaxHeadersBytes each, and
    // what the response list did to it: filled in when the row ends (RequestEnd).
    QByteArray responseIn;
    QByteArray responseOut;
    QList<RuleEffect> responseEffects;
    // The heads were let go to keep the list within its budget (HeadTextBudget).
    bool isHeadTextDropped = false;

    // Each head is kept up to this size, so that a row holds at most 128 KiB of them.
    static constexpr qsizetype kMaxHeadersBytes = 32 * 1024;

    qint64 headTextBytes() const
    {
        return headersIn.size() + headersOut.size() + responseIn.size() + responseOut.size();
    }
    void dropHeadText();
};

// The head text is most of what a row costs. The rows the window lists, and those waiting for
// it, each keep the text of all their rows within limit() bytes besides the bound on rows: past
// it, the oldest rows give up their text first, and later go as the row bound has them go.
// Rows are added at the back and leave from the front of a deque.
class HeadTextBudget {
public:
    static constexpr qint64 kDefaultLimit = 64 * 1024 * 1024;
    static qint64 limit();
    // For tests, which keep the budget small; applies from the next row added.
    static void setLimit(qint64 bytes);

    // After a row was pushed to the back of `rows`; recordOf gives a row's record.
    template <typename Rows, typename RecordOf> void added(Rows &rows, RecordOf recordOf)
    {
        grew(rows, recordOf, recordOf(rows.back()).headTextBytes());
    }
    // After a row's text grew by `bytes` (its response head came).
    template <typename Rows, typename RecordOf>
    void grew(Rows &rows, RecordOf recordOf, qint64 bytes)
    {
        m_bytes += bytes;
        const qint64 bound = limit();
        // The oldest rows' text goes first, so those without it are a run at the front.
        while (m_bytes > bound && m_textless < rows.size()) {
            RequestRecord &oldest = recordOf(rows[m_textless]);
            m_bytes -= oldest.headTextBytes();
            m_dropped += oldest.headTextBytes();
            oldest.dropHeadText();
            ++m_textless;
        }
    }
    // Before the row at the front leaves.
    void removingFront(const RequestRecord &front);
    void clear();
    // All the text let go so far, cleared or not.
    qint64 droppedBytes() const { return m_dropped; }

private:
    qint64 m_bytes = 0;
    qint64 m_dropped = 0;
    std::size_t m_textless = 0; // rows at the front whose text has been let go
};

// How the browser took an inspected tunnel's certificate, as far as the proxy can tell.
enum class BrowserTrust : quint8 {
    NotAsked,            // a blind tunnel, or no tunnel
    Trusted,             // the handshake completed and a request began
    CertificateRefused,  // the browser ended the handshake with a certificate alert
    ClosedBeforeRequest, // the handshake completed, and the tunnel closed before a request
    HandshakeFailed,     // any other end of the handshake
};

// How a recorded request ended.
struct RequestEnd {
    quint64 id = 0;
    int status = 0;     // the response's status code; 0 when none was read
    int pageNumber = 0; // the error page's number when the proxy answered with one, else 0
    qint64 bytes = 0;   // response bytes relayed; for a tunnel, bytes both ways
    qint64 elapsedMs = 0;
    // The final response's head as it came and as relayed, and what the response list did;
    // empty when none was relayed. Moved into the row's record when the row ends.
    QByteArray responseIn;
    QByteArray responseOut;
    QList<RuleEffect> responseEffects;
    // Phases of the exchange in ms, -1 where not measured: the connection to the origin (-1 when
    // one was reused), from the request sent to the response's first byte, and from there to its
    // end.
    qint64 connectMs = -1;
    qint64 waitMs = -1;
    qint64 receiveMs = -1;
    // An inspected tunnel's: how the browser took the certificate, and the TLS alert it sent or
    // why the handshake failed, in words; empty when there is nothing to say.
    BrowserTrust trust = BrowserTrust::NotAsked;
    QString trustDetail;

    qint64 textBytes() const { return responseIn.size() + responseOut.size(); }
};

// A rule line, as the hit counts know it: its list and its text. Keyed by text, so that counts
// survive edits of the other lines while the proxy runs.
struct RuleKey {
    RuleList list = RuleList::Allow;
    QByteArray rule;
    bool operator==(const RuleKey &other) const { return list == other.list && rule == other.rule; }
};
inline size_t qHash(const RuleKey &key, size_t seed = 0)
{
    return qHashMulti(seed, int(key.list), key.rule);
}
using RuleHits = QHash<RuleKey, qint64>;

// What the engine has recorded since the window last looked: rows begun, rows ended, and the
// hit counts that have grown.
struct RequestBatch {
    std::deque<RequestRecord> begun;
    std::vector<RequestEnd> ended;
    RuleHits hits;
    bool isEmpty() const { return begun.empty() && ended.empty() && hits.isEmpty(); }
};

// The one place where the engine hands records to the window. The engine adds to it as requests
// pass and never waits for the window; the window takes what has gathered, at its own pace.
// Rows are recorded only once the window has asked for them (setRecordingRows); hit counts
// always.
class RequestRecorder {
public:
    // The most rows the window keeps, and so the most that wait here for it.
    static constexpr std::size_t kMaxRows = 10000;

    // Engine thread.
    bool isRecordingRows() const { return m_isRecordingRows.load(std::memory_order_relaxed); }
    void countHits(const QList<RuleEffect> &effects);
    // Gives the record its id and queues it; returns the id.
    quint64 begin(RequestRecord record);
    void end(RequestEnd end);

    // Window thread.
    void setRecordingRows(bool isRecording);
    // The oldest waiting rows, at most maxRows of them, with every end and hit that can be
    // listed after them; what is left waits for the next take.
    RequestBatch take(std::size_t maxRows = kMaxRows);
    // Forgets everything not taken yet (at Start).
    void clear();

private:
    std::atomic<bool> m_isRecordingRows{false};
    // Guards m_pending, m_pendingText and m_nextId: the engine adds, the window takes. Held only
    // to append or to move rows out, never while anything waits.
    std::mutex m_lock;
    RequestBatch m_pending;
    HeadTextBudget m_pendingText;
    qint64 m_pendingEndText = 0; // the response heads that m_pending.ended holds
    quint64 m_nextId = 1;
};
