// "brimwell run" against brimwell-unit-sim over pseudo-terminals: whole flashing runs, every
// simulated fault, set-up errors, probing, settings and Ctrl+C. The engine's waits run faster
// through BRIMWELL_TIME_SCALE; the simulator runs at real time.
#include "support/event_pump.h"
#include "support/pty.h"
#include "support/recorder_files.h"
#include "support/ser2net_server.h"
#include "support/sim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <grp.h>
#include <map>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace brimwell::testing;

namespace {

constexpr const char* kFirmware = "firmware.bin";
constexpr const char* kConfig = "config.bin";

struct RunResult {
    int exitCode = -1;
    std::string err;
    std::vector<std::string> out;
    bool outHas(const std::string& s) const {
        for (const auto& l : out)
            if (l.find(s) != std::string::npos) return true;
        return false;
    }
};

class FlashRun {
  public:
    explicit FlashRun(size_t firmwareBytes = 300 * 1024 + 123) {
        firmware_ = patternBytes(firmwareBytes, 42);
        config_ = patternBytes(4001, 7);
        for (auto* bytes : {&firmware_, &config_}) // see expectRecorded
            std::replace(bytes->begin(), bytes->end(), uint8_t('['), uint8_t(']'));
        writeFile(dir_.file(kFirmware), firmware_);
        writeFile(dir_.file(kConfig), config_);
        writeText(dir_.file("empty.ini"), "");
    }

    // The standard two-file script, data files named by absolute path.
    std::string twoFileScript(const std::string& loaderCommand = "LOADR^M") const {
        return "; flash two files\n"
               "_TC \"" +
               loaderCommand +
               "\"\n"
               "_QC \"ver\"\n"
               "_CS \"V1.08\" _LP 1\n"
               "_LF " +
               dir_.file(kFirmware) +
               "\n"
               "_LA 80000000\n"
               "_LV 1.08\n"
               "_LD\n"
               "_LF " +
               dir_.file(kConfig) +
               "\n"
               "_LA 80100000\n"
               "_LV 2.0b\n"
               "_LD\n";
    }

    // One of several simulated units, with a store of its own; adds its --port to `args`.
    bool startUnit(SimUnit& sim, size_t i, std::vector<std::string>& args, std::vector<std::string> simArgs) {
        simArgs.insert(simArgs.end(),
                       {"--store", dir_.file("store" + std::to_string(i)), "--data-timeout", "20000"});
        args.insert(args.end(), {"--port", dir_.file("unit:" + std::to_string(i))});
        return sim.start(dir_, simArgs, "unit:" + std::to_string(i));
    }

    void writeSettings(const std::string& text) const { writeText(dir_.file("settings.ini"), text); }

    bool startSim(const std::vector<std::string>& args) {
        std::vector<std::string> all{"--store", dir_.file("store")};
        all.insert(all.end(), args.begin(), args.end());
        if (sim_.start(dir_, all)) return true;
        std::string said;
        for (const auto& l : sim_.process.lines())
            said += l + "\n";
        ADD_FAILURE() << "the simulator did not start:\n" << said << sim_.process.stderrText();
        return false;
    }

    RunResult run(const std::string& script, std::vector<std::string> extraArgs = {}, double scale = 20,
                  std::vector<std::string> env = {}, std::chrono::seconds limit = std::chrono::seconds(240)) {
        writeText(dir_.file("run.sld"), script);
        std::vector<std::string> args{"run", dir_.file("run.sld")};
        if (std::find(extraArgs.begin(), extraArgs.end(), "--port") == extraArgs.end() &&
            std::find(extraArgs.begin(), extraArgs.end(), "--no-port") == extraArgs.end()) {
            args.push_back("--port");
            args.push_back(sim_.device);
        }
        std::erase(extraArgs, "--no-port");
        if (std::find(extraArgs.begin(), extraArgs.end(), "--settings") == extraArgs.end()) {
            args.push_back("--settings");
            args.push_back(dir_.file("empty.ini"));
        }
        args.insert(args.end(), {"--trace", dir_.file("t"), "--log", dir_.file("l")});
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        env.push_back("BRIMWELL_TIME_SCALE=" + std::to_string(scale));
        std::string program = binDir() + "/brimwell";
        if (!launcher.empty()) {
            args.insert(args.begin(), program);
            args.insert(args.begin(), launcher.begin() + 1, launcher.end());
            program = launcher.front();
        }
        ChildProcess p;
        p.workingDir = cwd;
        RunResult r;
        if (!p.start(program, args, env)) return r;
        if (onStarted) onStarted(p);
        r.exitCode = p.wait(limit);
        r.err = p.stderrText();
        r.out = p.lines();
        return r;
    }

    std::string storedPath(const std::string& address, const std::string& version,
                           const std::string& kw = "LF") const {
        return dir_.file("store/" + kw + "_" + address + "_" + version + ".bin");
    }

    // The run's trace and log (decimal rendering, which reads back only without '[' in the data)
    // both hold what it sent, and `answer` among what it read from the unit.
    void expectRecorded(const std::string& sent, const std::string& answer) const {
        std::map<std::string, std::string> r; // by direction ("T", "R") and by log entry kind
        for (const bool log : {false, true}) {
            const std::vector<uint8_t> file = readFile(dir_.file(log ? "l" : "t"));
            for (const auto& [kind, bytes] :
                 brimwell::test::readRecorded({file.begin(), file.end()}, false, log))
                r[kind] += bytes;
        }
        EXPECT_EQ(r["T"], r["Dispatch WriteCom"]);
        EXPECT_NE(r["T"].find(sent), std::string::npos);
        EXPECT_NE(r["R"].find(answer), std::string::npos) << r["R"];
        EXPECT_NE(r["Dispatch ReadCom"].find(answer), std::string::npos);
    }

