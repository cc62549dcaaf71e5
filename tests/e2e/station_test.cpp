// "brimwell station" on an emulated machine (umockdev; this program runs under umockdev-wrapper and
// the station and its units inherit the emulation): USB adapters plugged in and pulled out, each
// leading to a unit simulator, and the runs read back through "brimwell records --json".
#include "support/testbed.h"

#include "support/recorded_runs.h"
#include "support/station_run.h"

#include <QJsonObject>

#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <thread>

using namespace brimwell::testing;
using namespace std::chrono_literals;

namespace {

class Station : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(brimwell::testing::underUmockdev()) << "run under umockdev-wrapper";
        bed.emplace();
        ASSERT_TRUE(bed->add(emulatedMachinePorts(1)));
        writeFile(dir.file("image.bin"), patternBytes(8000, 3));
        writeText(script,
                  "_TC \"LOADR^M\"\n_QC \"ver\"\n_LF " + dir.file("image.bin") + "\n_LA 8000\n_LV 3\n_LD\n");
        writeText(dir.file("empty.ini"), "");
    }
    // A unit simulator on the line `name`, answering `ver` with `serial`; paced at `baud` when given.
    SimUnit& unit(const std::string& name, const std::string& serial, const std::string& baud = {}) {
        auto& sim = sims[name];
        sim = std::make_unique<SimUnit>();
        std::vector<std::string> args{"--store", dir.file("store-" + serial), "--answer", "ver=" + serial};
        if (!baud.empty()) args.insert(args.end(), {"--baud", baud});
        EXPECT_TRUE(sim->start(dir, args, name));
        return *sim;
    }
    bool station(std::vector<std::string> args) {
        args.insert(args.begin(), {script, "--settings", dir.file("empty.ini"), "--records", url});
        run.emplace().process.workingDir = dir.path();
        return run->start(dir, args);
    }
    // (port, adapter serial, outcome, the unit's serial from its answer to "ver") of every recorded
    // run, oldest first. The answer may begin with the unit's echo of "ver": the query's pause before
    // its carriage return is short at BRIMWELL_TIME_SCALE 20 on a busy machine.
    std::vector<std::string> recorded() {
        std::vector<std::string> runs;
        for (const QJsonValue& v : RecordedUnits::records(url)) {
            const QJsonObject r = v.toObject();
            runs.insert(runs.begin(), (r["port"].toString() + " " + r["adapter_serial"].toString() + " " +
                                       r["outcome"].toString() + " " +
                                       r["answers"][0]["answer"].toString().section("SN-", 1).prepend("SN-"))
                                          .toStdString());
        }
        return runs;
    }

    TempDir dir;
    std::optional<Testbed> bed;
    std::map<std::string, std::unique_ptr<SimUnit>> sims;
    std::optional<StationRun> run;
    std::string script = dir.file("flash.sld");
    std::string url = "sqlite:" + dir.file("records.sqlite");
};

TEST_F(Station, FlashesAdaptersAsTheyComeAndGoAndIgnoresOthers) {
    // Adapter 0 is there from the start, on a slow line; adapter 2 matches no --match.
    bed->plug(0, "BW0001", unit("line0", "SN-0001", "9600").device);
    bed->plug(2, "BW0009");
    ASSERT_TRUE(station({"--match", "usb:0403:6001:BW0001", "--match", "/dev/serial/by-id/*BW0002*"}));
    ASSERT_TRUE(run->says("/dev/ttyUSB0 BW0001 flashing")) << run->output();
    EXPECT_TRUE(run->says("/dev/ttyUSB2 usb:0403:6001:BW0009 is not flashed: no --match names it"));

    // Adapter 1 comes and is pulled out in the middle of its upload: its run fails, the other goes on.
    bed->plug(1, "BW0002", unit("line1", "SN-0002", "38400").device);
    ASSERT_TRUE(sims["line1"]->process.waitForLine("NOTE pty LOAD", 30s));
    sims.erase("line1");
    bed->unplug(1);
    ASSERT_TRUE(run->says("/dev/ttyUSB1 BW0002 failed")) << run->output();
    EXPECT_EQ(run->count("/dev/ttyUSB0 BW0001 passed"), 0) << "adapter 0 is still being flashed";
    EXPECT_TRUE(run->says("/dev/ttyUSB1 BW0002 unplugged"));

    // It comes back under another number with the next unit, and is flashed again.
    bed->plug(3, "BW0002", unit("line3", "SN-0003").device);
    EXPECT_TRUE(run->says("/dev/ttyUSB3 BW0002 passed")) << run->output();
    EXPECT_TRUE(run->says("/dev/ttyUSB0 BW0001 passed")) << run->output();
    run->process.signal(SIGINT);
    EXPECT_EQ(run->process.wait(30s), 1) << "one run failed\n" << run->output();
    EXPECT_EQ(bed->heard("/dev/ttyUSB2"), "") << "the adapter that does not match is never opened";
    EXPECT_EQ(recorded(), (std::vector<std::string>{"/dev/ttyUSB0 BW0001 completed SN-0001",
                                                    "/dev/ttyUSB1 BW0002 failed SN-0002",
                                                    "/dev/ttyUSB3 BW0002 completed SN-0003"}))
        << run->output();
}

