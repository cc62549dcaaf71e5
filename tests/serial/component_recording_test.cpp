// The port's trace and dispatch log as its user drives them: the Tracing state table on an open
// port, file errors, and what a loader exchange and an upload with the unit simulator leave behind.
#include <gtest/gtest.h>

#include <sstream>

#include "component_test_support.h"
#include "serial/component/exceptions.h"
#include "support/recorder_files.h"
#include "support/temp_dir.h"
#include "tools/sim_process.h"

namespace brimwell::testing {
namespace {

using test::readLog;
using test::readTrace;
using test::ScratchDir;

std::string fileText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return {bytes.begin(), bytes.end()};
}

// steps: words run in order on an open port: on, off, pause, clear, dump, append, close,
// size:N (TraceSize), put:TEXT.
struct StateCase {
    const char* name;
    const char* steps;
    std::string file; // "<missing>" when none is written
    TTraceLogState after;
};

const std::vector<StateCase> kStateRows = {
    {"PauseKeepsTheBuffer", "on put:ab pause put:cd on put:ef dump", "Transmit: \r\nabef", tlOff},
    {"ClearEmptiesAndRecordsOn", "on put:ab clear put:cd dump", "Transmit: \r\ncd", tlOff},
    {"SizeChangeStartsAnEmptyBuffer", "on put:ab size:3 put:wxyz dump", "Transmit: \r\nxyz", tlOff},
    {"SizeChangeWhilePausedEndsIt", "on put:ab pause size:5 put:cd dump", "<missing>", tlOff},
    {"AppendAddsToTheFile", "on put:ab append on put:cd append", "Transmit: \r\nabTransmit: \r\ncd", tlOff},
    {"OffFreesTheBuffer", "on put:ab off dump", "<missing>", tlOff},
    {"PauseFromOffDoesNothing", "pause put:ab", "<missing>", tlOff},
    {"CloseWritesTheFile", "on put:ab close", "Transmit: \r\nab", tlOff},
    {"OnStaysOnWhileOpen", "on put:ab", "<missing>", tlOn},
};

class TraceStates : public ::testing::TestWithParam<StateCase> {};

TEST_P(TraceStates, FollowTheTable) {
    PortOnPty p(33);
    ScratchDir dir;
    TQuavComPort& port = p.port;
    port.SetTraceName(dir.file("t"));
    port.SetOpen(true);
    std::istringstream steps(GetParam().steps);
    for (std::string step; steps >> step;) {
        const std::string arg = step.substr(step.find(':') + 1);
        if (step == "on") port.SetTracing(tlOn);
        if (step == "off") port.SetTracing(tlOff);
        if (step == "pause") port.SetTracing(tlPause);
        if (step == "clear") port.SetTracing(tlClear);
        if (step == "dump") port.SetTracing(tlDump);
        if (step == "append") port.SetTracing(tlAppend);
        if (step == "close") port.SetOpen(false);
        if (step.rfind("size:", 0) == 0) port.SetTraceSize(std::stoul(arg));
        if (step.rfind("put:", 0) == 0) port.PutString(arg);
    }
    EXPECT_EQ(port.Tracing(), GetParam().after);
    EXPECT_EQ(dir.read("t"), GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(Rows, TraceStates, ::testing::ValuesIn(kStateRows),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ComPortRecording, UnwritableFileRaisesAndKeepsTheRecording) {
    PortOnPty p(34);
    ScratchDir dir;
    TQuavComPort& port = p.port;
    port.SetLogName(dir.file("no-such-dir/l"));
    port.SetOpen(true);
    port.SetLogging(tlOn);
    port.AddStringToLog("kept");
    EXPECT_THROW(port.SetLogging(tlDump), EInOutError);
    EXPECT_EQ(port.Logging(), tlPause);
    port.SetLogName(dir.file("l"));
    EXPECT_NO_THROW(port.SetOpen(false));
    EXPECT_EQ(readLog(dir.read("l"), false).at(0).extra, "kept");
    // A close whose file fails still closes, then says so.
    port.SetOpen(true);
    port.SetLogging(tlOn);
    port.AddStringToLog("lost");
    port.SetLogName(dir.file("no-such-dir/l"));
    EXPECT_THROW(port.SetOpen(false), EInOutError);
    EXPECT_EQ(port.PortState(), psClosed);
    EXPECT_EQ(port.Logging(), tlOff);
}

TEST(ComPortRecording, LoaderExchangeAndUploadWithTheUnit) {
    TempDir dir;
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {}));
    ::setenv("BRIMWELL_COM35", sim.device.c_str(), 1);
    TQuavComPort port;
    port.SetComNumber(35);
    port.SetBaud(38400);
    port.SetAutoOpen(false);
    port.SetDeviceLabel(sim.device);
    port.SetTraceName(dir.file("t"));
    port.SetLogName(dir.file("l"));
    port.SetTraceAllHex(true);
    port.SetLogAllHex(true);
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    std::string taken;
    port.SetOnWaitChar([&](TQuavComPort*, char c) { taken += c; });
    port.SetOpen(true);

    const std::vector<uint8_t> pattern = patternBytes(16, 3);
    const std::string data(pattern.begin(), pattern.end());
    unsigned sum = 0;
    for (unsigned char c : data)
        sum += c;
    const std::string loadr = "LOADR\r";
    const std::string load = "LF 0 16 " + (std::ostringstream() << std::hex << sum).str() + " 1\r" + data;
    port.PutString(loadr);
    ASSERT_TRUE(port.WaitForString(">", 200, true, false));
    const std::string answer = taken;
    port.PutString(load);
    ASSERT_TRUE(port.WaitForString(">", 200, true, false));
    const std::string loaded = taken.substr(answer.size());
    port.SetOpen(false);
    ::unsetenv("BRIMWELL_COM35");

    EXPECT_NE(answer.find("LOADER MODE"), std::string::npos);
    const std::vector<test::TraceRun> runs = readTrace(fileText(dir.file("t")), true);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].kind, 'T');
    EXPECT_EQ(runs[0].bytes, loadr);
    EXPECT_EQ(runs[1].kind, 'R');
    EXPECT_EQ(runs[1].bytes, answer);
    EXPECT_EQ(runs[2].bytes, load);
    EXPECT_EQ(runs[3].bytes, loaded);

    const std::string log = fileText(dir.file("l"));
    EXPECT_NE(log.find("\r\nDevice: " + sim.device + "\r\n"), std::string::npos);
    // Device writes and reads in the order they happened: each answer read before the next write.
    std::vector<std::string> seen;
    for (const test::LogEntry& e : readLog(log, true)) {
        if (e.type != "Dispatch")
            seen.push_back(e.type + " " + e.subtype);
        else if (seen.empty() || seen.back().rfind(e.subtype, 0) != 0)
            seen.push_back(e.subtype + " " + e.extra);
        else
            seen.back() += e.extra;
        if (e.type == "Dispatch") EXPECT_EQ(e.data, e.extra.size());
    }
    const std::vector<std::string> expected{"TrDatChg Avail",    "TrgHdAlc Window",  "WriteCom " + loadr,
                                            "ReadCom " + answer, "WriteCom " + load, "ReadCom " + loaded};
    EXPECT_EQ(seen, expected);
}

} // namespace
} // namespace brimwell::testing
