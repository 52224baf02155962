#include "app/requests_window.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/har_export.h"
#include "app/message_box.h"
#include "app/request_list_model.h"
#include "app/request_text.h"
#include "net/engine/memory_trim.h"

// The rows whose host or path holds the filter's text, in any letter case. A row's host and path
// never change, so the rows are looked at only when they come or when the text changes.
class RequestFilter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setText(const QString &text)
    {
        m_text = text;
        invalidateFilter();
    }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &) const override
    {
        if (m_text.isEmpty())
            return true;
        const RequestRecord &record =
            static_cast<const RequestListModel *>(sourceModel())->record(sourceRow);
        return QString::fromLatin1(record.host).contains(m_text, Qt::CaseInsensitive) ||
               QString::fromLatin1(record.path).contains(m_text, Qt::CaseInsensitive);
    }

private:
    QString m_text;
};

namespace {

constexpr int kPollMilliseconds = 100;
// Rows listed at a time: a burst is listed in slices, with the window's own events between
// them, so that no slice keeps the window busy for more than a few milliseconds.
constexpr std::size_t kRowsPerSlice = 500;

// Once the list has let go of this much head text, the memory goes back to the system: the
// allocator would keep it, and a list within its budget would still hold the process's size
// at everything that ever passed through it.
constexpr qint64 kDroppedTextBeforeTrim = 16 * 1024 * 1024;
const char kHeadTextDropped[] = "The headers of this request were dropped to bound memory";

QPlainTextEdit *newHeaderPane(const char *objectName, QWidget *parent)
{
    auto *pane = new QPlainTextEdit(parent);
    pane->setObjectName(QString::fromLatin1(objectName));
    pane->setReadOnly(true);
    pane->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    return pane;
}

QWidget *titled(const QString &title, QWidget *content, QWidget *parent)
{
    auto *box = new QWidget(parent);
    auto *layout = new QVBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(new QLabel(title, box));
    layout->addWidget(content, 1);
    return box;
}

} // namespace