    TempDir dir_;
    SimUnit sim_;
    std::vector<uint8_t> firmware_, config_;
    std::function<void(ChildProcess&)> onStarted;
    std::string cwd;                   // where brimwell runs (empty: the test's own directory)
    std::vector<std::string> launcher; // a program that runs brimwell (/usr/bin/unshare -n ...)
};

// Until the run printed `text` on either stream.
bool waitForText(ChildProcess& p, const std::string& text,
                 std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto printed = [&] {
        const auto out = p.lines();
        return p.stderrText().find(text) != std::string::npos ||
               std::any_of(out.begin(), out.end(),
                           [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    return waitUntil(printed, static_cast<int>(std::chrono::milliseconds(limit).count()));
}

// The units of a --report file.
QJsonArray reportUnits(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
        .object()["units"]
        .toArray();
}

std::string checksumText(const std::vector<uint8_t>& bytes) {
    unsigned sum = 0;
    for (uint8_t b : bytes)
        sum += b;
    char text[8];
    std::snprintf(text, sizeof text, "%04x", sum % 65536u);
    return text;
}

std::string explain(const RunResult& r) {
    std::string s = "stderr:\n" + r.err + "stdout:\n";
    for (const auto& l : r.out)
        s += l + "\n";
    return s;
}

TEST(EndToEnd, FlashesTwoFilesByteIdentical) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    const RunResult r = f.run(f.twoFileScript(), {"--report", f.dir_.file("report.json")});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
    EXPECT_EQ(readFile(f.storedPath("80100000", "2.0B")), f.config_);
    const QJsonArray units = reportUnits(f.dir_.file("report.json"));
    ASSERT_EQ(units.size(), 1);
    EXPECT_EQ(units[0]["outcome"], "completed");
    EXPECT_EQ(units[0]["device"], QString::fromStdString(std::filesystem::canonical(f.sim_.device).string()));
    const QJsonArray files = units[0]["files"].toArray();
    ASSERT_EQ(files.size(), 2);
    EXPECT_EQ(files[1]["name"], QString::fromStdString(f.dir_.file(kConfig)));
    for (const auto& [file, bytes, blocks] :
         {std::tuple{files[0], &f.firmware_, 154}, {files[1], &f.config_, 3}}) {
        EXPECT_EQ(file["size"].toInt(), static_cast<int>(bytes->size()));
        EXPECT_EQ(file["checksum"].toString().toStdString(), checksumText(*bytes));
        EXPECT_EQ(file["blocks"].toInt(), blocks);
        EXPECT_GT(file["data_phase_seconds"].toDouble(), 0);
        EXPECT_EQ(file["outcome"], "completed");
    }
    EXPECT_EQ(files[0]["address"], "80000000");
    EXPECT_EQ(files[1]["version"], "2.0B");
    EXPECT_NE(r.err.find("Status: SUCCESS. Reading script file complete\n"), std::string::npos) << explain(r);
    EXPECT_NE(r.err.find("Upload Complete.\n"), std::string::npos) << explain(r);
    EXPECT_EQ(r.err.find("Error"), std::string::npos) << explain(r);
    // Not a terminal: plain progress lines, ending at the last block of each file.
    EXPECT_TRUE(r.outHas("Upload " + f.dir_.file(kFirmware) + ": 307323 bytes")) << explain(r);
    EXPECT_TRUE(r.outHas(", load address 80000000, 154 blocks")) << explain(r);
    // Every block is counted, the short last one too.
    EXPECT_TRUE(r.outHas("block 154 of 154 (100%)")) << explain(r);
    EXPECT_TRUE(r.outHas("block 3 of 3 (100%)")) << explain(r);
    // One closing line per file: bytes, data-phase seconds, rate and the share of the line rate.
    for (const auto& [file, bytes] : {std::pair{kFirmware, "307323"}, {kConfig, "4001"}})
        EXPECT_NE(r.err.find("Data file " + f.dir_.file(file) + ": " + bytes + " bytes in "),
                  std::string::npos)
            << explain(r);
    EXPECT_NE(r.err.find("% of the line rate (38400 baud); completed\n"), std::string::npos) << explain(r);
    const auto stored = f.sim_.process.waitForLine("STORED " + f.storedPath("80100000", "2.0B"));
    ASSERT_TRUE(stored.has_value());
    f.expectRecorded(std::string(f.firmware_.begin(), f.firmware_.end()), "LOADER MODE"); // all of it fits
}

TEST(EndToEnd, SettingsFileGivesTheLoaderCommandAndBaud) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({"--loader-command", "BOOT"}));
    std::string ini = "[port]\nPort=COM1\nBaud=57600\n";
    // Present but empty prompt lines would make the prompts NUL, so 14 and 15 are written out.
    for (int line = 3; line <= 18; ++line)
        ini += line == 14   ? "MainPrompt=#\n"
               : line == 15 ? "LoaderPrompt=>\n"
                            : "; comment\n[section]\nUnused" + std::to_string(line) + "=\n";
    ini += "LoaderModeCommand=BOOT\n";
    f.writeSettings(ini);
    // _TC sends a bare carriage return first; only the settings' loader-mode command wakes the loader.
    const RunResult r = f.run(f.twoFileScript("^M"), {"--settings", f.dir_.file("settings.ini")});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
    EXPECT_NE(r.err.find("at 57600 baud"), std::string::npos) << explain(r);
}

struct FaultCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<std::string> expectedMessages; // each must appear as a line on stderr
    double scale;
    size_t firmwareBytes = 300 * 1024 + 123; // a paced line takes its real time for every byte
    std::vector<std::string> runArgs = {};
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class SimulatedFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(SimulatedFault, EndsWithItsMessageAndExitOne) {
    FlashRun f(GetParam().firmwareBytes);
    // The simulator gives up a load after 2 s without data; on a machine busy enough to starve it
    // that long, its own give-up would stand in for the fault under test.
    std::vector<std::string> simArgs = GetParam().simArgs;
    simArgs.insert(simArgs.end(), {"--data-timeout", "20000"});
    ASSERT_TRUE(f.startSim(simArgs));
    const RunResult r = f.run(f.twoFileScript(), GetParam().runArgs, GetParam().scale);
    std::string simSaid; // what the unit reported, for a run that ends the wrong way
    for (const auto& l : f.sim_.process.lines())
        simSaid += l + "\n";
    EXPECT_EQ(r.exitCode, 1) << explain(r) << "simulator:\n" << simSaid;
    for (const auto& m : GetParam().expectedMessages)
        EXPECT_NE(r.err.find(m + "\n"), std::string::npos) << "missing: " << m << "\n" << explain(r);
    EXPECT_EQ(r.err.find("SUCCESS"), std::string::npos) << explain(r);
    EXPECT_EQ(r.err.find("Upload Complete."), std::string::npos) << explain(r);
    // A failed upload is named in the closing message; a run that stopped before one keeps the old text.
    const std::string closing =
        r.outHas("Upload ") ? "Unsuccessful.  Data file " + f.dir_.file(kFirmware) + " was not uploaded: "
                            : "Unsuccessful.  Upload terminated by user.\n";
    EXPECT_NE(r.err.find(closing), std::string::npos) << explain(r);
    // The summary names the run's first error, the first message of the row.
    const size_t at = r.err.find(GetParam().expectedMessages[0] + "\n");
    const size_t first = at == std::string::npos ? 0 : r.err.rfind('\n', at) + 1;
    EXPECT_NE(r.err.find("Run failed: " + r.err.substr(first, r.err.find('\n', first) - first + 1)),
              std::string::npos)
        << explain(r);
    EXPECT_FALSE(std::filesystem::exists(f.storedPath("80100000", "2.0B")))
        << "no second image after a fault";
    f.expectRecorded("LOADR\r", "LOADR");
}

const std::string kNoPromptAfterUpload =
    "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.";
// The unit's own reason, quoted after the prompt attempts.
const std::string kChecksumRefused =
    kNoPromptAfterUpload + " The unit's last answer: \"LOAD ERROR: checksum mismatch\"";

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, SimulatedFault,
    ::testing::Values(FaultCase{"StaysInNormalFirmware",
                                {"--stay-normal"},
                                {"Error! Unit not in Loader Mode! Exiting script"},
                                20},
                      FaultCase{"MissingPrompts",
                                {"--no-prompt"},
                                {"Error! Unable to get response from unit(_TC)! Exiting script"},
                                20},
                      // Every answer wait lasts at least a second of real time, so the prompts come well
                      // after all three loader-mode attempts (about 3.3 s together) are over.
                      FaultCase{"SlowPromptsBeyondTheLimit",
                                {"--prompt-delay", "10000"},
                                {"Error! Unable to get response from unit(_TC)! Exiting script"},
                                20},
                      FaultCase{"CorruptedByte", {"--corrupt-at", "150000"}, {kChecksumRefused}, 50},
                      FaultCase{"DroppedByte", {"--drop-at", "4321"}, {kChecksumRefused}, 50},
                      // The drain limit is the line time of what waits ahead at the port's rate: a
                      // fast rate keeps it short.
                      FaultCase{"HangAfterBytes",
                                {"--hang-after", "20000"},
                                {"Error! Output Buffer never empties. Check RS232 connection. Cancel upload.",
                                 kNoPromptAfterUpload},
                                50,
                                300 * 1024 + 123,
                                {"--baud", "115200"}},
                      // A line that closes is noticed at once: no prompt attempts into a device that is gone.
                      FaultCase{
                          "DisconnectAfterBytes", {"--disconnect-after", "20000"}, {"/unit was lost."}, 50},
                      FaultCase{"PacedLineDropsAByte",
                                {"--baud", "115200", "--drop-at", "100"},
                                {kChecksumRefused},
                                50,
                                20 * 1024}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EndToEnd, RecoversFromAMissedPromptAndASlowPrompt) {
    FlashRun f;
    // The first loader prompt never comes; the later ones come late but within the 65-tick wait.
    ASSERT_TRUE(f.startSim({"--skip-prompts", "1", "--prompt-delay", "40"}));
    const RunResult r = f.run(f.twoFileScript(), {}, 20);
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
}

TEST(EndToEnd, PacedLineAtTheConfiguredRate) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({"--baud", "115200"}));
    std::string script = "_TC \"LOADR^M\"\n_LP 1\n_LF " + f.dir_.file(kConfig) + "\n_LA 0\n_LV 1\n_LD\n";
    const RunResult r = f.run(script, {"--baud", "115200"});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("0", "1")), f.config_);
}

