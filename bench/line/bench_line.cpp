// A line's shared record store, on a PostgreSQL cluster of the benchmark's own. Prints:
//   BENCH records_insert_per_s   runs (with a data file, an answer and a tag each) written into
//                                PostgreSQL per second, 100 runs a transaction (target >= 500)
//   BENCH backlog_1000_sync_s    1000 runs queued in a station's journal sent to PostgreSQL (target < 10)
//   BENCH dashboard_api_p95_ms   the dashboard's /api/stations, /api/runs and /api/summary over
//                                100,000 stored runs, 95th percentile of 300 requests (target < 50)
#include "records/run_journal.h"
#include "support/http_client.h"
#include "support/pg_cluster.h"
#include "support/sim_process.h"

#include <QCoreApplication>
#include <QDateTime>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace brimwell;
using namespace brimwell::testing;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kInsertRuns = 3000;
constexpr int kBatch = 100;
constexpr int kBacklog = 1000;
constexpr int kStoredRuns = 100000;
constexpr int kRequests = 300;

int fail(const std::string& why) {
    std::fprintf(stderr, "bench_line: %s\n", why.c_str());
    return 1;
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

QJsonObject run(const QString& id, int i) {
    const QString t = QDateTime::currentDateTimeUtc().addSecs(-i).toString(Qt::ISODateWithMs);
    return {{"id", id},
            {"station", QString("st%1").arg(i % 4)},
            {"port", QString("/dev/ttyUSB%1").arg(i % 8)},
            {"started", t},
            {"ended", t},
            {"outcome", i % 20 == 0 ? "failed" : "completed"},
            {"script", "/srv/line/board.sld"},
            {"tags", QJsonObject{{"lot", "L7"}}},
            {"answers", QJsonArray{QJsonObject{{"question", "sn"}, {"answer", QString("SN%1").arg(i)}}}},
            {"files",
             QJsonArray{QJsonObject{{"name", "/srv/line/fw.bin"}, {"size", 300000}, {"checksum", "beef"}}}}};
}

} // namespace

int main(int argc, char** argv) {
    if (!std::getenv("BRIMWELL_BUILD_DIR")) ::setenv("BRIMWELL_BUILD_DIR", BRIMWELL_BUILD_DIR_DEFAULT, 1);
    QCoreApplication app(argc, argv);
    PgCluster pg(true);
    if (!pg.start()) return fail(pg.error());
    QString error;
    const records::StoreLocation shared =
        *records::parseStoreLocation(QString::fromStdString(pg.url()), error);
    records::RecordStore store;
    if (!store.open(shared)) return fail(store.error().toStdString());

    auto start = Clock::now();
    for (int from = 0; from < kInsertRuns; from += kBatch) {
        QList<QJsonObject> batch;
        for (int i = from; i < from + kBatch; ++i)
            batch << run(QString("insert-%1").arg(i), i);
        if (store.insertRuns(batch) != kBatch) return fail(store.error().toStdString());
    }
    std::printf("BENCH records_insert_per_s %.0f runs/s\n", kInsertRuns / secondsSince(start));
    std::fflush(stdout);

    TempDir dir;
    records::StoreLocation journalAt;
    journalAt.path = QString::fromStdString(dir.file("journal.sqlite"));
    journalAt.url = "sqlite:" + journalAt.path;
    records::RecordStore journal;
    QList<QJsonObject> backlog;
    for (int i = 0; i < kBacklog; ++i)
        backlog << run(QString("backlog-%1").arg(i), i);
    if (!journal.open(journalAt) || journal.insertRuns(backlog, true) != kBacklog)
        return fail(journal.error().toStdString());
    start = Clock::now();
    if (records::sendBacklog(journal, store, error) != kBacklog) return fail(error.toStdString());
    std::printf("BENCH backlog_1000_sync_s %.2f s\n", secondsSince(start));
    std::fflush(stdout);

    // The rest of the 100,000 runs over 100 days, written by the server itself.
    const int rest = kStoredRuns - kInsertRuns - kBacklog;
    pg.sql(
        "INSERT INTO runs (id, station, port, started, ended, outcome, script, seconds) SELECT 'old-' || g, "
        "'st' || (g % 4),"
        " '/dev/ttyUSB' || (g % 8), to_char(now() at time zone 'utc' - g * interval '86 seconds',"
        " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), to_char(now() at time zone 'utc' - g * interval '86 seconds',"
        " 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), CASE WHEN g % 20 = 0 THEN 'failed' ELSE 'completed' END,"
        " '/srv/line/board.sld', 40 FROM generate_series(1, " +
        std::to_string(rest) + ") g; ANALYZE");
    const std::string count = pg.sql("SELECT count(*) FROM runs");
    if (std::atoi(count.c_str()) != kStoredRuns) return fail("the store holds " + count + " runs");

    ChildProcess dashboard;
    if (!dashboard.start(binDir() + "/brimwell",
                         {"dashboard", "--records", pg.url(), "--listen", "127.0.0.1:0"}))
        return fail("the dashboard did not start");
    const auto line = dashboard.waitForLine("brimwell dashboard: ");
    if (!line) return fail("the dashboard did not start: " + dashboard.stderrText());
    const int port = std::atoi(line->substr(line->rfind(':') + 1).c_str());
    const char* paths[] = {"/api/stations", "/api/runs?since=24h", "/api/summary"};
    std::vector<double> ms, each[3];
    for (int i = 0; i < kRequests; ++i) {
        const auto t = Clock::now();
        const HttpAnswer a = httpRequest(port, "GET", paths[i % 3]);
        ms.push_back(secondsSince(t) * 1000);
        each[i % 3].push_back(ms.back());
        if (a.status != 200)
            return fail(std::string(paths[i % 3]) + " answered " + std::to_string(a.status) + a.body);
    }
    for (int p = 0; p < 3; ++p) { // where the time goes
        std::sort(each[p].begin(), each[p].end());
        std::fprintf(stderr, "bench_line: %s p95 %.1f ms\n", paths[p], each[p][each[p].size() * 95 / 100]);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("BENCH dashboard_api_p95_ms %.1f ms\n", ms[ms.size() * 95 / 100]);
    return 0;
}
