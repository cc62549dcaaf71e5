// "brimwell run --port PCI" against brimwell-board-sim: whole runs over every board or one board
// ID, the board's faults, and the set-up errors of the reserved PCI name.
#include "support/sim_process.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace brimwell::testing;

namespace {

struct PciCase {
    const char* name;
    std::vector<std::string> simArgs; // no --boards: one board with ID 0
    std::vector<std::string> runArgs;
    std::vector<std::string> env; // besides BRIMWELL_PCI_DIR (absent when env holds "-")
    int exitCode;
    std::vector<std::string> stored; // store files expected byte-identical to the image
    std::string said;                // a line on standard error or output
};

void PrintTo(const PciCase& c, std::ostream* os) {
    *os << c.name;
}

class PciRun : public ::testing::TestWithParam<PciCase> {};

TEST_P(PciRun, EndsAsTheBoardsAllow) {
    const PciCase& c = GetParam();
    TempDir dir;
    const std::vector<uint8_t> image = patternBytes(5 * 2000 + 77, 11);
    writeFile(dir.file("image.bin"), image);
    writeText(dir.file("run.sld"),
              "_TC \"LOADR^M\"\n_LF " + dir.file("image.bin") + "\n_LA 80000000\n_LV 1.08\n_LD\n");
    writeText(dir.file("empty.ini"), "");
    writeText(dir.file("pci.ini"), "Port=PCI\n");
    SimBoards boards;
    std::vector<std::string> simArgs{"--store", dir.file("store")};
    simArgs.insert(simArgs.end(), c.simArgs.begin(), c.simArgs.end());
    ASSERT_TRUE(boards.start(dir.file("pci"), simArgs)) << boards.process.stderrText();

    std::vector<std::string> args{"run", dir.file("run.sld"), "--settings", dir.file("empty.ini")};
    for (const std::string& a : c.runArgs)
        args.push_back(a == "pci.ini" ? dir.file(a) : a);
    std::vector<std::string> env{"BRIMWELL_TIME_SCALE=50"};
    if (c.env.empty() || c.env[0] != "-") env.push_back(boards.env());
    for (const std::string& e : c.env)
        if (e != "-") env.push_back(e);
    ChildProcess run;
    ASSERT_TRUE(run.start(binDir() + "/brimwell", args, env));
    const int code = run.wait(std::chrono::seconds(120));
    std::string all = run.stderrText();
    for (const std::string& l : run.lines())
        all += l + "\n";
    EXPECT_EQ(code, c.exitCode) << all;
    EXPECT_NE(all.find(c.said), std::string::npos) << "missing: " << c.said << "\n" << all;
    if (c.exitCode != 0) {
        EXPECT_EQ(all.find("SUCCESS"), std::string::npos) << all;
    }
    for (const std::string& f : c.stored)
        EXPECT_EQ(readFile(dir.file("store/" + f + "LF_80000000_1.08.bin")), image) << f << "\n" << all;
    if (c.stored.empty()) {
        EXPECT_FALSE(std::filesystem::exists(dir.file("store"))) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, PciRun,
    ::testing::Values(
        PciCase{"EveryBoard",
                {"--boards", "5,2"},
                {"--port", "PCI"},
                {},
                0,
                {"board0/", "board1/"},
                "PCI Board :  5"},
        PciCase{"OneBoardId", {"--boards", "5,2"}, {"--port", "pci:2"}, {}, 0, {"board1/"}, "PCI Board :  2"},
        PciCase{"SettingOne", {"--boards", "7"}, {"--settings", "pci.ini"}, {}, 0, {""}, "PCI Board :  7"},
        PciCase{"NeverReady",
                {"--never-ready"},
                {"--port", "PCI"},
                {},
                1,
                {},
                "Error! Unable to get response from unit(_TC)! Exiting script"},
        PciCase{"BusyPastTheLimit",
                {"--busy-tries", "60"},
                {"--port", "PCI"},
                {},
                1,
                {},
                "Error! Writing to the PCI board failed."},
        PciCase{"RefusedDataByte",
                {"--refuse-at", "4321"},
                {"--port", "PCI"},
                {},
                1,
                {},
                "Error! The PCI board refused a data byte 51 times. Cancel upload."},
        PciCase{"UnmappedBoardId",
                {"--boards", "5"},
                {"--port", "PCI:4"},
                {},
                2,
                {},
                "no PCI board has the board ID 4 (found PCI board ID 5)"},
        PciCase{"NoDriver", {}, {"--port", "PCI"}, {"-"}, 2, {}, "no PCI driver: set BRIMWELL_PCI_DIR"},
        PciCase{"ComMappedToPci",
                {},
                {"--port", "COM7"},
                {"BRIMWELL_COM7=PCI"},
                2,
                {},
                "BRIMWELL_COM7 names the PCI link, which is no serial device; use --port PCI"}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
