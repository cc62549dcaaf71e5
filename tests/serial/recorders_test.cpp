// The trace and dispatch-log recorders: what they keep, and the files they write from it.
#include "serial/recorders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "serial/error_codes.h"
#include "serial/triggers.h"
#include "support/temp_dir.h"

namespace brimwell::serial {
namespace {

uint32_t fakeNow = 0;

// recorded: pieces split by '|': a kind letter and the bytes the port recorded, '+' then a kind and
// one byte for a caller's own entry, or an operation (stop, start, clear, initN). capacity 0: never
// initialised.
// mode: 'd' non-printables in decimal, 'h' in hexadecimal, 'a' every byte in hexadecimal. file: what
// the trace file holds after the dump; it held "old" before, which a dump of nothing leaves.
struct TraceCase {
    const char* name;
    uint32_t capacity;
    std::string recorded;
    char mode;
    std::string file;
};

const std::string kCr19 = std::regex_replace(std::string(19, '#'), std::regex("#"), "[0D]");
const std::vector<TraceCase> kTraceRows = {
    {"OldestOverwritten", 3, "Rabcd", 'h', "Receive: \r\nbcd"},
    {"OverwrittenAcrossDirections", 4, "Tab|Rcde", 'h', "Transmit: \r\nb\r\n\r\nReceive: \r\ncde"},
    {"LoadrExample", 99, "TLOADR\r|R>", 'd', "Transmit: \r\nLOADR[13]\r\n\r\nReceive: \r\n>"},
    {"SpaceInHex", 9, "R ", 'h', "Receive: \r\n[20]"},
    {"SpaceAndWidthsInDecimal", 9, "R \x07\x1b\xc8~", 'd', "Receive: \r\n [7][27][200]~"},
    {"AllHexAndOtherKinds", 9, "XA|RA", 'a', "Special-X: \r\n[41]\r\n\r\nReceive: \r\n[41]"},
    {"SeventyNinePrintables", 99, "R" + std::string(79, 'x'), 'h',
     "Receive: \r\n" + std::string(78, 'x') + "\r\nx"},
    {"WideItemsWrapWhole", 99, "R" + std::string(20, '\r'), 'h', "Receive: \r\n" + kCr19 + "\r\n[0D]"},
    {"EmptyWritesNoFile", 10, "", 'h', "old"},
    {"AbsentWritesNoFile", 0, "", 'h', "old"},
    {"PauseKeepsCallersOwnEntries", kTraceSizeMax, "Ra|stop|Rb|+Xc|start|Rd", 'h',
     "Receive: \r\na\r\n\r\nSpecial-X: \r\nc\r\n\r\nReceive: \r\nd"},
    // An existing buffer is emptied by a new initialisation, not resized.
    {"ClearAndInitEmpty", 3, "+Ra|clear|+Rb|init50|Rcdef", 'h', "Receive: \r\ndef"},
};

class TraceFile : public ::testing::TestWithParam<TraceCase> {};

TEST_P(TraceFile, HoldsTheNewestEntriesOldestFirst) {
    const TraceCase& c = GetParam();
    testing::TempDir dir;
    Recorders r;
    ASSERT_EQ(c.capacity > 0 ? r.initTracing(c.capacity) : result::kOk, result::kOk);
    std::istringstream pieces(c.recorded);
    for (std::string piece; std::getline(pieces, piece, '|');) {
        int32_t result = result::kOk;
        if (piece == "stop") r.stopTracing();
        if (piece == "start") result = r.startTracing();
        if (piece == "clear") result = r.clearTracing();
        if (piece.starts_with("init")) result = r.initTracing(std::stoul(piece.substr(4)));
        if (piece[0] == '+') r.addTraceEntry(piece[1], uint8_t(piece[2]));
        if (std::isupper(piece[0])) r.traceBytes(piece[0], piece.data() + 1, uint32_t(piece.size() - 1));
        EXPECT_EQ(result, result::kOk) << piece;
    }
    dir.write("t", "old");
    EXPECT_EQ(r.dumpTrace(dir.file("t"), c.mode == 'h', c.mode == 'a'), result::kOk);
    EXPECT_EQ(dir.read("t"), c.file);
    EXPECT_FALSE(r.tracing());
}

INSTANTIATE_TEST_SUITE_P(rows, TraceFile, ::testing::ValuesIn(kTraceRows),
                         [](const auto& info) { return std::string(info.param.name); });

struct LogCase {
    const char* name;
    uint32_t size; // 0: never initialised
    std::function<void(Recorders&)> record;
    bool hex, allHex;
    std::string body; // the lines after the seven header lines; the file held "old" before
};

class LogFile : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogFile, WritesHeaderAndEntries) {
    const LogCase& c = GetParam();
    testing::TempDir dir;
    fakeNow = 5000;
    Recorders r([] { return fakeNow; });
    r.portOpened();
    r.setDeviceLabel("/dev/ttyUSB0");
    ASSERT_EQ(c.size > 0 ? r.initDispatchLogging(c.size) : result::kOk, result::kOk);
    if (c.record) c.record(r);
    dir.write("l", "old");
    EXPECT_EQ(r.dumpDispatchLog(dir.file("l"), c.hex, c.allHex), result::kOk);
    EXPECT_FALSE(r.logging());