TEST_F(Station, FixtureFlashesTheNextUnitOnlyOnceTheLastWasTakenAway) {
    bed->plug(0, "BW0001", dir.file("bed0"));
    unit("bed0", "SN-000A");
    ASSERT_TRUE(station({"--fixture", "--match", "usb:0403:6001"}));
    ASSERT_TRUE(run->says("BW0001 passed")) << run->output();
    // The flashed unit stays on the bed and keeps answering: it is not flashed again.
    std::this_thread::sleep_for(3500ms);
    EXPECT_EQ(run->count("flashing"), 1) << run->output();
    sims.erase("bed0");
    ASSERT_TRUE(run->says("BW0001 the unit was taken away")) << run->output();
    unit("bed0", "SN-000B");
    ASSERT_TRUE(run->says("BW0001 passed", 2)) << run->output();
    run->process.signal(SIGTERM);
    EXPECT_EQ(run->process.wait(30s), 0) << run->output();
    EXPECT_EQ(recorded(), (std::vector<std::string>{"/dev/ttyUSB0 BW0001 completed SN-000A",
                                                    "/dev/ttyUSB0 BW0001 completed SN-000B"}));
}

TEST_F(Station, StopsAsTheOperatorSaysAndRecordsHowEachRunEnded) {
    const struct {
        const char* what;
        std::vector<int> stops; // sent one after another once the upload runs
        int exitCode;
        const char* outcome;
    } rows[] = {
        {"Ctrl+C: the running unit finishes", {SIGINT}, 0, "completed"},
        {"a second Ctrl+C stops it", {SIGINT, SIGINT}, 1, "stopped"},
        {"SIGTERM stops it at once", {SIGTERM}, 1, "stopped"},
        {"SIGHUP likewise", {SIGHUP}, 1, "stopped"},
        {"--once ends by itself", {}, 0, "completed"},
    };
    int n = 0;
    for (const auto& r : rows) {
        url = "sqlite:" + dir.file("records" + std::to_string(++n) + ".sqlite");
        bed.emplace();
        bed->plug(0, "BW0001", unit("line", "SN-0000", "19200").device);
        ASSERT_TRUE(
            station(r.stops.empty() ? std::vector<std::string>{"--once"} : std::vector<std::string>{}));
        ASSERT_TRUE(sims["line"]->process.waitForLine("NOTE pty LOAD", 30s)) << r.what << "\n"
                                                                             << run->output();
        for (std::size_t i = 0; i < r.stops.size(); ++i) {
            run->process.signal(r.stops[i]);
            // The next one once the station took this one.
            if (i + 1 < r.stops.size()) {
                ASSERT_TRUE(run->says("Ctrl+C: no new units")) << r.what << "\n" << run->output();
            }
        }
        EXPECT_EQ(run->process.wait(60s), r.exitCode) << r.what << "\n" << run->output();
        EXPECT_EQ(recorded(),
                  std::vector<std::string>{"/dev/ttyUSB0 BW0001 " + std::string(r.outcome) + " SN-0000"})
            << r.what;
    }
}

TEST_F(Station, StoreThatCannotBeWrittenKeepsTheVerdictAndTheRecord) {
    bed->plug(0, "BW0001", unit("line", "SN-0000").device);
    url = "sqlite:/proc/brimwell-no-store/records.sqlite";
    ASSERT_TRUE(station({"--once"}));
    EXPECT_EQ(run->process.wait(60s), 3) << run->output();
    EXPECT_EQ(run->count("BW0001 passed"), 1) << run->output();
    // The record waits as JSON in the station's directory, for brimwell records --sync.
    int waiting = 0;
    for (const auto& f : std::filesystem::directory_iterator(dir.path()))
        waiting += f.path().filename().string().starts_with("brimwell-run-");
    EXPECT_EQ(waiting, 1) << run->output();
}

TEST_F(Station, RefusesWhatItCannotDoBeforeAnyUnit) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string says;
    } rows[] = {
        {{script, "--port", "/dev/ttyUSB0"}, 2, "--port is not an option of a station"},
        {{script, "--match", "usb:xyz"}, 2, "--match usb:xyz: a USB adapter is matched by usb:VID:PID"},
        {{script, "--records", "mysql://db"}, 2, "--records: "},
        {{dir.file("missing.sld")}, 2, "cannot open script"},
        // No adapter at the start: --once has nothing to do. The store is this machine's own.
        {{script, "--once"}, 0, "records go to sqlite:" + dir.file("data/brimwell/records.sqlite")},
    };
    for (const auto& r : rows) {
        std::vector<std::string> args{"station"};
        args.insert(args.end(), r.args.begin(), r.args.end());
        const CommandResult c = RecordedUnits::brimwell(args, {"XDG_DATA_HOME=" + dir.file("data")});
        EXPECT_EQ(c.exitCode, r.exitCode) << r.args.back() << "\n" << c.out << c.err;
        EXPECT_NE((c.out + c.err).find(r.says), std::string::npos) << c.out << c.err;
    }
}

} // namespace