TEST(EndToEnd, ErrorMessagesMakeARunFail) {
    // The script goes on after a data file that does not open, but nothing was flashed and nothing
    // says success. A name that is not UTF-8 is shown byte for byte, in the record too.
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    const std::string missing = f.dir_.file("missing-\xfc.bin"), shown = f.dir_.file("missing-\\xfc.bin");
    const RunResult r = f.run("_TC \"LOADR^M\"\n_LF " + missing + "\n_LA 0\n_LV 1\n_LD\n",
                              {"--report", f.dir_.file("r.json")});
    EXPECT_EQ(r.exitCode, 1) << explain(r);
    for (const std::string& line :
         {"Unsuccessful.  Data file " + shown + " was not uploaded: it does not exist.\n",
          "Data file " + shown + ": 0 bytes, none sent; failed: it does not exist\n",
          "Run failed: Error! Unable to open file " + shown + ". Cannot upload file.\n"})
        EXPECT_NE(r.err.find(line), std::string::npos) << line << explain(r);
    EXPECT_EQ(r.err.find("SUCCESS"), std::string::npos) << explain(r);
    const QJsonObject file =
        reportUnits(f.dir_.file("r.json"))[0].toObject()["files"].toArray()[0].toObject();
    EXPECT_EQ(file["name"].toString().toStdString(), shown);
    EXPECT_EQ(file["reason"], "it does not exist");
    EXPECT_EQ(file["outcome"], "failed");
}

