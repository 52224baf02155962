#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <memory>

#include "log/request_records.h"

struct RequestHead;
struct RewrittenRequest;

// The rows of the Requests window that one slot has open: the current request's, and its
// CONNECT's while the tunnel lasts. A row is made only while the window asks for rows, from
// what the parse and the rewrite have given: nothing is read again. Engine thread only.
class RequestRows {
public:
    // records: the run's recorder, or null.
    RequestRows(std::shared_ptr<RequestRecorder> records, const QString &browserAddress);

    // A head's first byte has arrived: its row's time starts here.
    void noteHeadBegan() { m_headBegan = Clock::now(); }
    // The row for a request just read. A CONNECT inside an inspected tunnel is refused like any
    // request that cannot be forwarded; only the slot's own CONNECT makes the tunnel's row.
    void begin(const RequestHead &head, const RewrittenRequest &request, bool isInspected,
               const asio::ip::tcp::socket &browser);
    bool hasRequestRow() const { return m_requestRow != 0; }
    // The phases of the current request, for its row's timings.
    void noteConnecting() { m_connecting = Clock::now(); }
    void noteConnected() { m_connected = Clock::now(); }
    void noteRequestSent() { m_requestSent = Clock::now(); }
    void noteResponseBegan()
    {
        if (m_responseBegan == Clock::time_point())
            m_responseBegan = Clock::now();
    }
    // The final response's head, as it came and as relayed, and what the response list did.
    void noteResponseHead(const QByteArray &asCame, const QByteArray &asRelayed,
                          const QList<RuleEffect> &effects);
    // pageNumber: the error page sent instead of a response, or 0; status and bytes: the
    // response's, when there was one.
    void endRequest(int pageNumber, int status, qint64 bytes);
    // isOpen: the tunnel was established, so the browser was told 200; trust and detail: how
    // the browser took an inspected tunnel's certificate.
    void endTunnel(int pageNumber, bool isOpen, BrowserTrust trust, const QString &detail);
    // Bytes through the tunnel, both ways.
    void countTunnelBytes(qint64 bytes)
    {
        if (m_tunnelRow != 0)
            m_tunnelBytes += bytes;
    }

private:
    using Clock = std::chrono::steady_clock;

    const std::shared_ptr<RequestRecorder> m_records;
    const QString m_browserAddress;
    QByteArray m_clientText; // the browser's address and port, once a row has named it
    quint64 m_requestRow = 0;
    quint64 m_tunnelRow = 0;
    Clock::time_point m_headBegan;
    // The current request's phases; zero where it has not reached them.
    Clock::time_point m_connecting;
    Clock::time_point m_connected;
    Clock::time_point m_requestSent;
    Clock::time_point m_responseBegan;
    QByteArray m_responseIn;
    QByteArray m_responseOut;
    QList<RuleEffect> m_responseEffects;
    Clock::time_point m_tunnelBegan;
    qint64 m_tunnelBytes = 0;
};
