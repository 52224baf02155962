#pragma once

#include <QAbstractTableModel>
#include <deque>

#include "log/request_records.h"

// The rows of the Requests window: one per recorded request or tunnel, oldest first, at most
// RequestRecorder::kMaxRows of them (the oldest go first), their head text within
// HeadTextBudget's limit (the oldest rows' text goes first). Filled in batches from the recorder.
class RequestListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Time, Client, Method, Host, Path, Status, Bytes, Milliseconds, Rules, Columns };

    explicit RequestListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // New rows at the end, and the ends of rows already listed.
    void add(std::deque<RequestRecord> begun, std::vector<RequestEnd> ended);
    void clear();
    const RequestRecord &record(int row) const { return m_rows.at(std::size_t(row)).record; }
    // The row's end; null while its request is still under way.
    const RequestEnd *end(int row) const
    {
        const Row &listed = m_rows.at(std::size_t(row));
        return listed.hasEnded ? &listed.end : nullptr;
    }
    // All the head text the budget has let go so far.
    qint64 droppedTextBytes() const { return m_text.droppedBytes(); }

private:
    struct Row {
        RequestRecord record;
        bool hasEnded = false;
        RequestEnd end;
    };
    QString text(const Row &row, int column) const;

    // In the order of their ids, which the recorder hands out in turn: a row is found by its id
    // with a binary search.
    std::deque<Row> m_rows;
    HeadTextBudget m_text;
};
