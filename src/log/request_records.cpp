#include "log/request_records.h"

#include <algorithm>

namespace {

// Set by tests only, before rows are recorded; read by both threads.
std::atomic<qint64> headTextLimit{HeadTextBudget::kDefaultLimit};

RequestRecord &itself(RequestRecord &record)
{
    return record;
}

} // namespace

void RequestRecord::dropHeadText()
{
    if (headTextBytes() == 0)
        return;
    headersIn.clear(); // frees the memory, unlike resizing to 0
    headersOut.clear();
    responseIn.clear();
    responseOut.clear();
    isHeadTextDropped = true;
}

qint64 HeadTextBudget::limit()
{
    return headTextLimit.load(std::memory_order_relaxed);
}

void HeadTextBudget::setLimit(qint64 bytes)
{
    headTextLimit.store(bytes, std::memory_order_relaxed);
}

void HeadTextBudget::removingFront(const RequestRecord &front)
{
    m_bytes -= front.headTextBytes();
    if (m_textless > 0)
        --m_textless;
}

void HeadTextBudget::clear()
{
    m_bytes = 0;
    m_textless = 0;
}

void RequestRecorder::countHits(const QList<RuleEffect> &effects)
{
    if (effects.isEmpty())
        return;
    const std::lock_guard<std::mutex> guard(m_lock);
    for (const RuleEffect &effect : effects) {
        RuleList list;
        if (effect.ruleList(list))
            ++m_pending.hits[RuleKey{list, effect.rule}];
    }
}

quint64 RequestRecorder::begin(RequestRecord record)
{
    const std::lock_guard<std::mutex> guard(m_lock);
    record.id = m_nextId++;
    const quint64 id = record.id;
    // A window that has not looked for a while keeps only the newest rows anyway.
    if (m_pending.begun.size() >= kMaxRows) {
        m_pendingText.removingFront(m_pending.begun.front());
        m_pending.begun.pop_front();
    }
    m_pending.begun.push_back(std::move(record));
    m_pendingText.added(m_pending.begun, itself);
    return id;
}

void RequestRecorder::end(RequestEnd end)
{
    const std::lock_guard<std::mutex> guard(m_lock);
    // Ends of rows that would no longer be listed are of no use: the older half goes.
    if (m_pending.ended.size() >= 2 * kMaxRows) {
        for (std::size_t row = 0; row < kMaxRows; ++row)
            m_pendingEndText -= m_pending.ended[row].textBytes();
        m_pending.ended.erase(m_pending.ended.begin(), m_pending.ended.begin() + kMaxRows);
    }
    // Waiting response heads keep within the same budget as the rows' text: past it, a row's
    // response head is let go as it ends.
    if (m_pendingEndText + end.textBytes() > HeadTextBudget::limit()) {
        end.responseIn.clear();
        end.responseOut.clear();
    }
    m_pendingEndText += end.textBytes();
    m_pending.ended.push_back(std::move(end));
}

void RequestRecorder::setRecordingRows(bool isRecording)
{
    m_isRecordingRows.store(isRecording, std::memory_order_relaxed);
}

RequestBatch RequestRecorder::take(std::size_t maxRows)
{
    RequestBatch batch;
    const std::lock_guard<std::mutex> guard(m_lock);
    const std::size_t taken = std::min(maxRows, m_pending.begun.size());
    for (std::size_t row = 0; row < taken; ++row) {
        m_pendingText.removingFront(m_pending.begun.front());
        batch.begun.push_back(std::move(m_pending.begun.front()));
        m_pending.begun.pop_front();
    }
    // An end goes with the take that lists its row, or with any later one: ids are handed out
    // in turn, so the rows still waiting are those from the first waiting id on.
    if (m_pending.begun.empty()) {
        std::swap(batch.ended, m_pending.ended);
    } else {
        const quint64 firstWaiting = m_pending.begun.front().id;
        const auto waits = std::stable_partition(
            m_pending.ended.begin(), m_pending.ended.end(),
            [firstWaiting](const RequestEnd &end) { return end.id < firstWaiting; });
        batch.ended.assign(std::make_move_iterator(m_pending.ended.begin()),
                           std::make_move_iterator(waits));
        m_pending.ended.erase(m_pending.ended.begin(), waits);
    }
    m_pendingEndText = 0;
    for (const RequestEnd &end : m_pending.ended)
        m_pendingEndText += end.textBytes();
    std::swap(batch.hits, m_pending.hits);
    return batch;
}

void RequestRecorder::clear()
{
    const std::lock_guard<std::mutex> guard(m_lock);
    m_pending = RequestBatch();
    m_pendingText.clear();
    m_pendingEndText = 0;
}
