// Random sequences of every buffer operation, dimension change and mode switch, with the buffer's
// invariants checked after each step (best run under the address sanitizer): the cursor stays in the
// grid, the region stays on the screen, and every changed rectangle lies inside the held rows.
#include "tests/terminal/emulator_fakes.h"

#include <gtest/gtest.h>

#include <random>

namespace brimwell {
namespace {

void checkInvariants(TQuavTerminalBuffer& b, int step) {
    ASSERT_GE(b.AbsCursorRow(), b.FirstRow()) << step;
    ASSERT_LE(b.AbsCursorRow(), b.LastRow()) << step;
    ASSERT_GE(b.AbsCursorCol(), 1) << step;
    ASSERT_LE(b.AbsCursorCol(), b.ColCount()) << step;
    ASSERT_GE(b.OriginRow(), 1) << step;
    ASSERT_LE(b.OriginRow(), b.RowCount()) << step;
    ASSERT_LE(b.RowCount(), b.SVRowCount()) << step;
    TQuavTermRect r;
    if (b.GetInvalidRect(r)) {
        ASSERT_GE(r.Left, 1) << step;
        ASSERT_LE(r.Left, r.Right) << step;
        ASSERT_LE(r.Top, r.Bottom) << step;
        ASSERT_GE(r.Top, b.FirstRow()) << step;
        ASSERT_LE(r.Bottom, b.LastRow()) << step;
    }
}

class RandomOperations : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomOperations, KeepTheBufferConsistent) {
    std::mt19937 rng(GetParam());
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    test::FakeTerminal t;
    TQuavTTYEmulator emu;
    emu.teSetTerminal(&t);
    TQuavTerminalBuffer& b = *emu.Buffer();
    for (int step = 0; step < 4000; ++step) {
        int n = pick(-3, 300);
        switch (pick(0, 30)) {
        case 0:
            try {
                b.tbSetColCount(pick(0, 140));
            } catch (const ETerminalError&) {
            }
            break;
        case 1:
            try {
                b.tbSetRowCount(pick(0, 60));
            } catch (const ETerminalError&) {
            }
            break;
        case 2:
            try {
                b.tbSetSVRowCount(pick(0, 260));
            } catch (const ETerminalError&) {
            }
            break;
        case 3:
            b.SetScrollRegion(pick(-5, 70), pick(-5, 70));
            break;
        case 4:
            b.tbSetUseScrollRegion(pick(0, 1));
            break;
        case 5:
            b.SetUseAbsAddress(pick(0, 1));
            break;
        case 6:
            b.SetCursorPosition(pick(-300, 300), pick(-10, 200));
            break;
        case 7:
            b.SetUseInsertMode(pick(0, 1));
            break;
        case 8:
            b.SetUseAutoWrap(pick(0, 1));
            b.SetUseAutoWrapDelay(pick(0, 1));
            break;
        case 9:
            b.SetUseNewLineMode(pick(0, 1));
            break;
        case 10:
            b.InsertChars(n);
            break;
        case 11:
            b.DeleteChars(n);
            break;
        case 12:
            b.InsertLines(n);
            break;
        case 13:
            b.DeleteLines(n);
            break;
        case 14:
            b.EraseChars(n * 10);
            break;
        case 15:
            b.EraseToEOW();
            b.EraseFromBOW();
            break;
        case 16:
            b.EraseToEOL();
            b.EraseFromBOL();
            b.EraseLine();
            break;
        case 17:
            b.EraseScreen();
            break;
        case 18:
            if (pick(0, 20) == 0) b.EraseAll();
            break;
        case 19:
            if (pick(0, 20) == 0) b.Reset();
            break;
        case 20:
            b.MoveCursorUp(pick(0, 1));
            b.MoveCursorDown(pick(0, 1));
            break;
        case 21:
            b.MoveCursorLeft(pick(0, 1), pick(0, 1));
            b.MoveCursorRight(pick(0, 1), pick(0, 1));
            break;
        case 22:
            b.DoHorzTab();
            b.DoBackHorzTab();
            b.DoVertTab();
            b.DoBackVertTab();
            break;
        case 23:
            b.SetHorzTabStop();
            b.SetVertTabStop();
            if (pick(0, 3) == 0) b.ClearAllHorzTabStops();
            break;
        case 24:
            b.tbSetDefBackColor(static_cast<TColor>(pick(0, 3)));
            b.tbSetBackColor(static_cast<TColor>(pick(0, 3)));
            break;
        case 25:
            t.originRow = pick(-250, 30);
            t.originCol = pick(-5, 150);
            t.visibleRows = pick(0, 40);
            t.visibleCols = pick(0, 150);
            t.canvas.clip = {pick(-20, 900), pick(-20, 500), pick(-20, 900), pick(-20, 500)};
            t.freeze = pick(0, 1);
            emu.Paint();
            emu.LazyPaint();
            t.canvas.clear();
            break;
        default: {
            std::string bytes;
            for (int i = pick(1, 200); i > 0; --i)
                bytes += static_cast<char>(pick(0, 255));
            emu.ProcessBlock(bytes.data(), static_cast<int>(bytes.size()), csPort);
            break;
        }
        }
        checkInvariants(b, step);
        if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomOperations, ::testing::Range(1u, 9u));

} // namespace
} // namespace brimwell
