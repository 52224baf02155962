#pragma once

#include <QList>
#include <QWidget>
#include <memory>

#include "log/request_records.h"

class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;
class QTreeWidget;
class RequestFilter;
class RequestListModel;

// frmRequests, "Vesktor - Requests": what the rules did, request by request, and how often each
// rule line matched. It takes what the engine recorded ten times a second while it is shown, a
// slice of rows at a time; the engine never waits for it.
class RequestsWindow : public QWidget {
    Q_OBJECT
public:
    RequestsWindow(std::shared_ptr<RequestRecorder> records, QWidget *parent);

    // The rule lines switched on now: the hit counts list these.
    void setRules(const HeaderRules &rules);
    // A new run: the rows and the hit counts start again.
    void startRun();
    // Lists what the engine has recorded since the last look.
    void takeRecords();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void showHeaders(int proxyRow);
    void showHits();
    void clearRows();
    void cmdSaveHar_Click();

    std::shared_ptr<RequestRecorder> m_records;
    RequestListModel *m_model = nullptr;
    RequestFilter *m_filter = nullptr;
    QTimer *m_poll = nullptr;
    // Lists the rest of a burst once the events that came meanwhile have been handled.
    QTimer *m_nextSlice = nullptr;
    qint64 m_droppedAtLastTrim = 0; // the model's droppedTextBytes() at the last trim
    // Totals since the run began, and the lines listed in lvwRuleHits, in its order.
    RuleHits m_hits;
    QList<RuleKey> m_listedRules;

    QLineEdit *txtFilter = nullptr;
    QPushButton *cmdClearRequests = nullptr;
    QPushButton *cmdSaveHar = nullptr;
    QTableView *lvwRequests = nullptr;
    QPlainTextEdit *txtHeadersIn = nullptr;
    QPlainTextEdit *txtHeadersOut = nullptr;
    QPlainTextEdit *txtHeadersResponse = nullptr;
    QTreeWidget *lvwRuleHits = nullptr;
};