RequestsWindow::RequestsWindow(std::shared_ptr<RequestRecorder> records, QWidget *parent)
    : QWidget(parent, Qt::Window), m_records(std::move(records))
{
    setObjectName(QStringLiteral("frmRequests"));
    setWindowTitle(QStringLiteral("Vesktor - Requests"));

    txtFilter = new QLineEdit(this);
    txtFilter->setObjectName(QStringLiteral("txtFilter"));
    txtFilter->setPlaceholderText(QStringLiteral("Show only hosts or paths containing..."));
    txtFilter->setClearButtonEnabled(true);
    cmdClearRequests = new QPushButton(QStringLiteral("Clear"), this);
    cmdClearRequests->setObjectName(QStringLiteral("cmdClearRequests"));
    cmdSaveHar = new QPushButton(QStringLiteral("Save as HAR..."), this);
    cmdSaveHar->setObjectName(QStringLiteral("cmdSaveHar"));

    m_model = new RequestListModel(this);
    m_filter = new RequestFilter(this);
    m_filter->setDynamicSortFilter(false);
    m_filter->setSourceModel(m_model);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    lvwRequests = new QTableView(splitter);
    lvwRequests->setObjectName(QStringLiteral("lvwRequests"));
    lvwRequests->setModel(m_filter);
    lvwRequests->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvwRequests->setSelectionMode(QAbstractItemView::SingleSelection);
    lvwRequests->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvwRequests->setWordWrap(false);
    // Fixed heights and widths: nothing is measured row by row, however many rows come.
    lvwRequests->verticalHeader()->hide();
    lvwRequests->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lvwRequests->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    lvwRequests->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    lvwRequests->horizontalHeader()->setStretchLastSection(true);
    // Status fits its longest text.
    const int statusWidth =
        fontMetrics().horizontalAdvance(trustStatus(BrowserTrust::ClosedBeforeRequest)) + 12;
    const int widths[RequestListModel::Columns] = {95, 130, 70, 170, 260, statusWidth, 70, 50, 100};
    for (int column = 0; column < RequestListModel::Columns; ++column)
        lvwRequests->setColumnWidth(column, widths[column]);

    auto *details = new QSplitter(Qt::Horizontal, splitter);
    txtHeadersIn = newHeaderPane("txtHeadersIn", details);
    txtHeadersOut = newHeaderPane("txtHeadersOut", details);
    txtHeadersResponse = newHeaderPane("txtHeadersResponse", details);
    lvwRuleHits = new QTreeWidget(details);
    lvwRuleHits->setObjectName(QStringLiteral("lvwRuleHits"));
    lvwRuleHits->setRootIsDecorated(false);
    lvwRuleHits->setHeaderLabels(
        {QStringLiteral("List"), QStringLiteral("Rule"), QStringLiteral("Hits")});
    lvwRuleHits->header()->setMinimumSectionSize(40);
    lvwRuleHits->header()->setDefaultSectionSize(60);
    // Wide enough for the longest list's name, "Remove (response)".
    lvwRuleHits->setColumnWidth(
        0, fontMetrics().horizontalAdvance(QStringLiteral("Remove (response)")) + 12);
    lvwRuleHits->setColumnWidth(1, 90);
    details->addWidget(titled(QStringLiteral("Headers from the browser"), txtHeadersIn, details));
    details->addWidget(titled(QStringLiteral("Headers sent upstream"), txtHeadersOut, details));
    details->addWidget(
        titled(QStringLiteral("Headers from the server"), txtHeadersResponse, details));
    details->addWidget(titled(QStringLiteral("Rule hits since Start"), lvwRuleHits, details));
    splitter->addWidget(lvwRequests);
    splitter->addWidget(details);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    details->setSizes({330, 300, 300, 260});

    auto *top = new QHBoxLayout;
    top->addWidget(txtFilter, 1);
    top->addWidget(cmdClearRequests);
    top->addWidget(cmdSaveHar);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(splitter, 1);
    resize(1120, 660);

    m_poll = new QTimer(this);
    m_poll->setInterval(kPollMilliseconds);
    connect(m_poll, &QTimer::timeout, this, &RequestsWindow::takeRecords);
    m_nextSlice = new QTimer(this);
    m_nextSlice->setSingleShot(true);
    m_nextSlice->setInterval(0);
    connect(m_nextSlice, &QTimer::timeout, this, &RequestsWindow::takeRecords);
    connect(txtFilter, &QLineEdit::textChanged, this,
            [this](const QString &text) { m_filter->setText(text); });
    connect(cmdClearRequests, &QPushButton::clicked, this, &RequestsWindow::clearRows);
    connect(cmdSaveHar, &QPushButton::clicked, this, &RequestsWindow::cmdSaveHar_Click);
    connect(lvwRequests->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) { showHeaders(current.row()); });
    // The response's head comes with the row's end: a row shown before then is shown again.
    connect(m_filter, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &first, const QModelIndex &last) {
                const int current = lvwRequests->currentIndex().row();
                if (current >= first.row() && current <= last.row())
                    showHeaders(current);
            });
}

void RequestsWindow::setRules(const HeaderRules &rules)
{
    QList<RuleKey> listed;
    const auto list = [&listed](bool isOn, RuleList kind, const QList<QByteArray> &lines) {
        if (!isOn)
            return;
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                listed.append(RuleKey{kind, line});
        }
    };
    list(!rules.allowAll, RuleList::Allow, rules.allow);
    list(rules.change, RuleList::Replace, rules.changeEntries);
    list(rules.remove, RuleList::Remove, rules.removeEntries);
    list(rules.add, RuleList::Add, rules.addEntries);
    list(rules.removeResponse, RuleList::RemoveResponse, rules.removeResponseEntries);
    if (listed == m_listedRules)
        return;
    m_listedRules = listed;
    lvwRuleHits->clear();
    for (const RuleKey &key : m_listedRules) {
        auto *item = new QTreeWidgetItem(lvwRuleHits);
        item->setText(0, ruleListName(key.list));
        item->setText(1, QString::fromLatin1(key.rule));
    }
    showHits();
}

