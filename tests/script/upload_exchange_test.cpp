// Uploads (block splitting, checksums, the load command, the prompt check, Stop, block waits at
// slow rates), the answer capture and the prompt exchange with the unit.
#include "support/script_test_support.h"

#include <gtest/gtest.h>

#include <ostream>

namespace brimwell::script::test {
namespace {

std::string bytes(int size, unsigned seed = 7) {
    std::string data(static_cast<std::size_t>(size), '\0');
    for (int i = 0; i < size; ++i)
        data[static_cast<std::size_t>(i)] = static_cast<char>((i * 31 + seed) & 0xFF);
    return data;
}

std::string loadScript(const std::string& file) {
    return "_LF " + file + "\n_LA 80000000\n_LV 1.08\n_LD\n";
}

struct SplitCase {
    int size;
    std::vector<int> blocks;
    int maximum;
    int steps;
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.size;
}

class BlockSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(BlockSplit, FileGoesOutInTwoThousandByteBlocks) {
    const SplitCase& c = GetParam();
    Bench b;
    b.link.unit.options.startInLoader = true;
    const std::string data = bytes(c.size);
    const std::string file = b.dir.write("data.bin", data);
    EXPECT_EQ(b.run(loadScript(file)), RunOutcome::Completed);

    EXPECT_EQ(b.link.blockSizes, c.blocks);
    EXPECT_EQ(b.link.unit.uploaded(), data);
    ASSERT_EQ(b.host.shown.size(), 1u);
    EXPECT_EQ(b.host.shown[0].maximum, c.maximum);
    EXPECT_EQ(b.host.shown[0].blockCount, c.size / 2000);
    EXPECT_EQ(b.host.shown[0].fileSizeText, std::to_string(c.size));
    EXPECT_EQ(b.host.shown[0].fileName, file);
    EXPECT_EQ(b.host.shown[0].loadAddressText, "80000000");
    EXPECT_EQ(b.host.steps, c.steps);
    EXPECT_EQ(b.host.hides, 1);
    EXPECT_EQ(b.host.configMenu, (std::vector<bool>{false, true}));
    EXPECT_EQ(b.host.pciLabels, (std::vector<std::pair<bool, std::string>>{{false, "PCI Board :  "}}));
    // The prompt check after the data still ran and found the loader prompt.
    EXPECT_EQ(b.link.unit.lines.back(), "");
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Upload Complete."});
}

INSTANTIATE_TEST_SUITE_P(Sizes, BlockSplit,
                         ::testing::Values(SplitCase{0, {0}, 1, 1}, SplitCase{1500, {1500}, 1, 1},
                                           SplitCase{4000, {2000, 2000}, 2, 2},
                                           SplitCase{4001, {2000, 2000, 1}, 2, 3}),
                         [](const auto& info) { return "Bytes" + std::to_string(info.param.size); });

TEST(Checksums, OfAbc) {
    Bench b;
    b.engine.setDataFileName(b.dir.write("abc.bin", "abc"));
    ASSERT_TRUE(b.engine.readFileChecksum());
    EXPECT_EQ(b.engine.fileChecksum(), 294);
    EXPECT_EQ(b.engine.fileSize(), 3);
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_TRUE(b.engine.sumBlock(abc, 3));
    EXPECT_EQ(b.engine.dataChecksum(), 38);
}

TEST(Checksums, WrapAtSixteenAndEightBits) {
    Bench b;
    b.engine.setDataFileName(b.dir.write("ff.bin", std::string(300, '\xFF')));
    ASSERT_TRUE(b.engine.readFileChecksum());
    EXPECT_EQ(b.engine.fileChecksum(), (300 * 255) % 65536);
    const std::vector<uint8_t> block(300, 0xFF);
    b.engine.sumBlock(block.data(), 300);
    EXPECT_EQ(b.engine.dataChecksum(), (300 * 255) % 256);
    b.engine.setDataFileName(b.dir.write("empty.bin", ""));
    ASSERT_TRUE(b.engine.readFileChecksum());
    EXPECT_EQ(b.engine.fileChecksum(), 0);
    EXPECT_EQ(b.engine.fileSize(), 0);
}

TEST(LoadCommand, CarriesKeywordAddressSizeChecksumAndVersion) {
    Bench b;
    b.link.unit.options.startInLoader = true;
    // 70000 bytes whose sum modulo 65536 is 0x1A2B: 26 x 255 + 69 = 6699.
    std::string data(70000, '\0');
    for (int i = 0; i < 26; ++i)
        data[static_cast<std::size_t>(i * 100)] = '\xFF';
    data[5] = 69;
    const std::string file = b.dir.write("big.bin", data);
    EXPECT_EQ(b.run(loadScript(file)), RunOutcome::Completed);
    ASSERT_GE(b.link.unit.lines.size(), 2u);
    EXPECT_EQ(b.link.unit.lines[1], "LF 80000000 70000 1a2b 1.08");
    EXPECT_NE(b.link.wire.find("LF 80000000 70000 1a2b 1.08\r"), std::string::npos);
    EXPECT_EQ(b.host.shown.at(0).checksumText, "1A2B");
    EXPECT_EQ(b.link.unit.uploaded(), data);
    EXPECT_EQ(b.link.blockSizes.size(), 35u);
}

TEST(AfterUpload, ElevenPromptAttemptsThenTheScriptStops) {
    Bench b;
    b.link.unit.options.startInLoader = true;
    b.link.unit.options.hangAfter = 3; // silent once the data is in
    const std::string file = b.dir.write("abc.bin", "abc");
    EXPECT_EQ(b.run(loadScript(file) + "_SC \"never\"\n"), RunOutcome::Failed);
    const std::string afterData = b.link.wire.substr(b.link.wire.find("abc") + 3);
    EXPECT_EQ(afterData, std::string(11, '\r'));
    // The first attempt waits 65 ticks, the ten retries 365 each; the prompt wait goes back to 265.
    ASSERT_GE(b.link.waitTicks.size(), 11u);
    const std::vector<int32_t> tail(b.link.waitTicks.end() - 11, b.link.waitTicks.end());
    std::vector<int32_t> want{65};
    want.insert(want.end(), 10, 365);
    EXPECT_EQ(tail, want);
    EXPECT_EQ(b.engine.promptTimeout(), 265);
    const std::string failure = "Data file " + file + " was not uploaded: the unit did not confirm it.";
    EXPECT_EQ(b.host.messages,
              (std::vector<std::string>{
                  "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.",
                  "Unsuccessful.  " + failure}));
    EXPECT_EQ(b.host.lastStatus(), "Unsuccessful. " + failure);
    EXPECT_EQ(b.engine.cancelled(), 1);
}

// What the unit sends for each carriage return after the data decides the upload; a loader prompt
// counts only as the last thing the unit sent, two answers of the normal prompt alone end the check
// (that unit has left loader mode), and a failure quotes the unit's last line.
struct AnswerCase {
    const char* name;
    std::string answer;
    RunOutcome outcome;
    int attempts;
    std::string said; // what the failure message adds
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class AnswerAfterUpload : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(AnswerAfterUpload, DecidesTheOutcome) {
    const AnswerCase& c = GetParam();
    Bench b;
    b.link.unit.options.startInLoader = true;
    b.link.unit.options.afterLoad = c.answer;
    const std::string file = b.dir.write("abc.bin", "abc");
    EXPECT_EQ(b.run(loadScript(file)), c.outcome);
    EXPECT_EQ(b.link.wire.substr(b.link.wire.find("abc") + 3),
              std::string(static_cast<size_t>(c.attempts), '\r'));
    const std::string failure =
        "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.";
    if (c.outcome == RunOutcome::Completed) {
        EXPECT_EQ(b.host.messages, std::vector<std::string>{"Upload Complete."});
    } else {
        ASSERT_FALSE(b.host.messages.empty());
        EXPECT_EQ(b.host.messages.front(), failure + c.said);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnswerAfterUpload,
    ::testing::Values(AnswerCase{"Prompt", "\r\n>", RunOutcome::Completed, 1, ""},
                      AnswerCase{"PromptTwice", "\r\n>\r\n>", RunOutcome::Completed, 1, ""},
                      // A unit back in its normal firmware echoing image bytes, one of them '>'.
                      AnswerCase{"PromptInsideAnEcho", "\x01>\x7f%\r\nUnknown command\r\n#",
                                 RunOutcome::Failed, 2, " The unit's last answer: \"Unknown command\""},
                      AnswerCase{"Refusal", "\r\nLOAD ERROR: checksum mismatch\r\n#", RunOutcome::Failed, 2,
                                 " The unit's last answer: \"LOAD ERROR: checksum mismatch\""},
                      AnswerCase{"NormalPromptAlone", "\r\n#", RunOutcome::Failed, 2,
                                 " The unit answers with its normal prompt \"#\"."},
                      // A busy unit: its normal prompt is not its last word, so every attempt runs.
                      AnswerCase{"BusyAfterItsPrompt", "#\x01\x02", RunOutcome::Failed, 11, ""},
                      AnswerCase{"Silence", std::string(1, '\0'), RunOutcome::Failed, 11, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AfterUpload, PostUploadWaitElapsesBeforeThePromptCheck) {
    Bench b;
    b.link.unit.options.startInLoader = true;
    const std::string file = b.dir.write("abc.bin", "abc");
    int64_t dataAt = 0, promptAt = 0;
    b.link.onWrite = [&](const std::string& written) {
        if (dataAt == 0 && !b.link.unit.uploaded().empty())
            dataAt = b.clock.ms();
        else if (dataAt != 0 && promptAt == 0 && written == "\r")
            promptAt = b.clock.ms();
    };
    EXPECT_TRUE(b.line("_LP 2"));
    EXPECT_EQ(b.run(loadScript(file)), RunOutcome::Completed);
    ASSERT_NE(dataAt, 0);
    ASSERT_NE(promptAt, 0);
    EXPECT_GE(promptAt - dataAt, 2000);
}

TEST(AfterUpload, ClosedPortSendsNothingButStillWaits) {
    Bench b;
    b.engine.setDataFileName(b.dir.write("abc.bin", "abc"));
    ASSERT_TRUE(b.engine.readFileChecksum());
    b.link.open = false;
    b.engine.setPostUploadWait(1000);
    const int64_t start = b.clock.ms();
    b.engine.uploadDataFile();
    EXPECT_GE(b.clock.ms() - start, 1000);
    EXPECT_EQ(b.link.wire, "");
    EXPECT_TRUE(b.host.shown.empty());
    EXPECT_TRUE(b.host.messages.empty());
    EXPECT_TRUE(b.engine.uploadIdle());
}

TEST(AfterUpload, MissingFileAtUploadTimeIsReportedAndTheScriptGoesOn) {
    Bench b;
    b.engine.setDataFileName(b.dir.file("gone.bin"));
    b.engine.uploadDataFile();
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Error opening " + b.dir.file("gone.bin") + ".\r"});
    EXPECT_TRUE(b.engine.uploadIdle());
    EXPECT_EQ(b.engine.cancelled(), 0);
}

TEST(StopButton, EndsAfterTheBlockInProgressAndTheScriptStops) {
    Bench b;
    b.link.unit.options.startInLoader = true;
    b.link.unit.options.dataTimeout = int64_t{3600} * 1'000'000'000; // waits for the rest however long
    b.link.pacedDrain = true; // blocks take time on the line, so Stop lands during one
    b.link.lineBaud = 115200;
    const std::string data = bytes(200000);
    const std::string file = b.dir.write("data.bin", data);
    b.host.onPump = [&] {
        if (b.link.blockSizes.size() == 3 && b.engine.cancelled() == 0) b.engine.pressStop();
    };
    EXPECT_EQ(b.run(loadScript(file) + "_SC \"never\"\n"), RunOutcome::Stopped);
    EXPECT_EQ(b.link.blockSizes, (std::vector<int>{2000, 2000, 2000}));
    // The prompt check still ran after the stop: the unit, still waiting for data, takes its
    // eleven carriage returns as data and never answers.
    EXPECT_EQ(b.link.unit.uploaded(), data.substr(0, 6000) + std::string(11, '\r'));
    EXPECT_EQ(b.link.wire.find("never"), std::string::npos);
    EXPECT_EQ(b.host.steps, 3);
    EXPECT_EQ(b.host.messages,
              (std::vector<std::string>{
                  "Error! Unable to receive prompt after upload. Upload unsuccessful. Exiting script.",
                  "Unsuccessful.  Upload terminated by user."}));
    EXPECT_EQ(b.host.lastStatus(), " ");
    EXPECT_FALSE(b.host.progressVisible);
}

TEST(StopButton, BetweenCommandsEndsTheRunBeforeTheNextLine) {
    Bench b;
    b.host.onMessage = [&](const std::string& text) {
        if (text == "first") b.engine.pressStop();
    };
    EXPECT_EQ(b.run("_DM \"first\"\n_SC \"x\"\n"), RunOutcome::Stopped);
    EXPECT_EQ(b.link.wire, "");
    EXPECT_EQ(b.host.lastStatus(), "Unsuccessful. Upload terminated by user/error(s).");
    EXPECT_EQ(b.host.messages.back(), "Unsuccessful.  Upload terminated by user.");
}

// A second Stop gives up waiting for the unit at once, during the blocks or during the prompt
// check; the first leaves the check running and its status says that Stop again gives up.
TEST(StopButton, ASecondPressGivesUpTheWaitForTheUnit) {
    struct Row {
        const char* name;
        int firstAtAttempt, secondAtAttempt; // 0: during the blocks (the third block)
        int attempts;
        std::vector<std::string> messages;
    } const rows[] = {
        {"TwiceDuringTheBlocks", 0, 0, 0, {"Unsuccessful.  Upload terminated by user."}},
        {"TwiceDuringThePromptCheck", 2, 3, 3, {"Unsuccessful.  Upload terminated by user."}},
    };
    for (const Row& r : rows) {
        Bench b;
        b.link.unit.options.startInLoader = true;
        const std::string data = bytes(20000);
        b.link.unit.options.hangAfter = static_cast<int64_t>(data.size()); // silent once the data is in
        b.link.pacedDrain = true;
        b.link.lineBaud = 115200;
        b.host.hint = "Stop again gives up.";
        int attempts = 0;
        b.link.onWrite = [&](const std::string& written) {
            if (written == "\r" && b.link.unit.uploaded().size() >= data.size()) ++attempts;
            if (r.firstAtAttempt > 0 && attempts == r.firstAtAttempt && b.engine.cancelled() == 0)
                b.engine.pressStop();
            if (r.secondAtAttempt > 0 && attempts == r.secondAtAttempt && !b.engine.waitsAbandoned()) {
                EXPECT_EQ(b.engine.pressStop(), ScriptEngine::StopPress::GivingUp) << r.name;
            }
        };
        b.host.onPump = [&] {
            if (r.firstAtAttempt == 0 && b.link.blockSizes.size() == 3 && !b.engine.waitsAbandoned()) {
                EXPECT_EQ(b.engine.pressStop(), ScriptEngine::StopPress::Stopping) << r.name;
                EXPECT_EQ(b.engine.pressStop(), ScriptEngine::StopPress::GivingUp) << r.name;
            }
        };
        EXPECT_EQ(b.run(loadScript(b.dir.write("data.bin", data))), RunOutcome::Stopped) << r.name;
        EXPECT_EQ(attempts, r.attempts) << r.name;
        EXPECT_EQ(b.host.messages, r.messages) << r.name;
        EXPECT_FALSE(b.host.progressVisible) << r.name;
        if (r.firstAtAttempt == 2) {
            // The wait goes on after the first Stop, and says every 5 s how to give it up.
            EXPECT_NE(std::find(b.host.statuses.begin(), b.host.statuses.end(),
                                "Waiting for the unit's prompt on COM1 (fake) (attempt 2 of 11)... 5 s Stop "
                                "again gives up."),
                      b.host.statuses.end());
        }
    }
}

// ---- sendBytes's waits -------------------------------------------------------------------------

struct BlockWaitCase {
    const char* name;
    int32_t baud;
    bool neverDrains;
    bool cts;
    int outFree;
    std::string message; // empty: the block goes through
};

void PrintTo(const BlockWaitCase& c, std::ostream* os) {
    *os << c.name;
}

class BlockWait : public ::testing::TestWithParam<BlockWaitCase> {};

TEST_P(BlockWait, DrainAndClearToSend) {
    const BlockWaitCase& c = GetParam();
    Bench b;
    b.link.pacedDrain = true;
    b.link.lineBaud = c.baud;
    b.link.neverDrains = c.neverDrains;
    b.link.cts = c.cts;
    b.link.outFree = c.outFree;
    const std::string block = bytes(2000);
    b.engine.sendBytes(2000, reinterpret_cast<const uint8_t*>(block.data()));
    if (c.message.empty()) {
        EXPECT_TRUE(b.host.messages.empty()) << (b.host.messages.empty() ? "" : b.host.messages[0]);
        EXPECT_EQ(b.engine.cancelled(), 0);
        EXPECT_EQ(b.link.wire, block);
    } else {
        EXPECT_EQ(b.host.messages, std::vector<std::string>{c.message});
        EXPECT_EQ(b.engine.messageText(), c.message);
        EXPECT_EQ(b.engine.cancelled(), 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rates, BlockWait,
    ::testing::Values(BlockWaitCase{"At1200", 1200, false, true, 4096, ""},
                      BlockWaitCase{"At9600", 9600, false, true, 4096, ""},
                      BlockWaitCase{"At19200", 19200, false, true, 4096, ""},
                      BlockWaitCase{"At115200", 115200, false, true, 4096, ""},
                      BlockWaitCase{
                          "NeverDrains", 9600, true, true, 4096,
                          "Error! Output Buffer never empties. Check RS232 connection. Cancel upload."},
                      BlockWaitCase{"NoClearToSend", 38400, false, false, 4096,
                                    "Error! CTS line not set. Check RS232 connection. Cancel upload."},
                      BlockWaitCase{"NoRoom", 38400, false, true, 1999,
                                    "Error! Communications Port Output Buffer Overflow. Cancel upload."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BlockWaitLimit, ScalesWithTheLineRate) {
    // A block that never drains is given up after its time on the line plus the margin.
    for (int32_t baud : {9600, 115200}) {
        Bench b;
        b.link.neverDrains = true;
        b.link.lineBaud = baud;
        const std::string block = bytes(2000);
        const int64_t start = b.clock.ms();
        b.engine.sendBytes(2000, reinterpret_cast<const uint8_t*>(block.data()));
        const int64_t took = b.clock.ms() - start;
        const int64_t lineMs = 2000LL * 12 * 1000 / baud;
        EXPECT_GE(took, std::max<int64_t>(900, lineMs + 1000)) << baud;
        EXPECT_EQ(b.engine.cancelled(), 1);
    }
}

TEST(BlockWaitLimit, AllowsForTheDriverQueueAheadOfTheBlock) {
    // 1.5 s of earlier bytes still queued in the driver: the block sits unmoved for longer than its
    // own time on the line plus the margin, then drains; that is a working line, not a dead one.
    Bench b;
    b.link.pacedDrain = true;
    b.link.lineBaud = 115200;
    b.link.backlog = 17280;
    const std::string block = bytes(2000);
    b.engine.sendBytes(2000, reinterpret_cast<const uint8_t*>(block.data()));
    EXPECT_TRUE(b.host.messages.empty()) << (b.host.messages.empty() ? "" : b.host.messages[0]);
    EXPECT_EQ(b.engine.cancelled(), 0);
    EXPECT_EQ(b.link.wire, block);
}

TEST(Watchdog, BlockWriteOutlastingFourSecondsCancels) {
    Bench b;
    b.link.putBlockDelayMs = 4100;
    const std::string block = bytes(10);
    b.engine.sendBytes(10, reinterpret_cast<const uint8_t*>(block.data()));
    EXPECT_EQ(b.host.messages,
              std::vector<std::string>{"Timeout error! RS232 connection failure! Please check RS232 "
                                       "connection. Exiting script."});
    EXPECT_EQ(b.engine.cancelled(), 1);
    EXPECT_TRUE(b.engine.commandTimedOut());
}

// ---- answer capture ----------------------------------------------------------------------------

struct CaptureCase {
    const char* name;
    int minAnswer;
    std::vector<std::string> blocks;
    std::string answer; // the zero-terminated text in the buffer afterwards
    bool active;
};

void PrintTo(const CaptureCase& c, std::ostream* os) {
    *os << c.name;
}

class Capture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(Capture, FillsAndEndsAtAPrompt) {
    const CaptureCase& c = GetParam();
    Bench b;
    b.engine.setCaptureActive(true);
    b.engine.setCaptureLength(0);
    b.engine.setMinAnswerLength(c.minAnswer);
    for (const auto& block : c.blocks) {
        b.link.queue(block);
        b.engine.onDataAvailable(static_cast<uint16_t>(block.size()));
        ASSERT_LT(b.engine.captureLength(), ScriptEngine::kCaptureSize);
    }
    EXPECT_EQ(std::string(b.engine.captureBuffer().data()), c.answer);
    EXPECT_EQ(b.engine.captureActive(), c.active);
    if (!c.active) {
        EXPECT_EQ(b.engine.captureLength(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, Capture,
    ::testing::Values(
        CaptureCase{"PromptLastEndsBeforeIt", 0, {"V1.08>"}, "V1.08", false},
        CaptureCase{"PromptInsideKeepsAllButTheLastByte", 0, {"ab>cd"}, "ab>c", false},
        CaptureCase{"MainPromptToo", 0, {"x#"}, "x", false},
        CaptureCase{"EarlyPromptIgnored", 10, {"12>4567890123>"}, "12>4567890123", false},
        CaptureCase{"SpreadOverBlocks", 10, {"0123", "456789", "AB>"}, "0123456789AB", false},
        CaptureCase{"StillRunning", 10, {"0123>"}, "0123>", true},
        CaptureCase{
            "RestartsWhenTheBufferWouldFill", 0, {std::string(995, 'a'), "abcdefghi>"}, "abcdefghi", false},
        CaptureCase{"BlockOfFifteenHundred", 0, {std::string(1500, 'z')}, std::string(501, 'z'), true},
        CaptureCase{"BlockOfFifteenHundredEndingInPrompt",
                    0,
                    {std::string(1499, 'z') + ">"},
                    std::string(500, 'z'),
                    false},
        CaptureCase{"NulIsNeverAPrompt", 0, {std::string("ab\0cd", 5)}, "ab", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureIdle, ReadsNothingWhileNoCaptureRuns) {
    Bench b;
    b.link.queue("abc>");
    b.engine.onDataAvailable(4);
    EXPECT_EQ(b.link.input.size(), 4u);
    EXPECT_EQ(b.engine.captureLength(), 0);
}

// ---- prompt exchange ---------------------------------------------------------------------------

TEST(PromptExchange, ClosedPortFailsAtOnceWithoutSending) {
    Bench b;
    b.link.open = false;
    b.engine.setExpectedPrompt('>');
    const int64_t start = b.clock.ms();
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(b.clock.ms() - start, 0);
    EXPECT_EQ(b.link.wire, "");
    EXPECT_TRUE(b.link.waitTicks.empty());
}

TEST(PromptExchange, ProbingWaitsSixtyFiveTicksWhateverTheTimeout) {
    Bench b;
    b.link.unit.options.dead = true;
    b.engine.setExpectedPrompt('#');
    b.engine.setPromptTimeout(365);
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    b.engine.setProbing(true);
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_EQ(b.link.waitTicks, (std::vector<int32_t>{365, 65}));
}

TEST(PromptExchange, MatchIsCaseSensitiveAndDiscardsTheRest) {
    Bench b;
    b.engine.setExpectedPrompt('P');
    b.link.unit.options.answers[""] = "p..";
    b.link.unit.options.mainPrompt = 'P';
    EXPECT_TRUE(b.engine.sendAndAwaitPrompt("\r"));
    b.link.unit.options.mainPrompt = 'x';
    b.link.unit.options.answers[""] = "p";
    b.link.unit.restart();
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
    EXPECT_TRUE(b.link.input.empty());
}

TEST(PromptExchange, EmptyPromptSettingMatchesNothing) {
    Bench b;
    b.engine.setExpectedPrompt('\0');
    b.link.unit.options.answers[""] = std::string(1, '\0');
    EXPECT_FALSE(b.engine.sendAndAwaitPrompt("\r"));
}

TEST(PromptExchange, FullOutputBufferIsReportedAndNothingSent) {
    Bench b;
    b.link.outFree = 3;
    b.engine.sendString("abc");
    EXPECT_EQ(b.link.wire, "");
    EXPECT_EQ(b.host.messages, std::vector<std::string>{"Error! Communications Port Output Buffer Overflow"});
    b.link.outFree = 4;
    b.engine.sendString("abc");
    EXPECT_EQ(b.link.wire, "abc");
}

} // namespace
} // namespace brimwell::script::test
