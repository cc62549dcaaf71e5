// What the buffer tells the outside: cursor events, scroll notifications and the registered window,
// plus the rule that the moved flag stays set until read.
#include "terminal/terminal_buffer.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace brimwell {
namespace {

struct CountingWindow : TQuavTerminalWindowLink {
    int updates = 0;
    void QmTermNeedsUpdate() override { ++updates; }
};

class BufferEvents : public ::testing::Test {
  protected:
    void SetUp() override {
        b.OnCursorMoved = [this](TQuavTerminalBuffer* sender, int row, int col) {
            EXPECT_EQ(sender, &b);
            moves.emplace_back(row, col);
        };
        b.OnScrollRows = [this](TQuavTerminalBuffer*, int count, int top, int bottom) {
            scrolls.emplace_back(count, top, bottom);
        };
    }
    TQuavTerminalBuffer b;
    std::vector<std::pair<int, int>> moves;
    std::vector<std::tuple<int, int, int>> scrolls;
};

TEST_F(BufferEvents, EachWrittenCharacterReportsTheNewCursor) {
    b.WriteString("AB");
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 2}, {1, 3}}));
}

TEST_F(BufferEvents, NoEventWhenNothingMoves) {
    b.HasCursorMoved(); // the construction's move, read
    b.DoBackspace();    // at column 1
    b.tbSetCol(1);      // unchanged
    b.tbSetRow(1);
    EXPECT_TRUE(moves.empty());
    b.tbSetCol(80);
    b.MoveCursorRight(false, false); // right edge without wrap
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 80}}));
}

TEST_F(BufferEvents, UnreadMoveIsReportedAgainByABackspaceThatCannotMove) {
    b.DoBackspace(); // the construction's move has not been read
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{1, 1}}));
    b.HasCursorMoved();
    b.DoBackspace();
    EXPECT_EQ(moves.size(), 1u);
}

TEST_F(BufferEvents, LineFeedAtTheBottomScrollsWithoutACursorEvent) {
    b.SetCursorPosition(24, 5);
    moves.clear();
    b.DoLineFeed();
    EXPECT_TRUE(moves.empty());
    // The whole buffer turned: rows from the oldest scrollback row to the screen's bottom.
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_EQ(scrolls[0], std::make_tuple(1, -175, 24));
}

TEST_F(BufferEvents, RegionScrollReportsTheRegionRows) {
    b.SetScrollRegion(3, 9);
    b.SetCursorPosition(9, 1);
    b.DoLineFeed();
    b.SetCursorPosition(4, 1);
    b.InsertLines(2);
    b.EraseScreen();
    EXPECT_EQ(scrolls, (std::vector<std::tuple<int, int, int>>{{1, 3, 9}, {-2, 4, 9}, {24, -175, 24}}));
}

TEST_F(BufferEvents, MovedFlagStaysSetUntilRead) {
    EXPECT_TRUE(b.HasCursorMoved()); // set by construction
    EXPECT_FALSE(b.HasCursorMoved());
    b.WriteChar('x');
    b.WriteChar('y');
    EXPECT_TRUE(b.HasCursorMoved());
    EXPECT_FALSE(b.HasCursorMoved());
    // Writing into the last column with deferred wrap does not move the cursor.
    b.tbSetCol(80);
    EXPECT_TRUE(b.HasCursorMoved());
    b.WriteChar('z');
    EXPECT_FALSE(b.HasCursorMoved());
    EXPECT_TRUE(b.WrapPending());
}

TEST_F(BufferEvents, RegisteredWindowHearsOfEveryChangedRectangle) {
    CountingWindow w;
    b.RegisterTerminalHandle(&w);
    b.WriteString("abc");
    EXPECT_EQ(w.updates, 3);
    b.EraseLine();
    EXPECT_EQ(w.updates, 4);
    EXPECT_TRUE(b.HasDisplayChanged());
    TQuavTermRect r;
    EXPECT_TRUE(b.GetInvalidRect(r));
    EXPECT_FALSE(b.HasDisplayChanged());
    EXPECT_FALSE(b.GetInvalidRect(r));
    b.DeregisterTerminalHandle();
    b.WriteChar('d');
    EXPECT_EQ(w.updates, 4);
    EXPECT_TRUE(b.HasDisplayChanged());
}

TEST_F(BufferEvents, ScrollRegionSwitchMovesTheCursorToItsCorner) {
    b.SetScrollRegion(5, 10);
    b.tbSetUseScrollRegion(false);
    b.SetCursorPosition(12, 12);
    moves.clear();
    b.tbSetUseScrollRegion(true);
    EXPECT_EQ(moves, (std::vector<std::pair<int, int>>{{5, 1}}));
    EXPECT_EQ(b.tbGetOriginRow(), 5);
    b.tbSetUseScrollRegion(true); // unchanged: nothing
    EXPECT_EQ(moves.size(), 1u);
}

TEST(BufferLines, LineAccessorsCoverExactlyTheHeldRows) {
    TQuavTerminalBuffer b;
    EXPECT_EQ(b.FirstRow(), -175);
    EXPECT_NE(b.GetLineCharPtr(-175), nullptr);
    EXPECT_EQ(b.GetLineCharPtr(-176), nullptr);
    EXPECT_NE(b.GetLineBackColorPtr(24), nullptr);
    EXPECT_EQ(b.GetLineForeColorPtr(25), nullptr);
    EXPECT_EQ(b.GetLineAttrPtr(25), nullptr);
    EXPECT_EQ(b.GetLineCharSetPtr(-200), nullptr);
}

TEST(BufferLines, WideCellsHoldSixteenBits) {
    TQuavTerminalBuffer b(true);
    b.WriteChar(0x263A);
    b.WriteChar('A');
    auto* row = reinterpret_cast<const std::uint16_t*>(b.GetLineCharPtr(1));
    EXPECT_EQ(row[0], 0x263A);
    EXPECT_EQ(row[1], 'A');
    EXPECT_EQ(row[2], ' ');
}

} // namespace
} // namespace brimwell