// A settings file with a wrong value is a set-up error before the port is touched, unless an option
// stands in for the value; a script with no command lines runs, with a warning.
TEST(EndToEnd, SettingsErrorsStopTheRunUnlessAnOptionStandsIn) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    f.writeSettings("Port=COM1\nBaud=14400\n");
    const std::string settings = f.dir_.file("settings.ini");
    const std::string wrong = "settings file " + settings + ": Error! Baud Rate set in INI file is invalid!";
    RunResult r = f.run("_TC \"LOADR^M\"\n", {"--settings", settings});
    EXPECT_EQ(r.exitCode, 2) << explain(r);
    EXPECT_NE(r.err.find("brimwell run: " + wrong + "\n"), std::string::npos) << explain(r);
    EXPECT_EQ(r.err.find("Running "), std::string::npos) << "the port is not touched";
    r = f.run("_TC \"LOADR^M\"\n", {"--settings", settings, "--baud", "38400"});
    EXPECT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_NE(r.err.find("brimwell run: warning: " + wrong + " --baud 38400 is used instead.\n"),
              std::string::npos)
        << explain(r);
}

TEST(EndToEnd, DataFilesFromTheWorkingDirectoryFirstThenBesideTheScript) {
    FlashRun f;
    TempDir here;
    f.cwd = here.path();
    const std::vector<uint8_t> local = patternBytes(2500, 9);
    writeFile(here.file(kFirmware), local);
    ASSERT_TRUE(f.startSim({}));
    const RunResult r = f.run("_TC \"LOADR^M\"\n_LP 1\n_LF firmware.bin\n_LA 10\n_LV 1\n_LD\n"
                              "_LF config.bin\n_LA 20\n_LV 2\n_LD\n");
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("10", "1")), local);
    EXPECT_EQ(readFile(f.storedPath("20", "2")), f.config_);
}

TEST(EndToEnd, ReadmeQuickStartFromTheProjectRoot) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    f.cwd = std::getenv("BRIMWELL_SOURCE_DIR");
    const std::string examples = std::string(std::getenv("BRIMWELL_BUILD_DIR")) + "/examples/";
    ChildProcess p;
    p.workingDir = f.cwd;
    ASSERT_TRUE(p.start(binDir() + "/brimwell", {"run", examples + "flash_unit.sld", "--port", f.sim_.device},
                        {"BRIMWELL_TIME_SCALE=20"}));
    ASSERT_EQ(p.wait(std::chrono::seconds(240)), 0) << p.stderrText();
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), readFile(examples + "firmware.bin"));
}