void RequestsWindow::startRun()
{
    m_hits.clear();
    showHits();
    clearRows();
}

void RequestsWindow::takeRecords()
{
    RequestBatch batch = m_records->take(kRowsPerSlice);
    if (batch.isEmpty())
        return;
    if (batch.begun.size() == kRowsPerSlice)
        m_nextSlice->start();
    if (!batch.begun.empty() || !batch.ended.empty()) {
        m_model->add(std::move(batch.begun), std::move(batch.ended));
        if (m_model->droppedTextBytes() - m_droppedAtLastTrim >= kDroppedTextBeforeTrim) {
            m_droppedAtLastTrim = m_model->droppedTextBytes();
            giveFreeMemoryBack();
        }
    }
    if (!batch.hits.isEmpty()) {
        for (auto hit = batch.hits.cbegin(); hit != batch.hits.cend(); ++hit)
            m_hits[hit.key()] += hit.value();
        showHits();
    }
}

void RequestsWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    takeRecords();
    m_poll->start();
}

void RequestsWindow::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_poll->stop();
    m_nextSlice->stop();
}

void RequestsWindow::showHeaders(int proxyRow)
{
    const QModelIndex source = m_filter->mapToSource(m_filter->index(proxyRow, 0));
    if (!source.isValid()) {
        txtHeadersIn->clear();
        txtHeadersOut->clear();
        txtHeadersResponse->clear();
        return;
    }
    const RequestRecord &record = m_model->record(source.row());
    if (record.isHeadTextDropped) {
        txtHeadersIn->setPlainText(QString::fromLatin1(kHeadTextDropped));
        txtHeadersOut->setPlainText(QString::fromLatin1(kHeadTextDropped));
        txtHeadersResponse->setPlainText(QString::fromLatin1(kHeadTextDropped));
        return;
    }
    txtHeadersIn->setPlainText(markedHeadersIn(record));
    txtHeadersOut->setPlainText(markedHeadersOut(record));
    // A tunnel has no response head; an inspected one's pane says how its handshake went.
    const RequestEnd *end = m_model->end(source.row());
    txtHeadersResponse->setPlainText(record.isTunnel && end ? trustText(*end)
                                                            : markedHeadersResponse(record));
}

void RequestsWindow::showHits()
{
    for (int i = 0; i < m_listedRules.size() && i < lvwRuleHits->topLevelItemCount(); ++i)
        lvwRuleHits->topLevelItem(i)->setText(2, QString::number(m_hits.value(m_listedRules[i])));
}

void RequestsWindow::clearRows()
{
    m_model->clear();
    txtHeadersIn->clear();
    txtHeadersOut->clear();
    txtHeadersResponse->clear();
}

// The rows shown, after the filter, as a HAR file where the user chooses.
void RequestsWindow::cmdSaveHar_Click()
{
    const QString fileName =
        SaveFileName(this, QStringLiteral("Save as HAR"), QStringLiteral("vesktor.har"),
                     {QStringLiteral("HTTP Archive (*.har)")})
            .fileName;
    if (fileName.isEmpty())
        return;
    std::vector<HarRow> rows;
    rows.reserve(std::size_t(m_filter->rowCount()));
    for (int row = 0; row < m_filter->rowCount(); ++row) {
        const int source = m_filter->mapToSource(m_filter->index(row, 0)).row();
        rows.push_back(HarRow{&m_model->record(source), m_model->end(source)});
    }
    if (!saveHar(fileName, harOf(rows)))
        MsgBox(this, QStringLiteral("The requests could not be saved to %1.").arg(fileName),
               MessageButtons::Ok, MessageIcon::Critical);
}
