#include "net/request_records.h"

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
    if (m_pending.begun.size() >= kMaxRows)
        m_pending.begun.pop_front();
    m_pending.begun.push_back(std::move(record));
    return id;
}

void RequestRecorder::end(const RequestEnd &end)
{
    const std::lock_guard<std::mutex> guard(m_lock);
    // Ends of rows that would no longer be listed are of no use: the older half goes.
    if (m_pending.ended.size() >= 2 * kMaxRows)
        m_pending.ended.erase(m_pending.ended.begin(), m_pending.ended.begin() + kMaxRows);
    m_pending.ended.push_back(end);
}

void RequestRecorder::setRecordingRows(bool isRecording)
{
    m_isRecordingRows.store(isRecording, std::memory_order_relaxed);
}

RequestBatch RequestRecorder::take()
{
    RequestBatch batch;
    const std::lock_guard<std::mutex> guard(m_lock);
    std::swap(batch, m_pending);
    return batch;
}

void RequestRecorder::clear()
{
    take();
}