TEST(EndToEnd, CtrlCStopsAfterTheBlockInProgress) {
    FlashRun f;
    // At 9600 baud the firmware takes about 5 minutes: plenty of time to stop it.
    ASSERT_TRUE(f.startSim({"--baud", "9600", "--data-timeout", "500"}));
    f.onStarted = [](ChildProcess& p) {
        ASSERT_TRUE(p.waitForLine("Progress ", std::chrono::seconds(60)).has_value());
        p.signal(SIGINT);
    };
    const RunResult r = f.run(f.twoFileScript(), {"--baud", "9600"}, 20);
    EXPECT_EQ(r.exitCode, 1) << explain(r);
    EXPECT_NE(r.err.find("Stopping (Ctrl+C): the transfer ends after the block in progress."),
              std::string::npos)
        << explain(r);
    EXPECT_NE(r.err.find("Run stopped (Ctrl+C).\n"), std::string::npos) << explain(r);
    EXPECT_NE(r.err.find("Unsuccessful.  Upload terminated by user.\n"), std::string::npos) << explain(r);
    EXPECT_EQ(r.err.find("SUCCESS"), std::string::npos) << explain(r);
    EXPECT_FALSE(r.outHas("(100%)")) << explain(r);
    EXPECT_FALSE(std::filesystem::exists(f.storedPath("80000000", "1.08")));
    f.expectRecorded(std::string(f.firmware_.begin(), f.firmware_.begin() + 2000), "LOADER MODE");
    // The port was given back: the simulator's line opens again at once.
    const int fd = ::open(f.sim_.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_GE(fd, 0);
    if (fd >= 0) ::close(fd);
}

TEST(EndToEnd, SecondCtrlCStopsWaitingForTheUnit) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({"--baud", "1200"}));
    f.onStarted = [](ChildProcess& p) {
        ASSERT_TRUE(p.waitForLine("Progress ", std::chrono::seconds(60)).has_value());
        p.signal(SIGINT);
        ASSERT_TRUE(waitForText(p, "Stopping (Ctrl+C)")); // the second once the first was taken
        p.signal(SIGINT);
    };
    // At real time the prompt check after a stopped upload would wait 11 times, over three minutes,
    // and the block in progress would take over a minute to leave behind the full pty at 1200 baud;
    // the second Ctrl+C gives up both, so the run ends well inside the bound below.
    const RunResult r = f.run(f.twoFileScript(), {"--baud", "1200"}, 1, {}, std::chrono::seconds(60));
    EXPECT_EQ(r.exitCode, 1) << explain(r);
    EXPECT_NE(r.err.find("Stopping now: no more waiting for the unit's prompt.\n"), std::string::npos)
        << explain(r);
    EXPECT_NE(r.err.find("Unsuccessful.  Upload terminated by user.\n"), std::string::npos) << explain(r);
}

struct StopCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::string startedWhen; // printed when the signal is sent
    int signal;
    std::string expected;
};

// At real time these runs would wait minutes (stopped upload) or 24 s (silent unit) for prompts.
TEST(EndToEnd, StopsEndTheRunWithoutWaitingForTheUnit) {
    const StopCase cases[] = {
        {"TermDuringUpload",
         {"--baud", "9600"},
         "Upload ",
         SIGTERM,
         "Stopping (SIGTERM): the transfer ends after the block in progress; no more waiting for the unit."},
        {"HangUpDuringUpload",
         {"--baud", "9600"},
         "Upload ",
         SIGHUP,
         "Stopping (SIGHUP): the transfer ends after the block in progress; no more waiting for the unit."},
        {"CtrlCOutsideAnUpload",
         {"--no-prompt"},
         "Running ",
         SIGINT,
         "Stopping (Ctrl+C): no more waiting for the unit; the run fails."},
    };
    for (const auto& c : cases) {
        FlashRun f;
        ASSERT_TRUE(f.startSim(c.simArgs));
        f.onStarted = [&](ChildProcess& p) {
            ASSERT_TRUE(waitForText(p, c.startedWhen)) << c.name;
            p.signal(c.signal);
        };
        const RunResult r = f.run(f.twoFileScript(), {"--baud", "9600"}, 1, {}, std::chrono::seconds(12));
        EXPECT_EQ(r.exitCode, 1) << c.name << "\n" << explain(r);
        EXPECT_NE(r.err.find(c.expected), std::string::npos) << c.name << "\n" << explain(r);
        EXPECT_NE(r.err.find("Run stopped (" + c.expected.substr(10, c.expected.find(')') - 10) +
                             ").\n"), // from "Stopping (X)"
                  std::string::npos)
            << c.name << "\n"
            << explain(r);
    }
}

TEST(EndToEnd, PortMessagesNameTheHolderAndTheOwningGroup) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    ChildProcess holder;
    const char* lockAndWait =
        "import fcntl, sys, time; f = open(sys.argv[1], 'rb'); fcntl.flock(f, fcntl.LOCK_EX); "
        "print('LOCKED', flush=True); time.sleep(60)";
    ASSERT_TRUE(holder.start("/usr/bin/python3", {"-c", lockAndWait, f.sim_.device}));
    ASSERT_TRUE(holder.waitForLine("LOCKED").has_value());
    RunResult r = f.run("_LP 1\n");
    EXPECT_EQ(r.exitCode, 2) << explain(r);
    EXPECT_NE(r.err.find("cannot open " + f.sim_.device + ": another program holds it (python3 (pid " +
                         std::to_string(holder.pid()) + ")"),
              std::string::npos)
        << explain(r);
    holder.stop();
    // As an ordinary user outside the group that owns the device (root opens anything).
    const std::string tty = std::filesystem::canonical(f.sim_.device);
    ASSERT_EQ(::chown(tty.c_str(), 0, 20), 0);
    ASSERT_EQ(::chmod(tty.c_str(), 0660), 0);
    std::filesystem::permissions(f.dir_.path(), std::filesystem::perms::all,
                                 std::filesystem::perm_options::add);
    writeText(f.dir_.file("user.sld"), "_LP 1\n");
    ChildProcess user;
    ASSERT_TRUE(
        user.start("/usr/bin/setpriv", {"--reuid=65534", "--regid=65534", "--clear-groups",
                                        binDir() + "/brimwell", "run", f.dir_.file("user.sld"), "--port",
                                        f.sim_.device, "--settings", f.dir_.file("empty.ini")}));
    EXPECT_EQ(user.wait(), 2) << user.stderrText();
    EXPECT_NE(user.stderrText().find("cannot open " + f.sim_.device +
                                     ": permission denied; add the user to the group '" +
                                     std::string(::getgrgid(20)->gr_name) + "' that owns it"),
              std::string::npos)
        << user.stderrText();
}

