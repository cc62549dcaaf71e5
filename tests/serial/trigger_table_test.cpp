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

std::string describe(const serial::TriggerTable::ReceiveFindings& f) {
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
        serial::TriggerTable table;
        serial::ByteRing ring;
        ring.reset(64);
        uint64_t total = 0;
        table.setAvailLength(row.availLength);
        for (const auto& [text, ignoreCase] : row.dataTriggers)
            ASSERT_GT(table.addData(text.data(), ignoreCase, uint32_t(text.size())), 0);
        for (size_t i = 0; i < row.chunks.size(); ++i) {
            ring.write(reinterpret_cast<const uint8_t*>(row.chunks[i].data()),
                       uint32_t(row.chunks[i].size()));
            total += row.chunks[i].size();
            serial::TriggerTable::ReceiveFindings found;
            table.checkReceive(ring, total, found);
            EXPECT_EQ(describe(found), row.expected[i]) << "after chunk " << i;
        }
    }
}

TEST(TriggerTableTest, BytesReadBeforeTheScanCompleteNothing) {
    serial::TriggerTable table;
    serial::ByteRing ring;
    ring.reset(16);
    ASSERT_EQ(table.addData("ab", false, 2), 8);
    ring.write(reinterpret_cast<const uint8_t*>("abab"), 4);
    ring.consume(3); // a reader took "aba" while checks were held back
    serial::TriggerTable::ReceiveFindings found;
    table.checkReceive(ring, 4, found);
    EXPECT_EQ(describe(found), "");
}

struct LineState {
    int modem;
    uint32_t errors, freeCount, used;
    bool written;
};

struct FakeStatus : serial::TriggerStatusSource, LineState {
    explicit FakeStatus(const LineState& state) : LineState(state) {}
    uint8_t modemStatus() override { return uint8_t(modem); }
    uint32_t lineErrors() override { return errors; }
    uint32_t outputFree() override { return freeCount; }
    uint32_t outputUsed() override { return used; }
    bool takeOutputWritten() override { return std::exchange(written, false); }
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
        {"CTS dropped",
         serial::kStatusModem,
         serial::kModemCtsOn,
         serial::kModemCtsOn,
         {0, 0, 0, 0, false},
         true,
         0},
        {"CTS unchanged",
         serial::kStatusModem,
         serial::kModemCtsOn,
         serial::kModemCtsOn,
         {serial::kModemCtsOn | serial::kModemDsrOn, 0, 0, 0, false},
         false,
         0},
        {"overrun seen", serial::kStatusLine, 1, 0, {0, serial::kLineErrorOverrun, 0, 0, false}, true, 0},
        {"framing not watched",
         serial::kStatusLine,
         1,
         0,
         {0, serial::kLineErrorFrame, 0, 0, false},
         false,
         0},
        {"free reached", serial::kStatusOutBuffFree, 100, 0, {0, 0, 150, 0, false}, true, 150},
        {"free short", serial::kStatusOutBuffFree, 100, 0, {0, 0, 50, 0, false}, false, 0},
        {"emptied", serial::kStatusOutBuffUsed, 0, 0, {0, 0, 0, 0, false}, true, 0},
        {"still sending", serial::kStatusOutBuffUsed, 0, 0, {0, 0, 0, 5, false}, false, 0},
        {"bytes put", serial::kStatusOutSent, 0, 0, {0, 0, 0, 0, true}, true, 0},
        {"nothing put", serial::kStatusOutSent, 0, 0, {0, 0, 0, 0, false}, false, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakeStatus now(row.now);
        serial::TriggerTable table;
        const int32_t h = table.addStatus(row.kind);
        ASSERT_EQ(h, 8 + row.kind);
        ASSERT_EQ(table.setStatus(h, row.value, true, row.modemAtArm), 0);
        int32_t fired = 0;
        uint16_t data = 0;
        EXPECT_EQ(table.takeFiredStatus(now, fired, data), row.fires);
        if (!row.fires) continue;
        EXPECT_EQ(fired, h);
        EXPECT_EQ(data, row.data);
        table.resetStatusHits();
        EXPECT_FALSE(table.takeFiredStatus(now, fired, data)) << "fired again without being re-armed";
    }
}

TEST(TriggerTableTest, HandlesAndRefusals) {
    serial::TriggerTable table;
    EXPECT_EQ(table.addData("0123456789012345678901", false, 22), serial::result::kTriggerTooLong);
    EXPECT_EQ(table.addData("", false, 0), serial::result::kBadArgument);
    EXPECT_EQ(table.addStatus(6), serial::result::kBadArgument);
    const int32_t timer = table.addTimer();
    EXPECT_EQ(timer, 8);
    EXPECT_EQ(table.addStatus(serial::kStatusOutBuffUsed), 16 + serial::kStatusOutBuffUsed);
    EXPECT_EQ(table.setTimer(16 + serial::kStatusOutBuffUsed, 1, true), serial::result::kBadTriggerHandle);
    EXPECT_EQ(table.remove(99), serial::result::kBadTriggerHandle);
    table.setAvailLength(5);
    EXPECT_EQ(table.remove(serial::kAvailTriggerHandle), 0);
    EXPECT_EQ(table.availLength(), 0u);

    // A timer fires once, when it has run out.
    ASSERT_EQ(table.setTimer(timer, 18, true), 0);
    EXPECT_EQ(table.takeExpiredTimer(), 0);
    ASSERT_EQ(table.extendTimer(timer, -100), 0);
    EXPECT_EQ(table.takeExpiredTimer(), timer);
    EXPECT_EQ(table.takeExpiredTimer(), 0);

    // Restored triggers keep their handles and new ones never repeat them.
    serial::TriggerSave save;
    table.save(save);
    serial::TriggerTable other;
    other.restore(save);
    EXPECT_EQ(other.addTimer(), 24);
    EXPECT_EQ(other.remove(timer), 0);
}

} // namespace
} // namespace brimwell::test
