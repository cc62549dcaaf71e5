// "brimwell run" against peers and files that misbehave: serial servers that flood or break the
// Telnet framing, PCI driver sockets that never answer or go away, files that never end, scripts
// that read as something they are not. Each row once held a run (and its stop) up, lost the real
// cause, or flashed the unit with the wrong thing.
#include "support/event_pump.h"
#include "support/sim_process.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>

using namespace brimwell::testing;
using namespace std::chrono_literals;

namespace {

struct Rig {
    TempDir dir;
    SimUnit sim;
    SimBoards boards;
    HostilePeer peer;
    std::string script = dir.file("run.sld");
    // No COM1/COM2 search may reach the machine's own ports.
    std::vector<std::string> env{"BRIMWELL_TIME_SCALE=20", "BRIMWELL_COM1=" + dir.file("none1"),
                                 "BRIMWELL_COM2=" + dir.file("none2")};
    std::chrono::steady_clock::time_point stoppedAt{};
    std::vector<std::string> launcher; // runs brimwell (a shell that redirects its output)

    std::string rfc2217() const { return "rfc2217://127.0.0.1:" + std::to_string(peer.port); }
    std::string outcome() const {
        const std::vector<uint8_t> bytes = readFile(dir.file("report.json"));
        const QJsonObject doc =
            QJsonDocument::fromJson(QByteArray(reinterpret_cast<const char*>(bytes.data()), bytes.size()))
                .object();
        return doc["units"][0]["outcome"].toString().toStdString();
    }
};

using Setup = std::function<bool(Rig&, std::vector<std::string>&)>;
using During = std::function<void(Rig&, ChildProcess&)>;

struct HostileCase {
    const char* name;
    Setup setup;        // starts what the row needs and adds to the run's arguments
    std::string script; // %D% stands for the row's directory
    During during;      // what happens while the run runs (a stop, a peer that goes away)
    int exitCode;
    std::string expected;                        // on the run's standard error
    std::string outcome;                         // of the run record ("" when it is written elsewhere)
    std::function<void(const Rig&)> leaves = {}; // what the run must leave behind
};

// SIGTERM once `text` is on the run's standard error (or the peer's output), `delay` later.
During stopOnRun(const std::string& text, std::chrono::milliseconds delay = 0ms) {
    return [=](Rig& rig, ChildProcess& run) {
        waitUntil([&run, &text] { return run.stderrText().find(text) != std::string::npos; }, 30000);
        std::this_thread::sleep_for(delay);
        run.signal(SIGTERM);
        rig.stoppedAt = std::chrono::steady_clock::now();
    };
}
During stopOnPeer(const std::string& line, std::chrono::milliseconds delay) {
    return [=](Rig& rig, ChildProcess& run) {
        rig.peer.process.waitForLine(line, 30s);
        stopOnRun("", delay)(rig, run);
    };
}

Setup tcpPeer(const std::string& mode) {
    return [=](Rig& rig, std::vector<std::string>& args) {
        const bool started = rig.peer.start(mode);
        args.insert(args.end(), {"--port", rig.rfc2217()});
        return started;
    };
}

// The unit simulator, and a data file of `bytes` bytes named config.bin.
Setup unit(std::vector<std::string> extra = {}, size_t bytes = 4001) {
    return [=](Rig& rig, std::vector<std::string>& args) {
        writeFile(rig.dir.file("config.bin"), patternBytes(bytes, 7));
        args.insert(args.end(), {"--port", rig.dir.file("unit")});
        args.insert(args.end(), extra.begin(), extra.end());
        return rig.sim.start(rig.dir, {"--store", rig.dir.file("store")});
    };
}

// The unit with a device node of the test's own at `name`, named by `option`.
Setup unitAndNode(const std::string& option, const std::string& name, unsigned minor) {
    return [=](Rig& rig, std::vector<std::string>& args) {
        args.insert(args.end(), {option, rig.dir.file(name)});
        return makeDeviceNode(rig.dir.file(name), 1, minor) && unit()(rig, args);
    };
}

bool isCharacterDevice(const std::string& path) {
    return std::filesystem::is_character_file(std::filesystem::symlink_status(path));
}

const std::string kTc = "_TC \"LOADR^M\"\n";
const std::string kFlashConfig = kTc + "_LP 1\n_LF %D%/config.bin\n_LA 80100000\n_LV 1\n_LD\n";
const std::string kStopped = "Run stopped (SIGTERM).";

TEST(HostilePeers, EndSafelyWithTheRealCause) {
    const HostileCase cases[] = {
        {"Rfc2217FloodsBeforeAndAfterTheComPortOption", tcpPeer("flood-then-accept"), kTc,
         stopOnRun("Running ", 500ms), 1, kStopped, "stopped"},
        {"Rfc2217AsksWithoutPauseWhileOpening", tcpPeer("ask-flood"), kTc, stopOnPeer("ACCEPTED", 300ms), 1,
         kStopped, "stopped"},
        {"Rfc2217OversizedSubnegotiation",
         tcpPeer("big-subnegotiation"),
         kTc,
         {},
         1,
         "Telnet sub-negotiation longer than 256 bytes",
         "failed"},
        {"PciDriverSocketsThatNeverAnswer",
         [](Rig& rig, std::vector<std::string>& args) {
             args.insert(args.end(), {"--port", "PCI"});
             rig.env.push_back("BRIMWELL_PCI_DIR=" + rig.dir.path());
             return rig.peer.start("silent-pci", rig.dir.path());
         },
         kTc, stopOnRun("", 500ms), 1, kStopped, "stopped"},
        {"PciDriverGoneDuringTheUpload",
         [](Rig& rig, std::vector<std::string>& args) {
             writeFile(rig.dir.file("config.bin"), patternBytes(100000, 7));
             args.insert(args.end(), {"--port", "PCI"});
             rig.env.push_back("BRIMWELL_PCI_DIR=" + rig.dir.file("pci"));
             return rig.boards.start(rig.dir.file("pci"), {});
         },
         kFlashConfig,
         [](Rig& rig, ChildProcess& run) {
             run.waitForLine("Progress ", 60s);
             rig.boards.process.signal(SIGKILL);
         },
         1, "The connection to PCI board 0 was lost. The driver closed its socket", "failed"},
        {"SettingsFromADeviceThatNeverEnds",
         [](Rig& rig, std::vector<std::string>& args) {
             args.insert(args.end(), {"--settings", rig.dir.file("zero")});
             return makeDeviceNode(rig.dir.file("zero"), 1, 5);
         },
         kTc,
         {},
         2,
         "zero: it is longer than 1 MiB",
         "setup-error"},
        {"ScriptThatNeverEnds",
         [](Rig& rig, std::vector<std::string>&) {
             rig.script = rig.dir.file("fifo.sld");
             return rig.peer.start("slow-fifo", rig.script);
         },
         "",
         {},
         2,
         "fifo.sld: it is a FIFO (named pipe), not a file",
         "setup-error"},
        {"DataFileThatNeverEnds",
         [](Rig& rig, std::vector<std::string>& args) {
             return unit()(rig, args) && rig.peer.start("slow-fifo", rig.dir.file("endless.bin"));
         },
         kTc + "_LF %D%/endless.bin\n_LA 0\n",
         {},
         1,
         "endless.bin was not uploaded: it is a FIFO",
         "failed"},
        {"DataFileBeyondWhatALoadCommandCarries",
         [](Rig& rig, std::vector<std::string>& args) {
             std::filesystem::resize_file(rig.dir.write("huge.bin", ""), uint64_t(1) << 40); // sparse
             return unit()(rig, args);
         },
         kTc + "_LF %D%/huge.bin\n_LA 0\n",
         {},
         1,
         "huge.bin. Unable to get file checksum",
         "failed"},
        {"LoadAddressWithMoreFields",
         unit(),
         kTc + "_LF %D%/config.bin\n_LA 80100000 0 0\n_LV 1\n_LD\n",
         {},
         1,
         "'80100000 0 0' is more than one hexadecimal number",
         "failed"},
        {"CommandCodeInTheWrongCase",
         unit(),
         kTc + "_La 80000000\n",
         {},
         2,
         "run.sld:2: command code _La is _LA in another case",
         "setup-error"},
        {"CommandCodeInTheWrongCaseForced",
         unit({"--force"}),
         kTc + "_La 80000000\n",
         {},
         0,
         "Run completed.",
         "completed"},
        {"CarriageReturnLineEnds",
         unit(),
         "_TC \"LOADR^M\"\r_LF %D%/config.bin\r_LA 0\r_LV 1\r_LD\r",
         {},
         2,
         "run.sld:1: the lines end in a carriage return alone",
         "setup-error"},
        // Output files: in place where they are no regular file, never over the run's own files,
        // and a lost one leaves the unit's verdict as it was.
        {"ReportToADeviceNode",
         unitAndNode("--report", "null", 3),
         kTc,
         {},
         0,
         "Run completed.",
         "",
         [](const Rig& rig) { EXPECT_TRUE(isCharacterDevice(rig.dir.file("null"))); }},
        {"ReportToStandardOutputAppendedToALog",
         [](Rig& rig, std::vector<std::string>& args) {
             rig.dir.write("station.log", "earlier run\n");
             rig.launcher = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >>station.log"};
             args.insert(args.end(), {"--report", "/dev/stdout"});
             return unit()(rig, args);
         },
         kTc,
         {},
         0,
         "Run completed.",
         "",
         [](const Rig& rig) {
             const std::string log = rig.dir.read("station.log");
             EXPECT_EQ(log.rfind("earlier run\n", 0), 0u) << log;
             EXPECT_NE(log.find("\"outcome\": \"completed\""), std::string::npos) << log;
         }},
        {"TraceToAFullDevice",
         unitAndNode("--trace", "full", 7),
         kTc,
         {},
         3,
         "the unit passed; its record is incomplete: cannot write the trace",
         "completed"},
        {"TraceOverTheScript",
         unit({"--trace", "run.sld"}),
         kTc,
         {},
         2,
         "cannot write the trace run.sld: it is the run's script",
         "setup-error",
         [](const Rig& rig) { EXPECT_EQ(rig.dir.read("run.sld"), "_TC \"LOADR^M\"\n"); }},
        {"LogOverADataFile",
         unit({"--log", "config.bin"}),
         kFlashConfig,
         {},
         2,
         "cannot write the log config.bin: it is the run's data file",
         "setup-error",
         [](const Rig& rig) { EXPECT_EQ(rig.dir.read("config.bin").size(), 4001u); }},
    };
    for (const HostileCase& c : cases) {
        Rig rig;
        std::vector<std::string> args{"run", rig.script, "--report", rig.dir.file("report.json")};
        ASSERT_TRUE(c.setup(rig, args)) << c.name;
        args[1] = rig.script;
        std::string script = c.script;
        for (size_t at; (at = script.find("%D%")) != std::string::npos;)
            script.replace(at, 3, rig.dir.path());
        if (!std::filesystem::exists(rig.script)) writeText(rig.script, script);
        ChildProcess run;
        run.workingDir = rig.dir.path();
        std::vector<std::string> command = rig.launcher;
        command.push_back(binDir() + "/brimwell");
        command.insert(command.end(), args.begin(), args.end());
        ASSERT_TRUE(run.start(command[0], {command.begin() + 1, command.end()}, rig.env)) << c.name;
        if (c.during) c.during(rig, run);
        const int code = run.wait(90s);
        const bool stopped = rig.stoppedAt != std::chrono::steady_clock::time_point{};
        const auto afterStop = stopped ? std::chrono::steady_clock::now() - rig.stoppedAt : 0s;
        const std::string err = run.stderrText();
        EXPECT_EQ(code, c.exitCode) << c.name << "\n" << err;
        EXPECT_NE(err.find(c.expected), std::string::npos) << c.name << ": missing " << c.expected << "\n"
                                                           << err;
        EXPECT_EQ(rig.outcome(), c.outcome) << c.name << "\n" << err;
        if (c.leaves) c.leaves(rig);
        // Before the mends these stops waited minutes, or for ever; the 1 s figure is a benchmark's.
        EXPECT_LT(afterStop, 10s) << c.name;
    }
}

} // namespace