TEST(EndToEnd, ProbesComOneAndTwoWithoutAPort) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    const RunResult r =
        f.run(f.twoFileScript(), {"--no-port"}, 20,
              {"BRIMWELL_COM1=" + f.dir_.file("no-such-device"), "BRIMWELL_COM2=" + f.sim_.device});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_NE(r.err.find("Status: Established communication on COM 2\n"), std::string::npos) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
}

TEST(EndToEnd, SettingsPortIsProbedBeforeComOneAndTwo) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({"--start-in-loader"}));
    f.writeSettings("Port=" + f.sim_.device + "\n");
    const RunResult r =
        f.run(f.twoFileScript(), {"--no-port", "--settings", f.dir_.file("settings.ini")}, 20,
              {"BRIMWELL_COM1=" + f.dir_.file("none1"), "BRIMWELL_COM2=" + f.dir_.file("none2")});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    // A unit already in loader mode answers the second probe, for the loader prompt.
    EXPECT_NE(r.err.find("Status: Established communication on " + f.sim_.device + "\n"), std::string::npos)
        << explain(r);
    EXPECT_NE(r.err.find("Running " + f.dir_.file("run.sld") + " on " + f.sim_.device), std::string::npos)
        << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
}

TEST(EndToEnd, NoUnitOnEitherPortIsASetUpError) {
    FlashRun f;
    const RunResult r =
        f.run("_TC \"LOADR^M\"\n", {"--no-port"}, 50,
              {"BRIMWELL_COM1=" + f.dir_.file("none1"), "BRIMWELL_COM2=" + f.dir_.file("none2")});
    EXPECT_EQ(r.exitCode, 2) << explain(r);
    EXPECT_NE(r.err.find("no unit answered on " + f.dir_.file("none1") + " (COM1) or " +
                         f.dir_.file("none2") + " (COM2)"),
              std::string::npos)
        << explain(r);
}

struct SetupCase {
    const char* name;
    std::vector<std::string> args; // after "run"
    std::string expected;          // part of the message on stderr
    std::string program = "brimwell";
};

TEST(EndToEnd, UsageAndSetUpErrorsExitTwo) {
    TempDir dir;
    writeText(dir.file("ok.sld"), "");
    brimwell::test::PtyPair line;
    // A UART that cannot make rates above 115200 (pseudo-terminals take any rate).
    const std::string slowUart = "paced:" + line.slavePath() + "?max-rate=115200";
    const SetupCase cases[] = {
        {"NoScript", {}, "brimwell run: no script given"},
        {"MissingScript",
         {dir.file("nope.sld")},
         "cannot open script " + dir.file("nope.sld") + ": No such file"},
        {"ScriptIsADirectory", {dir.path()}, "it is a directory"},
        {"UnknownOption", {dir.file("ok.sld"), "--fast"}, "unknown option --fast"},
        {"BadBaud", {dir.file("ok.sld"), "--baud", "12"}, "--baud: unsupported line rate 12"},
        {"RateTheDeviceRefuses",
         {dir.file("ok.sld"), "--port", slowUart, "--baud", "921600"},
         "cannot open " + slowUart + ": the device cannot run at 921600 baud (it refused the rate)",
         "brimwell-paced"},
        {"PortMissing",
         {dir.file("ok.sld"), "--port", dir.file("ttyNONE")},
         "cannot open " + dir.file("ttyNONE") + ": No such file or directory"},
        {"PortNotADevice",
         {dir.file("ok.sld"), "--port", dir.file("ok.sld")},
         "cannot open " + dir.file("ok.sld") + ": it is a file, not a serial device"},
        {"PortTwice",
         {dir.file("ok.sld"), "--port", dir.file("ttyNONE"), "--port", dir.file("ttyNONE")},
         "--port " + dir.file("ttyNONE") + " given twice"},
        {"PciAmongSeveral",
         {dir.file("ok.sld"), "--port", dir.file("ttyNONE"), "--port", "PCI"},
         "--port PCI: the PCI link cannot be one of several ports"},
        {"SeveralPortsNoneThere",
         {dir.file("ok.sld"), "--port", dir.file("ttyNONE"), "--port", dir.file("ttyNONE2")},
         "ttyNONE2: brimwell run: cannot open " + dir.file("ttyNONE2") + ": No such file or directory"},
        {"PortNumberTooHigh", {dir.file("ok.sld"), "--port", "COM99"}, "port numbers run from COM1 to COM50"},
        {"TraceOnPci",
         {dir.file("ok.sld"), "--port", "PCI", "--trace", dir.file("t")},
         "--trace and --log record a serial port"},
        {"ReportNowhere",
         {dir.file("ok.sld"), "--report", dir.file("no/such/dir/r.json")},
         "cannot write the report " + dir.file("no/such/dir/r.json")},
        {"LogIsADirectory",
         {dir.file("ok.sld"), "--log", dir.path()},
         "cannot write the log " + dir.path() + ": it is a directory"},
        {"SettingsMissing",
         {dir.file("ok.sld"), "--settings", dir.file("none.ini")},
         "cannot read settings file " + dir.file("none.ini")},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"run"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ChildProcess p;
        ASSERT_TRUE(p.start(binDir() + "/" + c.program, args));
        EXPECT_EQ(p.wait(), 2) << c.name << "\n" << p.stderrText();
        EXPECT_NE(p.stderrText().find(c.expected), std::string::npos) << c.name << "\n" << p.stderrText();
    }
}

