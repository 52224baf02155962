#include "app/request_list_model.h"

#include <QDateTime>
#include <algorithm>

#include "app/request_text.h"

RequestListModel::RequestListModel(QObject *parent) : QAbstractTableModel(parent) {}

int RequestListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int RequestListModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant RequestListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QVariant();
    static const char *const kTitles[Columns] = {"Time",   "Client", "Method", "Host", "Path",
                                                 "Status", "Bytes",  "ms",     "Rules"};
    return section >= 0 && section < Columns ? QString::fromLatin1(kTitles[section]) : QVariant();
}

QVariant RequestListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return QVariant();
    if (role == Qt::TextAlignmentRole && index.column() >= Bytes && index.column() <= Milliseconds)
        return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    const Row &row = m_rows.at(std::size_t(index.row()));
    if (role == Qt::ToolTipRole && index.column() == Status && row.hasEnded &&
        !row.end.trustDetail.isEmpty())
        return row.end.trustDetail;
    if (role != Qt::DisplayRole)
        return QVariant();
    return text(row, index.column());
}

QString RequestListModel::text(const Row &row, int column) const
{
    const RequestRecord &record = row.record;
    const QString pending = QStringLiteral("-");
    switch (column) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(record.startedAtMs)
            .toString(QStringLiteral("HH:mm:ss.zzz"));
    case Client:
        return QString::fromLatin1(record.client);
    case Method:
        return QString::fromLatin1(record.method);
    case Host:
        return QString::fromLatin1(record.host);
    case Path:
        return QString::fromLatin1(record.path);
    case Status:
        if (row.hasEnded && !trustStatus(row.end.trust).isEmpty())
            return trustStatus(row.end.trust);
        if (!row.hasEnded || (row.end.status == 0 && row.end.pageNumber == 0))
            return pending;
        return row.end.pageNumber != 0 ? QStringLiteral("page %1").arg(row.end.pageNumber)
                                       : QString::number(row.end.status);
    case Bytes:
        return row.hasEnded ? QString::number(row.end.bytes) : pending;
    case Milliseconds:
        return row.hasEnded ? QString::number(row.end.elapsedMs) : pending;
    case Rules:
        return record.isTunnel ? pending : rulesSummary(record.effects, record.responseEffects);
    default:
        return QString();
    }
}

void RequestListModel::add(std::deque<RequestRecord> begun, std::vector<RequestEnd> ended)
{
    const std::size_t limit = RequestRecorder::kMaxRows;
    while (begun.size() > limit)
        begun.pop_front();
    // Room first: the oldest rows go, as many as the new ones need.
    const std::size_t excess =
        m_rows.size() + begun.size() > limit ? m_rows.size() + begun.size() - limit : 0;
    if (excess > 0) {
        beginRemoveRows(QModelIndex(), 0, int(excess) - 1);
        for (std::size_t row = 0; row < excess; ++row)
            m_text.removingFront(m_rows[row].record);
        m_rows.erase(m_rows.begin(), m_rows.begin() + std::ptrdiff_t(excess));
        endRemoveRows();
    }
    if (!begun.empty()) {
        const int first = int(m_rows.size());
        beginInsertRows(QModelIndex(), first, first + int(begun.size()) - 1);
        for (RequestRecord &record : begun) {
            m_rows.push_back(Row{std::move(record), false, RequestEnd()});
            m_text.added(m_rows, [](Row &row) -> RequestRecord & { return row.record; });
        }
        endInsertRows();
    }

    int firstChanged = rowCount();
    int lastChanged = -1;
    for (RequestEnd &end : ended) {
        const auto found =
            std::lower_bound(m_rows.begin(), m_rows.end(), end.id,
                             [](const Row &row, quint64 id) { return row.record.id < id; });
        if (found == m_rows.end() || found->record.id != end.id)
            continue; // a row dropped or cleared meanwhile
        found->hasEnded = true;
        RequestRecord &record = found->record;
        record.responseEffects = std::move(end.responseEffects);
        if (!record.isHeadTextDropped) {
            record.responseIn = std::move(end.responseIn);
            record.responseOut = std::move(end.responseOut);
            m_text.grew(
                m_rows, [](Row &row) -> RequestRecord & { return row.record; },
                record.responseIn.size() + record.responseOut.size());
        }
        end.responseIn.clear();
        end.responseOut.clear();
        found->end = std::move(end);
        const int row = int(found - m_rows.begin());
        firstChanged = std::min(firstChanged, row);
        lastChanged = std::max(lastChanged, row);
    }
    if (lastChanged >= 0)
        emit dataChanged(index(firstChanged, Status), index(lastChanged, Rules));
}

void RequestListModel::clear()
{
    beginResetModel();
    m_rows.clear();
    m_text.clear();
    endResetModel();
}
