// What the buffer tells the outside: cursor events, scroll notifications and the registered window,
// plus the rule that the moved flag stays set until read.
#include "terminal/terminal_buffer.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace brimwell {
namespace {

struct CountingWindow : terminal::TerminalWindowLink {
    int updates = 0;
    void termNeedsUpdate() override { ++updates; }
};

class BufferEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        b.onCursorMoved = [this](terminal::TerminalBuffer* sender, int row, int col) {
            EXPECT_EQ(sender, &b);
            moves.emplace_back(row, col);
        };
        b.onScrollRows = [this](terminal::TerminalBuffer*, int count, int top, int bottom) {
            scrolls.emplace_back(count, top, bottom);
        };
    }
    terminal::TerminalBuffer b;
    std::vector<std::pair<int, int>> moves;
    std::vector<std::tuple<int, int, int>> scrolls;
};

TEST_F(BufferEvents, EachWrittenCharacterReportsTheNewCursor) {
    b.writeString("AB");
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 2}, {1, 3}}));
}

TEST_F(BufferEvents, NoEventWhenNothingMoves) {
    b.hasCursorMoved(); // the construction's move, read
    b.doBackspace();    // at column 1
    b.setCursorCol(1);  // unchanged
    b.setCursorRow(1);
    EXPECT_TRUE(moves.empty());
    b.setCursorCol(80);
    b.moveCursorRight(false, false); // right edge without wrap
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 80}}));
}

TEST_F(BufferEvents, UnreadMoveIsReportedAgainByABackspaceThatCannotMove) {
    b.doBackspace(); // the construction's move has not been read
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 1}}));
    b.hasCursorMoved();
    b.doBackspace();
    EXPECT_EQ(moves.size(), 1u);
}

TEST_F(BufferEvents, LineFeedAtTheBottomScrollsWithoutACursorEvent) {
    b.setCursorPosition(24, 5);
    moves.clear();
    b.doLineFeed();
    EXPECT_TRUE(moves.empty());
    // The whole buffer turned: rows from the oldest scrollback row to the screen's bottom.
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0], std::make_tuple(1, -175, 24));
}

TEST_F(BufferEvents, RegionScrollReportsTheRegionRows) {
    b.setScrollRegion(3, 9);
    b.setCursorPosition(9, 1);
    b.doLineFeed();
    b.setCursorPosition(4, 1);
    b.insertLines(2);
    b.eraseScreen();
    EXPECT_EQ(scrolls, (std::vector<std::tuple<int, int, int>>{{1, 3, 9}, {-2, 4, 9}, {24, -175, 24}}));
}

TEST_F(BufferEvents, MovedFlagStaysSetUntilRead) {
    EXPECT_TRUE(b.hasCursorMoved()); // set by construction
    EXPECT_FALSE(b.hasCursorMoved());
    b.writeChar('x');
    b.writeChar('y');
    EXPECT_TRUE(b.hasCursorMoved());
    EXPECT_FALSE(b.hasCursorMoved());
    // Writing into the last column with deferred wrap does not move the cursor.
    b.setCursorCol(80);
    EXPECT_TRUE(b.hasCursorMoved());
    b.writeChar('z');
    EXPECT_FALSE(b.hasCursorMoved());
    EXPECT_TRUE(b.wrapPending());
}

TEST_F(BufferEvents, RegisteredWindowHearsOfEveryChangedRectangle) {
    CountingWindow w;
    b.registerTerminalHandle(&w);
    b.writeString("abc");
    EXPECT_EQ(w.updates, 3);
    b.eraseLine();
    EXPECT_EQ(w.updates, 4);
    EXPECT_TRUE(b.hasDisplayChanged());
    terminal::TermRect r;
    EXPECT_TRUE(b.getInvalidRect(r));
    EXPECT_FALSE(b.hasDisplayChanged());
    EXPECT_FALSE(b.getInvalidRect(r));
    b.deregisterTerminalHandle();
    b.writeChar('d');
    EXPECT_EQ(w.updates, 4);
    EXPECT_TRUE(b.hasDisplayChanged());
}

TEST_F(BufferEvents, ScrollRegionSwitchMovesTheCursorToItsCorner) {
    b.setScrollRegion(5, 10);
    b.setUseScrollRegion(false);
    b.setCursorPosition(12, 12);
    moves.clear();
    b.setUseScrollRegion(true);
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{5, 1}}));
    EXPECT_EQ(b.originRow(), 5);
    b.setUseScrollRegion(true); // unchanged: nothing
    EXPECT_EQ(moves.size(), 1u);
}

TEST(BufferLines, LineAccessorsCoverExactlyTheHeldRows) {
    terminal::TerminalBuffer b;
    EXPECT_EQ(b.firstRow(), -175);
    EXPECT_NE(b.getLineCharPtr(-175), nullptr);
    EXPECT_EQ(b.getLineCharPtr(-176), nullptr);
    EXPECT_NE(b.getLineBackColorPtr(24), nullptr);
    EXPECT_EQ(b.getLineForeColorPtr(25), nullptr);
    EXPECT_EQ(b.getLineAttrPtr(25), nullptr);
    EXPECT_EQ(b.getLineCharSetPtr(-200), nullptr);
}

TEST(BufferLines, WideCellsHoldSixteenBits) {
    terminal::TerminalBuffer b(true);
    b.writeChar(0x263A);
    b.writeChar('A');
    auto* row = reinterpret_cast<const std::uint16_t*>(b.getLineCharPtr(1));
    EXPECT_EQ(row[0], 0x263A);
    EXPECT_EQ(row[1], 'A');
    EXPECT_EQ(row[2], ' ');
}

} // namespace
} // namespace brimwell
