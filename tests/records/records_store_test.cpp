// The record store's own logic on SQLite: store names, times, the schema
// version, a run stored once, and the searches of "brimwell records".
#include "records/record_store.h"
#include "records/run_journal.h"
#include "support/temp_dir.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <gtest/gtest.h>

// Filters are written with designated initializers; the fields left out keep their defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace brimwell;
using namespace brimwell::testing;

namespace {

records::StoreLocation sqliteAt(const std::string& path) {
    QString error;
    return *records::parseStoreLocation(QString::fromStdString("sqlite:" + path), error);
}

QJsonObject run(const QString& id, const QString& started, const QString& port, const QString& outcome,
                const QJsonObject& tags = {}, const QString& answer = "") {
    return QJsonObject{
        {"id", id},
        {"station", "st1"},
        {"port", port},
        {"started", started},
        {"ended", started},
        {"outcome", outcome},
        {"script", "/s.sld"},
        {"seconds", 2.0},
        {"tags", tags},
        {"answers", QJsonArray{QJsonObject{{"question", "sn"}, {"answer", answer}}}},
        {"files", QJsonArray{QJsonObject{{"name", "/a.bin"}, {"size", 5}, {"checksum", "0005"}}}}};
}

} // namespace

TEST(RecordStore, StoreNamesAndTimes) {
    struct Url {
        const char* url;
        const char* host; // nullptr: refused
        int port;
    };
    for (const Url& u :
         {Url{"postgresql://line@db.local:6543/records", "db.local", 6543},
          Url{"postgres://line@/records?host=%2Frun%2Fpg&port=5433", "/run/pg", 5433},
          Url{"postgresql://line:secret@db/records", nullptr, 0},
          Url{"postgresql://line@db/records?password=x", nullptr, 0},
          Url{"postgresql://line@db:99999/records", nullptr, 0}, Url{"postgresql://line@db/", nullptr, 0},
          Url{"mysql://x/y", nullptr, 0}, Url{"sqlite:", nullptr, 0}}) {
        QString error;
        const auto where = records::parseStoreLocation(u.url, error);
        ASSERT_EQ(where.has_value(), u.host != nullptr) << u.url << " " << error.toStdString();
        if (where) {
            EXPECT_EQ(where->host.toStdString(), u.host) << u.url;
            EXPECT_EQ(where->port, u.port) << u.url;
        }
        EXPECT_EQ(QString(u.url).contains(QRegularExpression("secret|password")), error.contains(".pgpass"))
            << error.toStdString();
    }
    for (const char* t : {"2026-12-08", "2026-12-08T14:30", "2026-12-08 14:30:05", "2026-12-08T14:30:00Z",
                          "today", "90m", "7d"})
        EXPECT_TRUE(records::parseRecordTime(t).has_value()) << t;
    for (const char* t : {"", "2026-13-01", "yesterday-ish", "5w", "12:00"})
        EXPECT_FALSE(records::parseRecordTime(t).has_value()) << t;
    EXPECT_EQ(records::parseRecordTime("2026-12-08T14:30:00+02:00").value_or("").toStdString(),
              "2026-12-08T12:30:00.000Z");
}

TEST(RecordStore, NewerSchemaIsRefusedWithAMessage) {
    TempDir dir;
    {
        records::RecordStore store;
        ASSERT_TRUE(store.open(sqliteAt(dir.file("r.sqlite")))) << store.error().toStdString();
    }
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "raise");
        db.setDatabaseName(QString::fromStdString(dir.file("r.sqlite")));
        ASSERT_TRUE(db.open());
        EXPECT_TRUE(QSqlQuery(db).exec("UPDATE schema_version SET version = 7"));
        db.close();
    }
    QSqlDatabase::removeDatabase("raise");
    records::RecordStore store;
    EXPECT_FALSE(store.open(sqliteAt(dir.file("r.sqlite"))));
    EXPECT_TRUE(store.error().contains("schema is version 7, newer than this brimwell knows (version 1)"))
        << store.error().toStdString();
    // Recording into it leaves the run as a file beside it.
    const records::RecordResult r = records::recordRun(
        run("u1", "2026-01-01T00:00:00.000Z", "p", "completed"), sqliteAt(dir.file("r.sqlite")));
    EXPECT_FALSE(r.stored);
    EXPECT_EQ(r.fallbackFile.toStdString(), dir.file("brimwell-run-u1.json"));
}

// Runs stored once whatever is sent twice, and each search of "brimwell records" finding its runs.
TEST(RecordStore, StoresEachRunOnceAndFindsItBySearch) {
    TempDir dir;
    records::RecordStore store;
    ASSERT_TRUE(store.open(sqliteAt(dir.file("r.sqlite")))) << store.error().toStdString();
    const QList<QJsonObject> runs{
        run("a", "2026-01-01T10:00:00.000Z", "/dev/ttyUSB0", "completed", {{"lot", "L1"}}, "SN-1"),
        run("b", "2026-01-02T10:00:00.000Z", "/dev/ttyUSB1", "failed", {{"lot", "L1"}, {"wo", "7"}}, "SN-2"),
        run("c", "2026-01-03T10:00:00.000Z", "/dev/ttyUSB0", "stopped", {{"lot", "L2"}}, "SN-3")};
    EXPECT_EQ(store.insertRuns(runs, true), 3);
    EXPECT_EQ(store.insertRuns(runs, true), 0);
    EXPECT_EQ(store.queuedCount(), 3);
    struct Search {
        records::RunFilter filter;
        const char* ids;
    };
    const records::RunFilter serial{.serial = "SN-2"};
    for (const Search& s :
         {Search{{}, "cba"}, Search{{.since = "2026-01-02T00:00:00.000Z"}, "cb"},
          Search{{.port = "/dev/ttyUSB0"}, "ca"}, Search{serial, "b"}, Search{{.outcome = "passed"}, "a"},
          Search{{.outcome = "failed"}, "cb"}, Search{{.limit = 1}, "c"},
          Search{{.tags = {{"lot", "L1"}}}, "ba"}, Search{{.tags = {{"wo", "8"}}}, ""}}) {
        QString ids;
        for (const QJsonValue& r : store.runs(s.filter))
            ids += r["id"].toString();
        EXPECT_EQ(ids.toStdString(), s.ids);
    }
    const QJsonObject b = store.runs(serial)[0].toObject();
    EXPECT_EQ(b["files"][0]["checksum"].toString().toStdString(), "0005");
    EXPECT_EQ(b["tags"]["wo"].toString().toStdString(), "7");
    const QJsonArray days = store.summary({}, {"day", "script"});
    ASSERT_EQ(days.size(), 3);
    EXPECT_EQ(days[0]["yield"].toDouble(), 1.0);
    EXPECT_EQ(days[1]["failed"].toInt(), 1);
    const QJsonObject script = store.summary({}, {"script"})[0].toObject();
    EXPECT_EQ(script["runs"].toInt(), 3);
    EXPECT_EQ(script["median_seconds"].toDouble(), 2.0); // of 1, 2 and 5
    const QJsonArray tiles = store.stations()[0].toObject()["ports"].toArray();
    ASSERT_EQ(tiles.size(), 2);
    EXPECT_EQ(tiles[0]["last_run_id"].toString().toStdString(), "c"); // the latest run of the port
}
