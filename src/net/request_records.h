#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "net/request_rewriter.h"

// One request, or one CONNECT tunnel, as the Requests window lists it: what was known when its
// head had been rewritten. Never changed once handed over.
struct RequestRecord {
    quint64 id = 0;
    qint64 startedAtMs = 0; // when its head began to arrive, in ms since 1970 (UTC)
    QByteArray client;      // the browser's address and port
    QByteArray method;
    QByteArray host;
    QByteArray path; // the target as sent; "host:port" for a tunnel
    bool isTunnel = false;
    QByteArray headersIn;  // the head as the browser sent it, at most kMaxHeadersBytes
    QByteArray headersOut; // the head as sent upstream, at most kMaxHeadersBytes
    QList<RuleEffect> effects;

    // Each of the two heads is kept up to this size, so that a row holds at most 64 KiB of them.
    static constexpr qsizetype kMaxHeadersBytes = 32 * 1024;
};

// How a recorded request ended.
struct RequestEnd {
    quint64 id = 0;
    int status = 0;     // the response's status code; 0 when none was read
    int pageNumber = 0; // the error page's number when the proxy answered with one, else 0
    qint64 bytes = 0;   // response bytes relayed; for a tunnel, bytes both ways
    qint64 elapsedMs = 0;
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
    void end(const RequestEnd &end);

    // Window thread.
    void setRecordingRows(bool isRecording);
    RequestBatch take();
    // Forgets everything not taken yet (at Start).
    void clear();

private:
    std::atomic<bool> m_isRecordingRows{false};
    // Guards m_pending and m_nextId: the engine adds, the window takes. Held only to append or
    // to swap the batch out, never while anything waits.
    std::mutex m_lock;
    RequestBatch m_pending;
    quint64 m_nextId = 1;
};