    const std::string file = dir.read("l");
    static const std::regex header("QUAV v4\\.05\r\n"
                                   "Compiler : (GCC|Clang) [0-9][^\r]*\r\n"
                                   "Operating System : Linux [0-9][^\r]* #[^\r]*\r\n"
                                   "Device: /dev/ttyUSB0\r\n"
                                   "Date/time: \\d\\d/\\d\\d/\\d\\d, \\d\\d:\\d\\d:\\d\\d\r\n"
                                   "Time      Type      SubType       Data      OtherData\r\n"
                                   "--------  --------  ------------  --------  ---------\r\n");
    std::smatch m; // no header: the file compared whole (nothing logged leaves the old one)
    const bool headed = std::regex_search(file, m, header, std::regex_constants::match_continuous);
    EXPECT_EQ(headed ? m.suffix().str() : file, c.body);
}

const std::string kUser = "0000.000  User" + std::string(20, ' ') + "00000000  ";
// A user entry of 40 times `c`: 33 on the first line, the rest on a continuation line.
std::string wrappedUserEntry(char c) {
    return kUser + std::string(33, c) + "\r\n" + std::string(44, ' ') + std::string(7, c) + "\r\n";
}
std::function<void(Recorders&)> userTexts(std::vector<std::string> texts) {
    return [texts](Recorders& r) {
        for (const std::string& t : texts)
            r.addStringToLog(t);
    };
}

INSTANTIATE_TEST_SUITE_P(
    rows, LogFile,
    ::testing::Values(
        LogCase{"WriteThenRead", 1000,
                [](Recorders& r) {
                    r.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::WriteCom, 6, "LOADR\r", 6);
                    fakeNow += 1234;
                    r.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::ReadCom, 1, ">", 1);
                },
                false, false,
                "0000.000  Dispatch  WriteCom      00000006  LOADR[13]\r\n"
                "0001.234  Dispatch  ReadCom       00000001  >\r\n"},
        LogCase{"TriggerRows", 1000,
                [](Recorders& r) {
                    r.logStatusTriggerKind(DispatchType::TriggerAlloc, 0x21, 1);
                    r.logStatusTriggerKind(DispatchType::TriggerDispose, 0x21, 5);
                    r.logTimerTriggerChange(7, 18, true);
                    r.logTimerTriggerChange(7, 0, false);
                    r.addDispatchEntry(DispatchType::TriggerHandlerAlloc, DispatchSubType::EventHandler, 1);
                    r.addDispatchEntry(DispatchType::Trigger, DispatchSubType::ModemStatus, 0x31);
                    r.logTriggerAnnounced(kTriggerData, 0x42);
                },
                true, false,
                "0000.000  TrigAllc  Status        00000021  (Modem status)\r\n"
                "0000.000  TrigDisp  Status        00000021  (Output sent)\r\n"
                "0000.000  TrDatChg  Timer         00000007  [12][00][00][00]\r\n"
                "0000.000  TrDatChg  Timer         00000007  Deactivated\r\n"
                "0000.000  TrgHdAlc  Method        00000001  \r\n"
                "0000.000  Trigger   4             00000031   (DCTS CTS DSR)\r\n"
                "0000.000  Trigger   Data          00000042  \r\n"},
        LogCase{"AllHexKeepsUserText", 1000,
                [](Recorders& r) {
                    r.addStringToLog("a b");
                    r.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::ReadCom, 1, "a", 1);
                },
                true, true, kUser + "a b\r\n0000.000  Dispatch  ReadCom       00000001  [61]\r\n"},
        LogCase{"ContinuationIndent", 1000, userTexts({std::string(40, 'y')}), true, false,
                wrappedUserEntry('y')},
        LogCase{"OversizedEntryRefusedOlderStay", 64, userTexts({"abc", std::string(48, 'z')}), true, false,
                kUser + "abc\r\n"},
        LogCase{"LargeEntryDropsAllOlderIntact", 64, userTexts({"abc", std::string(40, 'z')}), true, false,
                wrappedUserEntry('z')},
        LogCase{"OldestDroppedAcrossTheEnd", 100,
                userTexts({"entry0", "entry1", "entry2", "entry3", "entry4", "entry5", "entry6", "entry7",
                           "entry8", "entry9"}),
                true, false,
                kUser + "entry6\r\n" + kUser + "entry7\r\n" + kUser + "entry8\r\n" + kUser + "entry9\r\n"},
        LogCase{"EmptyWritesNoFile", 1000, nullptr, true, false, "old"},
        LogCase{"AbsentWritesNoFile", 0, nullptr, true, false, "old"}),
    [](const auto& info) { return std::string(info.param.name); });

