// "brimwell run --records" against simulated units: names kept byte for byte, a store that cannot
// take the run (the verdict stands, the record waits beside it as JSON, exit 3), and eight units
// writing their records at the same moment.
#include "support/recorded_runs.h"

#include <QJsonObject>
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace brimwell;
using namespace brimwell::testing;

TEST(RecordedRun, NonUtf8NamesAreKeptByteForByte) {
    RecordedUnits f(1, "img-\xff\xfe.bin");
    const std::string url = "sqlite:" + f.dir.file("r.sqlite");
    const CommandResult r = f.run({"--records", url, "--tag", "lot=L\xe9"});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const QJsonArray runs = RecordedUnits::records(url);
    ASSERT_EQ(runs.size(), 1);
    const QJsonObject run = runs[0].toObject();
    // The escape of every output: "\xNN" for each byte that is not UTF-8, as the bytes were.
    EXPECT_EQ(run["files"][0]["name"].toString().toStdString(), f.dir.file("img-\\xff\\xfe.bin"));
    EXPECT_EQ(run["tags"]["lot"].toString().toStdString(), "L\\xe9");
    EXPECT_EQ(run["files"][0]["sha256"].toString().size(), 64);
    EXPECT_EQ(run["answers"][0]["answer"].toString().toStdString(), "V1.08 BOOT");
    EXPECT_EQ(run["outcome"].toString().toStdString(), "completed");
}

// A store that cannot be written: read-only to the user who runs the unit, or at the size limit
// of the files that user may write. The unit is flashed and passes; its record waits beside the
// store and the next sync takes it in.
TEST(RecordedRun, StoreThatCannotBeWrittenKeepsTheVerdict) {
    struct Case {
        const char* name;
        std::vector<std::string> prefix;
    };
    for (const Case& c :
         {Case{"read-only", {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}},
          Case{"full", {"/usr/bin/prlimit", "--fsize=12288"}}}) {
        RecordedUnits f(1);
        const std::string store = f.dir.file("r.sqlite"), url = "sqlite:" + store;
        // The store exists with a run in it, written by its owner.
        ASSERT_EQ(f.run({"--records", url}).exitCode, 0) << c.name;
        ::chmod(f.dir.path().c_str(), 0777);
        ::chmod(f.units[0]->device.c_str(), 0666);
        std::filesystem::remove(f.dir.file("store0/LF_8000_3.bin"));
        const CommandResult r = f.run({"--records", url}, {}, c.prefix);
        EXPECT_EQ(r.exitCode, 3) << c.name << r.err;
        EXPECT_TRUE(f.flashed(0)) << c.name;
        EXPECT_NE(r.err.find("the unit passed; its record is incomplete: "), std::string::npos)
            << c.name << r.err;
        EXPECT_NE(r.err.find("brimwell records --sync takes it in"), std::string::npos) << c.name << r.err;
        EXPECT_EQ(RecordedUnits::records(url).size(), 1) << c.name;
        const CommandResult sync = RecordedUnits::brimwell({"records", "--sync", "--records", url});
        EXPECT_NE(sync.out.find("1 run records taken in"), std::string::npos)
            << c.name << sync.out << sync.err;
        const QJsonArray runs = RecordedUnits::records(url);
        ASSERT_EQ(runs.size(), 2) << c.name;
        EXPECT_EQ(runs[0]["outcome"].toString().toStdString(), "completed") << c.name;
    }
}

TEST(RecordedRun, EightUnitsFinishingTogetherLoseNoRow) {
    RecordedUnits f(8);
    const std::string url = "sqlite:" + f.dir.file("r.sqlite");
    const CommandResult r = f.run({"--tag", "lot=L8"}, {"BRIMWELL_RECORDS=" + url});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    const QJsonArray runs = RecordedUnits::records(url);
    std::set<std::string> ports;
    for (const QJsonValue& run : runs) {
        ports.insert(run["port"].toString().toStdString());
        EXPECT_EQ(run["tags"]["lot"].toString().toStdString(), "L8");
    }
    EXPECT_EQ(runs.size(), 8);
    EXPECT_EQ(ports.size(), 8u);
}
