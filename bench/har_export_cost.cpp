// What saving the Requests window's list as HAR costs at its bound: 10,000 rows, each with heads
// of the size a browser and a site commonly send (about 1 KiB out, 1 KiB back) and two rule
// effects, turned into HAR and written to a file, as "Save as HAR..." does. Prints the time of
// each step (the median of 5 runs) and the file's size.
// Usage: har_export_cost [rows, default 10000]
#include <QByteArray>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "app/har_export.h"

namespace {

constexpr int kRuns = 5;

RequestRecord recordFor(int row)
{
    const QByteArray path = "/assets/page-" + QByteArray::number(row) + ".js?v=3&lang=en";
    RequestRecord record;
    record.id = quint64(row + 1);
    record.startedAtMs = 1796000000000 + row;
    record.client = "127.0.0.1:40000";
    record.method = "GET";
    record.host = "www.example.test";
    record.port = 80;
    record.path = path;
    const QByteArray common = "Host: www.example.test\r\nAccept: */*\r\nAccept-Language: "
                              "en-GB,en;q=0.9\r\nAccept-Encoding: gzip, deflate\r\n"
                              "Cache-Control: no-cache\r\nSec-Fetch-Mode: no-cors\r\n" +
                              QByteArray("X-Padding: ") + QByteArray(600, 'p');
    record.headersIn = "GET http://www.example.test" + path + " HTTP/1.1\r\n" + common +
                       "\r\nUser-Agent: Mozilla/5.0 (X11; Linux x86_64) Bench/1\r\n"
                       "Cookie: session=0123456789abcdef";
    record.headersOut = "GET " + path + " HTTP/1.1\r\n" + common;
    record.effects = {{RuleEffect::Kind::Removed, 8, -1, "User-Agent"},
                      {RuleEffect::Kind::Removed, 9, -1, "Cookie"}};
    record.responseIn = "HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\n"
                        "Content-Length: 4096\r\nCache-Control: max-age=600\r\n"
                        "Set-Cookie: track=1; Path=/\r\nETag: \"abc\"\r\nX-Padding: " +
                        QByteArray(700, 'q');
    record.responseOut = "HTTP/1.1 200 OK\r\nContent-Type: application/javascript\r\n"
                         "Content-Length: 4096\r\nCache-Control: max-age=600\r\nX-Padding: " +
                         QByteArray(700, 'q');
    record.responseEffects = {{RuleEffect::Kind::ResponseRemoved, 3, -1, "Set-Cookie"},
                              {RuleEffect::Kind::ResponseRemoved, 4, -1, "ETag"}};
    return record;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int rowCount = argc > 1 ? std::atoi(argv[1]) : 10000;
    std::vector<RequestRecord> records;
    std::vector<RequestEnd> ends;
    records.reserve(std::size_t(rowCount));
    ends.reserve(std::size_t(rowCount));
    for (int row = 0; row < rowCount; ++row) {
        records.push_back(recordFor(row));
        RequestEnd end;
        end.id = records.back().id;
        end.status = 200;
        end.bytes = 4096 + records.back().responseOut.size() + 4;
        end.elapsedMs = 12;
        end.connectMs = 1;
        end.waitMs = 8;
        end.receiveMs = 3;
        ends.push_back(end);
    }
    std::vector<HarRow> rows;
    for (int row = 0; row < rowCount; ++row)
        rows.push_back(HarRow{&records[std::size_t(row)], &ends[std::size_t(row)]});

    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("bench.har"));
    std::vector<double> building;
    std::vector<double> writing;
    for (int run = 0; run < kRuns; ++run) {
        QElapsedTimer timer;
        timer.start();
        const QByteArray har = harOf(rows);
        building.push_back(double(timer.nsecsElapsed()) / 1e6);
        timer.restart();
        if (!saveHar(path, har)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
            return 1;
        }
        writing.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    std::printf("rows %d\nbuild ms %.1f\nwrite ms %.1f\nfile bytes %lld\n", rowCount,
                median(building), median(writing), QFileInfo(path).size());
    return 0;
}