// A file that cannot be opened or written loses nothing: the recording waits, off, for another try.
TEST(Recorders, FailedOpenKeepsTheRecordingForAnotherFile) {
    testing::TempDir dir;
    Recorders r;
    ASSERT_EQ(r.initTracing(10), result::kOk);
    ASSERT_EQ(r.initDispatchLogging(1000), result::kOk);
    r.addTraceEntry('R', 'a');
    r.addStringToLog("note");
    EXPECT_EQ(r.dumpTrace(dir.file("no/such"), true, false), -ENOENT);
    EXPECT_EQ(r.dumpDispatchLog(dir.file("no/such"), true, false), -ENOENT);
    EXPECT_EQ(r.dumpTrace("/dev/full", true, false), -ENOSPC);
    EXPECT_EQ(r.dumpDispatchLog("/dev/full", true, false), -ENOSPC);
    r.traceBytes('R', "b", 1);
    dir.write("t", "old\r\n");
    EXPECT_EQ(r.appendTrace(dir.file("t"), true, false), result::kOk);
    EXPECT_EQ(dir.read("t"), "old\r\nReceive: \r\na");
    EXPECT_EQ(r.appendDispatchLog(dir.file("l"), true, false), result::kOk);
    EXPECT_NE(dir.read("l").find("note\r\n"), std::string::npos);
}

TEST(Recorders, SizeLimits) {
    Recorders r;
    EXPECT_EQ(r.initTracing(kTraceSizeMax + 1), result::kBadArgument);
    EXPECT_EQ(r.initTracing(0), result::kBadArgument);
    EXPECT_EQ(r.startTracing(), result::kTracingNotEnabled);
    EXPECT_EQ(r.initDispatchLogging(kLogSizeMax + 1), result::kBadArgument);
    EXPECT_EQ(r.startDispatchLogging(), result::kLoggingNotEnabled);
    EXPECT_FALSE(r.tracing() || r.logging());
}

// Reads and writes record from different threads; none of their bytes may be lost.
TEST(Recorders, ThreadsRecordingAtOnceLoseNothing) {
    testing::TempDir dir;
    Recorders r;
    ASSERT_EQ(r.initTracing(100000), result::kOk);
    ASSERT_EQ(r.initDispatchLogging(kLogSizeMax), result::kOk);
    auto record = [&r](char kind, char byte) {
        for (int i = 0; i < 20000; ++i) {
            r.addTraceEntry(kind, uint8_t(byte));
            r.addDispatchEntry(DispatchType::Dispatch, DispatchSubType::ReadCom, 1, &byte, 1);
        }
    };
    std::thread reader(record, 'R', 'x'), writer(record, 'T', 'z');
    reader.join();
    writer.join();
    ASSERT_EQ(r.dumpTrace(dir.file("t"), true, false), result::kOk);
    ASSERT_EQ(r.dumpDispatchLog(dir.file("l"), true, false), result::kOk);
    // Each byte once in the trace, and once in the log as the data of its own entry.
    const std::string trace = dir.read("t"), log = dir.read("l");
    for (const auto& [file, item] :
         {std::pair{&trace, "x"}, {&trace, "z"}, {&log, "  x\r\n"}, {&log, "  z\r\n"}}) {
        const std::regex entry(item);
        EXPECT_EQ(std::distance(std::sregex_iterator(file->begin(), file->end(), entry), {}), 20000) << item;
    }
}

} // namespace
} // namespace brimwell::serial
