// The port's trace and dispatch log as its user drives them: the Tracing state table on an open
// port, files that cannot be written, and a loader exchange and upload with the unit simulator.
#include <gtest/gtest.h>

#include <sstream>

#include "component_test_support.h"
#include "support/recorder_files.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

namespace brimwell::testing {
namespace {

// steps, run in order on an open port: a TraceLogState by number (0 off, 1 on, 2 dump, 3 append,
// 4 clear, 5 pause), close, size:N, name:FILE, put:TEXT; each step that raises adds "!".
struct StateCase {
    const char* name;
    const char* steps;
    std::string outcome; // the raises, then the file ("<missing>" when none)
};
class TraceStates : public ::testing::TestWithParam<StateCase> {};

TEST_P(TraceStates, FollowTheTable) {
    testing::TempDir dir; // outlives the port, whose close may still write into it
    PortOnPty p(33);
    p.port.setTraceName(dir.file("t"));
    p.port.setOpen(true);
    std::istringstream steps(GetParam().steps);
    std::string outcome;
    for (std::string step; steps >> step;) {
        const std::string arg = step.substr(step.find(':') + 1);
        try {
            if (std::isdigit(step[0])) p.port.setTracing(serial::TraceLogState(std::stoi(step)));
            if (step == "close") p.port.setOpen(false);
            if (step[0] == 's') p.port.setTraceSize(std::stoul(arg));
            if (step[0] == 'n') p.port.setTraceName(dir.file(arg));
            if (step[0] == 'p') p.port.putString(arg);
        } catch (const std::exception&) {
            outcome += "!";
        }
    }
    EXPECT_EQ(outcome + dir.read("t"), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    rows, TraceStates,
    ::testing::Values(
        StateCase{"PauseKeepsTheBuffer", "1 put:ab 5 put:cd 1 put:ef 2", "Transmit: \r\nabef"},
        StateCase{"ClearEmpties", "1 put:ab 4 put:cd 2", "Transmit: \r\ncd"},
        StateCase{"NewSizeStartsEmpty", "1 put:ab size:3 put:wxyz 2", "Transmit: \r\nxyz"},
        StateCase{"NewSizeEndsAPause", "1 put:ab 5 size:5 put:cd 2", "<missing>"},
        StateCase{"Append", "1 put:ab 3 1 put:cd 3", "Transmit: \r\nabTransmit: \r\ncd"},
        StateCase{"OffFrees", "1 put:ab 0 2", "<missing>"},
        // A file that cannot be written: the recording waits for another name; a
        // close goes through all the same.
        StateCase{"FailedDumpPauses", "1 put:ab name:x/t 2 name:t put:cd 2", "!Transmit: \r\nab"},
        StateCase{"FailedCloseCloses", "1 put:ab name:x/t close name:t put:cd 2", "!!<missing>"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ComPortRecording, LoaderExchangeAndUploadWithTheUnit) {
    TempDir dir; // the unit's link and both files
    SimUnit sim;
    ASSERT_TRUE(sim.start(dir, {}));
    PortOnPty p(35);
    ::setenv("BRIMWELL_COM35", sim.device.c_str(), 1);
    p.port.setDeviceLabel(sim.device);
    p.port.setTraceName(dir.file("t"));
    p.port.setLogName(dir.file("l"));
    p.port.setTraceAllHex(true);
    p.port.setLogAllHex(true);
    p.port.setTracing(serial::TraceLogState::On);
    p.port.setLogging(serial::TraceLogState::On);
    std::string taken;
    p.port.setOnWaitChar([&](serial::ComPort*, char c) { taken += c; });
    p.port.setOpen(true);
    const std::string loadr = "LOADR\r", load = "LF 0 10 26c 1\r\x01\x02[data]\r\n"; // 0x26c: the byte sum
    p.port.putString(loadr);
    ASSERT_TRUE(p.port.waitForString(">", 200, true, false));
    const std::string answer = taken;
    p.port.putString(load);
    ASSERT_TRUE(p.port.waitForString("LOAD OK\r\n>", 200, true, false));
    const std::string loaded = taken.substr(answer.size());
    p.port.setOpen(false);

    EXPECT_EQ(test::readRecorded(dir.read("t"), true, false),
              (test::Recorded{{"T", loadr}, {"R", answer}, {"T", load}, {"R", loaded}}));
    EXPECT_NE(dir.read("l").find("\r\nDevice: " + sim.device + "\r\n"), std::string::npos);
    // Each answer was read from the device before the next write (device reads come in pieces).
    const test::Recorded logged{{"TrDatChg Avail", ""},       {"TrgHdAlc Window", ""},
                                {"Dispatch WriteCom", loadr}, {"Dispatch ReadCom", answer},
                                {"Dispatch WriteCom", load},  {"Dispatch ReadCom", loaded}};
    EXPECT_EQ(test::readRecorded(dir.read("l"), true, true), logged);
}

} // namespace
} // namespace brimwell::testing
