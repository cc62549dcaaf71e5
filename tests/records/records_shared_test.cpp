// The shared PostgreSQL store, on a cluster of the test's own: two stations recording at once,
// and the server stopped while runs go on (each run arrives once when it is back).
#include "records/station_state.h"
#include "support/pg_cluster.h"
#include "support/recorded_runs.h"

#include <QJsonObject>
#include <gtest/gtest.h>

#include <thread>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// One station: its own name and its own journal.
std::vector<std::string> station(const TempDir& dir, const std::string& name) {
    return {"BRIMWELL_STATION=" + name, "XDG_DATA_HOME=" + dir.file("data-" + name)};
}

} // namespace

TEST(SharedRecords, TwoStationsRecordAtOnce) {
    PgCluster pg;
    ASSERT_TRUE(pg.start()) << pg.error();
    RecordedUnits a(3), b(3);
    // B's journal cannot be made (a file where its directory would be): its runs go straight on.
    writeText(b.dir.file("data-B"), "");
    CommandResult ra, rb;
    std::thread other([&] { rb = b.run({"--records", pg.url()}, station(b.dir, "B")); });
    ra = a.run({"--records", pg.url()}, station(a.dir, "A"));
    other.join();
    EXPECT_EQ(ra.exitCode, 0) << ra.err;
    EXPECT_EQ(rb.exitCode, 0) << rb.err;
    EXPECT_NE(rb.err.find("it went straight to " + pg.url()), std::string::npos) << rb.err;
    EXPECT_EQ(
        pg.sql("SELECT station, count(*), count(DISTINCT id) FROM runs GROUP BY station ORDER BY station"),
        "A|3|3\nB|3|3\n");
    EXPECT_EQ(pg.sql("SELECT count(*) FROM run_files"), "6\n");
    EXPECT_EQ(RecordedUnits::records(pg.url()).size(), 6);
}

TEST(SharedRecords, ServerStoppedDuringRunsGetsEveryRunOnceWhenBack) {
    PgCluster pg;
    ASSERT_TRUE(pg.start()) << pg.error();
    RecordedUnits f(2);
    const auto env = station(f.dir, "S");
    ASSERT_EQ(f.run({"--records", pg.url()}, env).exitCode, 0);
    QString error;
    records::StationReporter live(*records::parseStoreLocation(QString::fromStdString(pg.url()), error), "S",
                                  0);
    EXPECT_TRUE(live.heartbeat(2, 0)) << live.error().toStdString();
    // Stopped while the next run flashes; that run and one more go on, kept in the journal.
    CommandResult during;
    std::thread run([&] { during = f.run({"--records", pg.url()}, env); });
    ASSERT_TRUE(pg.stop()) << pg.error();
    run.join();
    EXPECT_FALSE(live.port("/dev/ttyUSB0", "flashing", 50)); // live state is dropped while the server is down
    CommandResult after = f.run({"--records", pg.url()}, env);
    for (const CommandResult* r : {&during, &after}) {
        EXPECT_EQ(r->exitCode, 0) << r->err;
        EXPECT_NE(r->err.find("waits there for the shared store"), std::string::npos) << r->err;
    }
    EXPECT_EQ(RecordedUnits::records("sqlite:" + f.dir.file("data-S/brimwell/records.sqlite")).size(), 6);
    ASSERT_TRUE(pg.start()) << pg.error();
    EXPECT_TRUE(live.port("/dev/ttyUSB0", "flashing", 50)) << live.error().toStdString();
    EXPECT_EQ(pg.sql("SELECT state, percent FROM station_ports WHERE port = '/dev/ttyUSB0'"),
              "flashing|50\n");
    const CommandResult sync = RecordedUnits::brimwell({"records", "--sync", "--records", pg.url()}, env);
    EXPECT_NE(sync.out.find("4 runs sent"), std::string::npos) << sync.out << sync.err;
    // Sent once: a second sync has nothing left, and every run is there once.
    const CommandResult again = RecordedUnits::brimwell({"records", "--sync", "--records", pg.url()}, env);
    EXPECT_NE(again.out.find("0 runs sent"), std::string::npos) << again.out << again.err;
    EXPECT_EQ(pg.sql("SELECT count(*), count(DISTINCT id) FROM runs"), "6|6\n");
}
