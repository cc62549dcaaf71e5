// The trigger table as pure logic: receive checks, status checks, timers and handles, with no
// device and no threads.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "serial/dispatcher_constants.h"
#include "serial/error_codes.h"
#include "serial/trigger_table.h"

namespace brimwell::test {
namespace {

// Pushes each chunk into a ring (nothing is read) and runs a receive check after each; the
// findings of each check are written "A<count>" and "D<handle>:<length>".
struct ReceiveRow {
    const char* name;
    uint32_t availLength;
    std::vector<std::pair<std::string, bool>> dataTriggers; // text, ignore case
    std::vector<std::string> chunks;
    std::vector<std::string> expected;
};

std::string describe(const TriggerTable::ReceiveFindings& f) {
    std::string s = f.announceAvail ? "A" + std::to_string(f.availCount) : "";
    for (const auto& [handle, length] : f.matched)
        s += (s.empty() ? "D" : " D") + std::to_string(handle) + ":" + std::to_string(length);
    return s;
}

TEST(TriggerTableTest, ReceiveChecks) {
    const std::vector<ReceiveRow> rows = {
        {"every arrival announces all unread bytes", 1, {}, {"ab", "", "c"}, {"A2", "", "A3"}},
        {"avail waits for its length", 4, {}, {"abc", "d"}, {"", "A4"}},
        {"no avail length, no avail", 0, {{"K", false}}, {"xxK"}, {"D8:1"}},
        {"bytes before a match are announced first", 1, {{"OK", false}}, {"xxOK"}, {"A2 D8:2"}},
        {"ignore case", 1, {{"ok", true}}, {"xOk"}, {"A1 D8:2"}},
        {"case counts", 1, {{"ok", false}}, {"xOk"}, {"A3"}},
        {"a match split over two arrivals", 1, {{"abc", false}}, {"ab", "c"}, {"A2", "D8:3"}},
        {"overlapping starts are kept", 1, {{"aab", false}}, {"aaab"}, {"A1 D8:3"}},
        {"matches at one position, last trigger first",
         1,
         {{"b", false}, {"ab", false}},
         {"ab"},
         {"D16:2 D8:1"}},
        {"the scan goes on after a match", 1, {{"x", false}}, {"x", "yx"}, {"D8:1", "A2 D8:1"}},
    };
    for (const ReceiveRow& row : rows) {
        SCOPED_TRACE(row.name);
        TriggerTable table;
        ByteRing ring;
        ring.reset(64);
        uint64_t total = 0;
        table.SetAvailLength(row.availLength);
        for (const auto& [text, ignoreCase] : row.dataTriggers)
            ASSERT_GT(table.AddData(text.data(), ignoreCase, uint32_t(text.size())), 0);
        for (size_t i = 0; i < row.chunks.size(); ++i) {
            ring.write(reinterpret_cast<const uint8_t*>(row.chunks[i].data()),
                       uint32_t(row.chunks[i].size()));
            total += row.chunks[i].size();
            TriggerTable::ReceiveFindings found;
            table.CheckReceive(ring, total, found);
            EXPECT_EQ(describe(found), row.expected[i]) << "after chunk " << i;
        }
    }
}

TEST(TriggerTableTest, BytesReadBeforeTheScanCompleteNothing) {
    TriggerTable table;
    ByteRing ring;
    ring.reset(16);
    ASSERT_EQ(table.AddData("ab", false, 2), 8);
    ring.write(reinterpret_cast<const uint8_t*>("abab"), 4);
    ring.consume(3); // a reader took "aba" while checks were held back
    TriggerTable::ReceiveFindings found;
    table.CheckReceive(ring, 4, found);
    EXPECT_EQ(describe(found), "");
}

struct LineState {
    int modem;
    uint32_t errors, freeCount, used;
    bool written;
};

struct FakeStatus : TriggerStatusSource, LineState {
    explicit FakeStatus(const LineState& state) : LineState(state) {}
    uint8_t ModemStatus() override { return uint8_t(modem); }
    uint32_t LineErrors() override { return errors; }
    uint32_t OutputFree() override { return freeCount; }
    uint32_t OutputUsed() override { return used; }
    bool TakeOutputWritten() override { return std::exchange(written, false); }
};

TEST(TriggerTableTest, StatusTriggersFireOnceWhenTheirConditionHolds) {
    struct Row {
        const char* name;
        uint16_t kind, value;
        uint8_t modemAtArm;
        LineState now;
        bool fires;
        uint16_t data;
    };
    const std::vector<Row> rows = {
        {"CTS dropped", stModem, msCtsOn, msCtsOn, {0, 0, 0, 0, false}, true, 0},
        {"CTS unchanged", stModem, msCtsOn, msCtsOn, {msCtsOn | msDsrOn, 0, 0, 0, false}, false, 0},
        {"overrun seen", stLine, 1, 0, {0, ceOverrun, 0, 0, false}, true, 0},
        {"framing not watched", stLine, 1, 0, {0, ceFrame, 0, 0, false}, false, 0},
        {"free reached", stOutBuffFree, 100, 0, {0, 0, 150, 0, false}, true, 150},
        {"free short", stOutBuffFree, 100, 0, {0, 0, 50, 0, false}, false, 0},
        {"emptied", stOutBuffUsed, 0, 0, {0, 0, 0, 0, false}, true, 0},
        {"still sending", stOutBuffUsed, 0, 0, {0, 0, 0, 5, false}, false, 0},
        {"bytes put", stOutSent, 0, 0, {0, 0, 0, 0, true}, true, 0},
        {"nothing put", stOutSent, 0, 0, {0, 0, 0, 0, false}, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeStatus now(row.now);
        TriggerTable table;
        const int32_t h = table.AddStatus(row.kind);
        ASSERT_EQ(h, 8 + row.kind);
        ASSERT_EQ(table.SetStatus(h, row.value, true, row.modemAtArm), 0);
        int32_t fired = 0;
        uint16_t data = 0;
        EXPECT_EQ(table.TakeFiredStatus(now, fired, data), row.fires);
        if (!row.fires) continue;
        EXPECT_EQ(fired, h);
        EXPECT_EQ(data, row.data);
        table.ResetStatusHits();
        EXPECT_FALSE(table.TakeFiredStatus(now, fired, data)) << "fired again without being re-armed";
    }
}

TEST(TriggerTableTest, HandlesAndRefusals) {
    TriggerTable table;
    EXPECT_EQ(table.AddData("0123456789012345678901", false, 22), secTriggerTooLong);
    EXPECT_EQ(table.AddData("", false, 0), secBadArgument);
    EXPECT_EQ(table.AddStatus(6), secBadArgument);
    const int32_t timer = table.AddTimer();
    EXPECT_EQ(timer, 8);
    EXPECT_EQ(table.AddStatus(stOutBuffUsed), 16 + stOutBuffUsed);
    EXPECT_EQ(table.SetTimer(16 + stOutBuffUsed, 1, true), secBadTriggerHandle);
    EXPECT_EQ(table.Remove(99), secBadTriggerHandle);
    table.SetAvailLength(5);
    EXPECT_EQ(table.Remove(kAvailTriggerHandle), 0);
    EXPECT_EQ(table.AvailLength(), 0u);

    // A timer fires once, when it has run out.
    ASSERT_EQ(table.SetTimer(timer, 18, true), 0);
    EXPECT_EQ(table.TakeExpiredTimer(), 0);
    ASSERT_EQ(table.ExtendTimer(timer, -100), 0);
    EXPECT_EQ(table.TakeExpiredTimer(), timer);
    EXPECT_EQ(table.TakeExpiredTimer(), 0);

    // Restored triggers keep their handles and new ones never repeat them.
    TTriggerSave save;
    table.Save(save);
    TriggerTable other;
    other.Restore(save);
    EXPECT_EQ(other.AddTimer(), 24);
    EXPECT_EQ(other.Remove(timer), 0);
}

} // namespace
} // namespace brimwell::test