// Eight units at once, the fourth sending one byte wrong: seven images arrive, the run fails.
TEST(EndToEnd, EightUnitsInParallelOneFaulted) {
    FlashRun f;
    const std::vector<uint8_t> image(f.firmware_.begin(), f.firmware_.begin() + 30001);
    writeFile(f.dir_.file("small.bin"), image);
    std::vector<SimUnit> sims(8);
    std::vector<std::string> args{"--report", f.dir_.file("report.json")};
    for (size_t i = 0; i < sims.size(); ++i)
        ASSERT_TRUE(f.startUnit(sims[i], i, args,
                                i == 3 ? std::vector<std::string>{"--corrupt-at", "100"}
                                       : std::vector<std::string>{}));
    const RunResult r = f.run("_TC \"LOADR^M\"\n_LF small.bin\n_LA 8000\n_LV 3\n_LD\n", args);
    EXPECT_EQ(r.exitCode, 1) << explain(r);
    const QJsonArray units = reportUnits(f.dir_.file("report.json"));
    ASSERT_EQ(units.size(), 8) << explain(r);
    for (size_t i = 0; i < sims.size(); ++i) {
        const bool good = i != 3;
        const std::string outcome = good ? "completed" : "failed";
        EXPECT_EQ(readFile(f.dir_.file("store" + std::to_string(i) + "/LF_8000_3.bin")),
                  good ? image : std::vector<uint8_t>{})
            << i;
        EXPECT_TRUE(r.outHas(sims[i].device + ": Upload " + f.dir_.file("small.bin"))) << explain(r);
        EXPECT_TRUE(std::any_of(
            r.out.begin(), r.out.end(),
            [&](const std::string& l) {
                return l.rfind(sims[i].device + "  " + outcome + (good ? "    1/1" : "       0/1"), 0) == 0;
            }))
            << i << explain(r);
        const QJsonObject unit = units[static_cast<int>(i)].toObject();
        EXPECT_EQ(unit["port"].toString().toStdString(), sims[i].device);
        EXPECT_EQ(unit["outcome"].toString().toStdString(), outcome);
        EXPECT_EQ(unit["files"][0]["outcome"].toString().toStdString(), outcome);
        EXPECT_EQ(unit["files"][0]["checksum"].toString().toStdString(), checksumText(image));
        EXPECT_GT(unit["cpu_seconds"].toDouble(), 0);
        // Each unit's trace is its own, named after its port.
        std::string suffix = sims[i].device.substr(1);
        std::replace_if(
            suffix.begin(), suffix.end(), [](char c) { return c == '/' || c == ':'; }, '_');
        EXPECT_TRUE(std::filesystem::exists(f.dir_.file("t." + suffix))) << suffix;
    }
    EXPECT_NE(units[3]["summary"].toString().toStdString().find(kNoPromptAfterUpload), std::string::npos);
}

// A unit whose process dies is a crashed unit; SIGTERM or Ctrl+C to the runner stops the others,
// and each names the stop as the runner received it.
TEST(EndToEnd, ParallelRunSurvivesACrashedUnitAndStopsOnSigterm) {
    for (const auto& [sig, name] : {std::pair{SIGTERM, "SIGTERM"}, {SIGINT, "Ctrl+C"}}) {
        FlashRun f;
        std::vector<SimUnit> sims(3);
        std::vector<std::string> args{"--report", f.dir_.file("report.json")};
        for (size_t i = 0; i < sims.size(); ++i)
            ASSERT_TRUE(f.startUnit(sims[i], i, args, {"--baud", "38400"})); // the firmware takes 80 s
        f.onStarted = [&, sig = sig](ChildProcess& p) {
            ASSERT_TRUE(waitForText(p, "unit:2: Upload " + f.dir_.file(kFirmware)));
            std::ifstream children("/proc/" + std::to_string(p.pid()) + "/task/" + std::to_string(p.pid()) +
                                   "/children");
            pid_t first = 0;
            ASSERT_TRUE(children >> first);
            ::kill(first, SIGSEGV);
            // Until the runner reaped it.
            waitUntil([first] { return !std::filesystem::exists("/proc/" + std::to_string(first)); }, 10000);
            p.signal(sig);
        };
        const RunResult r = f.run(f.twoFileScript(), args);
        EXPECT_EQ(r.exitCode, 1) << explain(r);
        const QJsonArray units = reportUnits(f.dir_.file("report.json"));
        ASSERT_EQ(units.size(), 3) << explain(r);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(units[i]["outcome"], i == 0 ? "crashed" : "stopped") << explain(r);
        EXPECT_NE(units[0]["summary"].toString().toStdString().find("signal 11"), std::string::npos);
        EXPECT_EQ(units[2]["summary"].toString().toStdString(), std::string("Run stopped (") + name + ").");
    }
}

