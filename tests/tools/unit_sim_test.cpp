// The simulated unit's protocol logic: echo and prompts, loader mode, queries, loads and every fault.
#include "support/sim_process.h"
#include "tools/unit-sim/options.h"
#include "tools/unit-sim/store.h"
#include "tools/unit-sim/unit.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <functional>

using namespace brimwell::unitsim;

namespace {

struct Harness {
    std::vector<LoadRecord> loads;
    std::vector<std::vector<uint8_t>> images;
    Unit unit;
    explicit Harness(UnitOptions o = {})
        : unit(std::move(o), [this](const LoadRecord& r, const std::vector<uint8_t>& img) {
              loads.push_back(r);
              images.push_back(img);
          }) {}
    void push(const std::string& s, Nanos t = 0, Nanos perByte = 0) {
        unit.receive(reinterpret_cast<const uint8_t*>(s.data()), s.size(), t, perByte);
    }
    void push(const std::vector<uint8_t>& b, Nanos t = 0) { unit.receive(b.data(), b.size(), t, 0); }
    std::string out(Nanos now = INT64_MAX / 2) {
        std::string o;
        unit.takeOutput(now, o);
        return o;
    }
};

uint32_t sum16(const std::vector<uint8_t>& b) {
    uint32_t s = 0;
    for (auto x : b)
        s += x;
    return s & 0xFFFF;
}

std::string loadCommand(const std::vector<uint8_t>& data, const std::string& version = "1.08",
                        uint32_t checksum = UINT32_MAX) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "LF 80000000 %zu %x %s\r", data.size(),
                  checksum == UINT32_MAX ? sum16(data) : checksum, version.c_str());
    return buf;
}

struct ExchangeCase {
    const char* name;
    std::function<void(UnitOptions&)> configure;
    std::string input;
    std::string expected;
};

// A table row prints as its name.
template <typename Case>
requires requires(const Case& c) {
    c.name;
}
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The unit's options as a row sets them.
UnitOptions configured(const std::function<void(UnitOptions&)>& configure) {
    UnitOptions o;
    if (configure) configure(o);
    return o;
}

class Exchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(Exchange, EchoAnswerAndPrompt) {
    Harness h(configured(GetParam().configure));
    h.push(GetParam().input);
    EXPECT_EQ(h.out(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Unit, Exchange,
    ::testing::Values(
        ExchangeCase{"EmptyLineNormal", nullptr, "\r", "\r\n#"},
        ExchangeCase{"EnterLoader", nullptr, "LOADR\r", "LOADR\r\nLOADER MODE\r\n>"},
        ExchangeCase{"LoaderThenEmpty", nullptr, "LOADR\r\r", "LOADR\r\nLOADER MODE\r\n>\r\n>"},
        ExchangeCase{"SecondLoaderCommandJustPrompts", nullptr, "LOADR\rLOADR\r",
                     "LOADR\r\nLOADER MODE\r\n>LOADR\r\n>"},
        ExchangeCase{"Query", nullptr, "ver\r", "ver\r\nV1.08 BOOT\r\n#"},
        ExchangeCase{"QueryInLoader", [](UnitOptions& o) { o.startInLoader = true; }, "ver\r",
                     "ver\r\nV1.08 BOOT\r\n>"},
        ExchangeCase{"QuerySplitFromItsCarriageReturn", nullptr, std::string("ver") + "\r",
                     "ver\r\nV1.08 BOOT\r\n#"},
        ExchangeCase{"Unknown", nullptr, "xyz\r", "xyz\r\nUnknown command\r\n#"},
        ExchangeCase{"SpacesAroundCommand", nullptr, "  ver \r", "  ver \r\nV1.08 BOOT\r\n#"},
        ExchangeCase{"LineFeedAfterCarriageReturnIgnored", nullptr, "\r\n", "\r\n#\n"},
        ExchangeCase{"StaysNormal", [](UnitOptions& o) { o.stayNormal = true; }, "LOADR\r", "LOADR\r\n#"},
        ExchangeCase{"NoPrompt", [](UnitOptions& o) { o.noPrompt = true; }, "\rLOADR\r",
                     "\r\nLOADR\r\nLOADER MODE\r\n"},
        ExchangeCase{"SkipFirstPrompt", [](UnitOptions& o) { o.skipPrompts = 1; }, "\r\r", "\r\n\r\n#"},
        ExchangeCase{"OtherPrompts",
                     [](UnitOptions& o) {
                         o.mainPrompt = '$';
                         o.loaderPrompt = '%';
                     },
                     "\rLOADR\r", "\r\n$LOADR\r\nLOADER MODE\r\n%"},
        ExchangeCase{"OtherLoaderCommand", [](UnitOptions& o) { o.loaderCommand = "BOOT"; }, "LOADR\rBOOT\r",
                     "LOADR\r\nUnknown command\r\n#BOOT\r\nLOADER MODE\r\n>"},
        ExchangeCase{"CustomAnswer",
                     [](UnitOptions& o) {
                         o.answers = {{"id", "UNIT 7"}};
                     },
                     "id\rver\r", "id\r\nUNIT 7\r\n#ver\r\nUnknown command\r\n#"},
        ExchangeCase{"LoadCommandOutsideLoaderIsUnknown", nullptr, "LF 0 3 126 1.0\r",
                     "LF 0 3 126 1.0\r\nUnknown command\r\n#"},
        ExchangeCase{"NoEcho", [](UnitOptions& o) { o.echo = false; }, "ver\rx\r",
                     "V1.08 BOOT\r\n#Unknown command\r\n#"},
        ExchangeCase{"AnswerToAnEmptyLine", [](UnitOptions& o) { o.answers[""] = "READY"; }, "\r",
                     "\r\nREADY\r\n#"},
        ExchangeCase{"Dead", [](UnitOptions& o) { o.dead = true; }, "LOADR\rver\r", ""},
        // Once a load's data is in, the load and every line after it get the same bytes only.
        ExchangeCase{"AfterLoad",
                     [](UnitOptions& o) {
                         o.startInLoader = true;
                         o.afterLoad = "X>";
                     },
                     "ver\rLF 0 3 126 1\rabc\rver\r", "ver\r\nV1.08 BOOT\r\n>LF 0 3 126 1\r\nX>X>X>"},
        ExchangeCase{"OverlongLine", [](UnitOptions& o) { o.maxLine = 4; }, "abcdefg\r",
                     "abcdefg\r\nLine too long\r\n#"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UnitPrompt, DelayedPromptWaitsAndKeepsOrder) {
    Harness h(UnitOptions{.promptDelay = 1000});
    h.push("\r", 0);
    h.push("x", 10); // typed while the prompt is still due: its echo must not overtake the prompt
    EXPECT_EQ(h.out(999), "\r\n");
    EXPECT_EQ(h.unit.nextDeadline(), 1000);
    EXPECT_EQ(h.out(1000), "#x");
}

TEST(UnitLoad, GoodLoadIsStoredAndAnsweredWithLoaderPrompt) {
    Harness h;
    const auto data = brimwell::testing::patternBytes(4001, 7);
    h.push("LOADR\r");
    h.out();
    h.push(loadCommand(data));
    EXPECT_TRUE(h.unit.inDataPhase());
    // Arrives in uneven pieces, as from a pty.
    h.push(std::vector<uint8_t>(data.begin(), data.begin() + 1999), 100);
    h.push(std::vector<uint8_t>(data.begin() + 1999, data.end()), 200);
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_TRUE(h.loads[0].ok);
    EXPECT_EQ(h.loads[0].keyword, "LF");
    EXPECT_EQ(h.loads[0].address, "80000000");
    EXPECT_EQ(h.loads[0].version, "1.08");
    EXPECT_EQ(h.loads[0].size, 4001u);
    EXPECT_EQ(h.loads[0].receivedChecksum, sum16(data));
    EXPECT_EQ(h.loads[0].firstByte, 100);
    EXPECT_EQ(h.loads[0].lastByte, 200);
    EXPECT_EQ(h.images[0], data);
    EXPECT_EQ(h.out(), loadCommand(data) + "\nLOAD OK\r\n>");
    h.push("\r");
    EXPECT_EQ(h.out(), "\r\n>");
}

TEST(UnitLoad, BytesAfterTheImageAreCommandsAgain) {
    Harness h;
    h.push("LOADR\r");
    const std::vector<uint8_t> data{'a', 'b', 'c'};
    h.push(loadCommand(data));
    h.out();
    h.push("abc\r");
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_EQ(h.loads[0].announcedChecksum, 0x126u);
    EXPECT_EQ(h.out(), "LOAD OK\r\n>\r\n>");
}

TEST(UnitLoad, EmptyLoadCompletesAtOnce) {
    Harness h;
    h.push("LOADR\rLF 80000000 0 0 1.08\r");
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_TRUE(h.loads[0].ok);
    EXPECT_TRUE(h.images[0].empty());
    EXPECT_FALSE(h.unit.inDataPhase());
}

TEST(UnitLoad, VersionWithSpacesAndDateText) {
    Harness h;
    h.push("LOADR\rLK 1000 1 61 7/4/2003_9:05:08 rc 2\ra");
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_TRUE(h.loads[0].ok);
    EXPECT_EQ(h.loads[0].keyword, "LK");
    EXPECT_EQ(h.loads[0].version, "7/4/2003_9:05:08 rc 2");
    EXPECT_EQ(imageFileName(h.loads[0]), "LK_1000_7-4-2003_9-05-08-rc-2.bin");
}

struct FaultCase {
    const char* name;
    std::function<void(UnitOptions&)> configure;
    uint32_t checksumOverride; // UINT32_MAX: the right checksum
    std::string error;         // expected load error, empty when the load is good
};

class LoadFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LoadFault, FailedLoadFallsBackToNormalFirmware) {
    Harness h(configured(GetParam().configure));
    const auto data = brimwell::testing::patternBytes(3000, 11);
    h.push("LOADR\r");
    h.push(loadCommand(data, "1.08", GetParam().checksumOverride));
    h.push(data, 5);
    h.push("\r", 6); // the host's prompt check; completes a load that lost a byte
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_FALSE(h.loads[0].ok);
    EXPECT_EQ(h.loads[0].error, GetParam().error);
    EXPECT_FALSE(h.unit.inLoaderMode());
    h.out();
    h.push("\r");
    EXPECT_EQ(h.out(), "\r\n#"); // never the loader prompt after a failed load
}

INSTANTIATE_TEST_SUITE_P(Unit, LoadFault,
                         ::testing::Values(FaultCase{"WrongChecksum", nullptr, 0x1234, "checksum mismatch"},
                                           FaultCase{"CorruptedByte",
                                                     [](UnitOptions& o) { o.corruptAt = 1500; }, UINT32_MAX,
                                                     "checksum mismatch"},
                                           FaultCase{"DroppedByte", [](UnitOptions& o) { o.dropAt = 10; },
                                                     UINT32_MAX, "checksum mismatch"},
                                           FaultCase{"TooLarge", [](UnitOptions& o) { o.maxSize = 100; },
                                                     UINT32_MAX, "size 3000 above the unit's limit"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UnitLoad, MalformedLoadCommandIsRefused) {
    Harness h;
    h.push("LOADR\rLF 80000000 12x zz 1.08\r");
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_EQ(h.loads[0].error, "malformed load command");
    EXPECT_FALSE(h.unit.inLoaderMode());
}

TEST(UnitLoad, StalledLoadIsAbandonedAfterTheDataTimeout) {
    Harness h(UnitOptions{.dataTimeout = 1000});
    h.push("LOADR\rLF 0 10 0 1\r", 0);
    h.push(std::vector<uint8_t>(4, 0), 50);
    h.out();
    h.unit.tick(1050);
    EXPECT_TRUE(h.loads.empty());
    EXPECT_EQ(h.unit.nextDeadline(), 1051);
    h.unit.tick(1051);
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_EQ(h.loads[0].error, "timeout after 4 of 10 bytes");
    EXPECT_FALSE(h.unit.inDataPhase());
}

TEST(UnitLoad, HangAfterNDataBytesSilencesTheUnit) {
    Harness h(UnitOptions{.hangAfter = 100});
    h.push("LOADR\rLF 0 300 0 1\r");
    h.out();
    h.push(std::vector<uint8_t>(300, 0));
    EXPECT_TRUE(h.unit.hung());
    EXPECT_EQ(h.unit.dataBytesSeen(), 100u);
    h.unit.tick(INT64_MAX / 4);
    h.push("\r");
    EXPECT_EQ(h.out(), "");
    EXPECT_TRUE(h.loads.empty());
}

TEST(UnitLoad, DisconnectAfterNDataBytes) {
    Harness h(UnitOptions{.disconnectAfter = 2000});
    h.push("LOADR\rLF 0 4000 0 1\r");
    h.push(std::vector<uint8_t>(4000, 0));
    EXPECT_TRUE(h.unit.disconnected());
    EXPECT_EQ(h.unit.dataBytesSeen(), 2000u);
}

TEST(UnitLoad, FaultCountersRunAcrossLoads) {
    Harness h(UnitOptions{.corruptAt = 5}); // lands in the second load
    const std::vector<uint8_t> a{1, 2, 3}, b{4, 5, 6, 7};
    h.push("LOADR\r");
    h.push(loadCommand(a));
    h.push(a);
    h.push(loadCommand(b));
    h.push(b);
    ASSERT_EQ(h.loads.size(), 2u);
    EXPECT_TRUE(h.loads[0].ok);
    EXPECT_FALSE(h.loads[1].ok);
}

TEST(UnitLoad, PacedTimestampsFollowTheByteTime) {
    Harness h;
    h.push("LOADR\rLF 0 1000 0 1\r");
    std::vector<uint8_t> zeros(1000, 0);
    h.unit.receive(zeros.data(), 600, 1'000, 868);
    h.unit.receive(zeros.data(), 400, 1'000 + 600 * 868, 868);
    ASSERT_EQ(h.loads.size(), 1u);
    EXPECT_EQ(h.loads[0].firstByte, 1'000);
    EXPECT_EQ(h.loads[0].lastByte, 1'000 + 999 * 868);
}

struct ParseCase {
    std::string line;
    bool ok;
    std::string address, version;
    uint64_t size;
    uint32_t checksum;
};

TEST(LoadCommand, Parsing) {
    const ParseCase cases[] = {
        {"LF 80000000 70000 1a2b 1.08", true, "80000000", "1.08", 70000, 0x1a2b},
        {"LK 0x1000 5 FFFF A B", true, "0x1000", "A B", 5, 0xffff},
        {"LF 80000000 70000 1a2b", false, "", "", 0, 0},
        {"LF 80000000 -1 1a2b 1.08", false, "", "", 0, 0},
        {"LF 80000000 7e3 1a2b 1.08", false, "", "", 0, 0},
        {"LF 80000000 10 123456789 1.08", false, "", "", 0, 0},
        {"L-F 1 1 1 1", false, "", "", 0, 0},
        {"", false, "", "", 0, 0},
    };
    for (const auto& c : cases) {
        LoadRecord r;
        EXPECT_EQ(parseLoadCommand(c.line, r), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(r.address, c.address) << c.line;
        EXPECT_EQ(r.version, c.version) << c.line;
        EXPECT_EQ(r.size, c.size) << c.line;
        EXPECT_EQ(r.announcedChecksum, c.checksum) << c.line;
    }
}

TEST(ImageStore, NamesAndWritesImages) {
    brimwell::testing::TempDir dir;
    LoadRecord r;
    r.keyword = "LF";
    r.address = "../etc";
    r.version = "1.08";
    EXPECT_EQ(imageFileName(r), "LF_..-etc_1.08.bin"); // never leaves the store directory
    const auto data = brimwell::testing::patternBytes(5000, 3);
    std::string error;
    const std::string path = storeImage(dir.file("store"), r, data, error);
    ASSERT_FALSE(path.empty()) << error;
    EXPECT_EQ(brimwell::testing::readFile(path), data);
    // A .part planted as a link to another file is not written through.
    const std::string victim = dir.write("victim", "keep");
    ASSERT_EQ(::symlink(victim.c_str(), (path + ".part").c_str()), 0);
    ASSERT_FALSE(storeImage(dir.file("store"), r, data, error).empty()) << error;
    EXPECT_EQ(dir.read("victim"), "keep");
    EXPECT_EQ(brimwell::testing::readFile(path), data);
    r.address = "2";
    EXPECT_TRUE(storeImage("/proc/nonexistent/dir", r, data, error).empty());
    EXPECT_NE(error.find("cannot create /proc/nonexistent/dir"), std::string::npos) << error;
}

TEST(UnitSimOptions, UnitKnobsAndAfterLoadEscapes) {
    auto parse = [](std::vector<std::string> args, SimOptions& o, std::string& error) {
        args.insert(args.begin(), "brimwell-unit-sim");
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        bool help = false;
        return parseOptions(static_cast<int>(argv.size()), argv.data(), o, error, help);
    };
    SimOptions o;
    std::string error;
    ASSERT_TRUE(
        parse({"--no-echo", "--dead", "--after-load", "\\r\\n>\\x01\\\\", "--answer", "=READY"}, o, error))
        << error;
    EXPECT_EQ(o.unit.answers, (std::map<std::string, std::string>{{"", "READY"}}));
    EXPECT_FALSE(o.unit.echo);
    EXPECT_TRUE(o.unit.dead);
    EXPECT_EQ(o.unit.afterLoad, "\r\n>\x01\\");
    for (const char* bad : {"", "\\q", "\\x1", "ab\\"}) {
        SimOptions rejected;
        EXPECT_FALSE(parse({"--after-load", bad}, rejected, error)) << bad;
        EXPECT_NE(error.find("--after-load"), std::string::npos) << bad;
    }
}

} // namespace