// One unit named twice (its link and its device): one run has it, the other is told which program
// holds the port, by that program's name.
TEST(EndToEnd, OneUnitNamedTwiceIsRunOnce) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    const std::string device = std::filesystem::canonical(f.sim_.device);
    const RunResult r = f.run(f.twoFileScript(), {"--port", f.sim_.device, "--port", device});
    EXPECT_EQ(r.exitCode, 2) << explain(r);
    EXPECT_TRUE(r.outHas("another program holds it (brimwell (pid ")) << explain(r);
}

// A pager quit or "| head": output nobody reads any more does not end the flash half-way.
TEST(EndToEnd, ClosedOutputDoesNotEndTheFlash) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    f.launcher = {"/bin/bash", "-c", "\"$@\" | head -n 1; exit ${PIPESTATUS[0]}", "bash"};
    EXPECT_EQ(f.run(f.twoFileScript()).exitCode, 0);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
}

TEST(EndToEnd, RunThatSendsNothingLeavesNoTraceOrLog) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({}));
    const RunResult r = f.run("; nothing to send\n");
    EXPECT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_NE(r.err.find("warning: " + f.dir_.file("run.sld") + " has no command lines"), std::string::npos)
        << explain(r);
    EXPECT_FALSE(std::filesystem::exists(f.dir_.file("t")) || std::filesystem::exists(f.dir_.file("l")));
}

} // namespace

// Units behind a serial server: ser2net, started with a configuration of the test's own, in front
// of the simulator's pty. The images hold bytes 255, which Telnet must escape.
class NetworkPort : public ::testing::TestWithParam<brimwell::test::Ser2netServer::Mode> {};

TEST_P(NetworkPort, FlashesThroughSer2net) {
    using Mode = brimwell::test::Ser2netServer::Mode;
    FlashRun f;
    ASSERT_GT(std::count(f.firmware_.begin(), f.firmware_.end(), 0xFF), 0);
    ASSERT_TRUE(f.startSim({}));
    brimwell::test::Ser2netServer server;
    ASSERT_TRUE(server.start(f.sim_.device, GetParam(), f.dir_.path()));
    speed_t during = 0; // the unit's line speed while the first file loads
    f.onStarted = [&](ChildProcess&) {
        if (!f.sim_.process.waitForLine("NOTE pty LOAD")) return;
        termios t{};
        const int fd = ::open(f.sim_.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (::tcgetattr(fd, &t) == 0) during = ::cfgetospeed(&t);
        ::close(fd);
    };
    const RunResult r = f.run(f.twoFileScript(), {"--port", server.url()});
    ASSERT_EQ(r.exitCode, 0) << explain(r);
    EXPECT_EQ(readFile(f.storedPath("80000000", "1.08")), f.firmware_);
    EXPECT_EQ(readFile(f.storedPath("80100000", "2.0B")), f.config_);
    // The server starts the line at 9600; only RFC 2217 carries the tool's 38400 to it.
    EXPECT_EQ(during, GetParam() == Mode::Rfc2217 ? B38400 : B9600);
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, NetworkPort,
                         ::testing::Values(brimwell::test::Ser2netServer::Mode::Rfc2217,
                                           brimwell::test::Ser2netServer::Mode::Raw),
                         [](const auto& info) {
                             return info.param == brimwell::test::Ser2netServer::Mode::Raw ? "Socket"
                                                                                           : "Rfc2217";
                         });

TEST(EndToEnd, UnreachableSerialServerFailsTheRunQuickly) {
    struct Row {
        std::string port;
        std::vector<std::string> launcher;
        std::string message;
    };
    const std::string refused =
        "rfc2217://127.0.0.1:" + std::to_string(brimwell::test::Ser2netServer::freePort());
    // The lookup runs where only loopback exists, so that no query leaves the machine.
    for (const Row& row :
         {Row{refused, {}, "Connection refused"},
          Row{"socket://unit7.example.com:4001", {"/usr/bin/unshare", "-n"}, "Host not found"}}) {
        FlashRun f;
        f.launcher = row.launcher;
        const auto start = std::chrono::steady_clock::now();
        const RunResult r = f.run(f.twoFileScript(), {"--port", row.port});
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << row.port;
        EXPECT_EQ(r.exitCode, 1) << explain(r);
        EXPECT_NE(r.err.find(row.port), std::string::npos) << explain(r);
        EXPECT_NE(r.err.find(row.message), std::string::npos) << explain(r);
    }
}

TEST(EndToEnd, SerialServerStoppedMidUploadFailsTheRunQuickly) {
    FlashRun f;
    ASSERT_TRUE(f.startSim({"--baud", "38400"})); // paced: the first file takes 8 s on the line
    brimwell::test::Ser2netServer server;
    ASSERT_TRUE(server.start(f.sim_.device, brimwell::test::Ser2netServer::Mode::Rfc2217, f.dir_.path()));
    std::chrono::steady_clock::time_point stopped;
    f.onStarted = [&](ChildProcess& p) {
        ASSERT_TRUE(waitForText(p, "Progress " + f.dir_.file(kFirmware) + ": block 16 of"));
        server.stop();
        stopped = std::chrono::steady_clock::now();
    };
    const RunResult r = f.run(f.twoFileScript(), {"--port", server.url()}, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(5));
    EXPECT_EQ(r.exitCode, 1) << explain(r);
    EXPECT_NE(r.err.find("Run failed: The connection to "), std::string::npos) << explain(r);
    EXPECT_NE(r.err.find(server.url() + " was lost.\n"), std::string::npos) << explain(r);
}
