// Random sequences of every buffer operation, dimension change and mode switch, with the buffer's
// invariants checked after each step (best run under the address sanitizer): the cursor stays in the
// grid, the region stays on the screen, and every changed rectangle lies inside the held rows.
#include "tests/terminal/emulator_fakes.h"

#include <gtest/gtest.h>

#include <random>

namespace brimwell {
namespace {

void checkInvariants(terminal::TerminalBuffer& b, int step) {
    ASSERT_GE(b.absCursorRow(), b.firstRow()) << step;
    ASSERT_LE(b.absCursorRow(), b.lastRow()) << step;
    ASSERT_GE(b.absCursorCol(), 1) << step;
    ASSERT_LE(b.absCursorCol(), b.colCount()) << step;
    ASSERT_GE(b.originRow(), 1) << step;
    ASSERT_LE(b.originRow(), b.rowCount()) << step;
    ASSERT_LE(b.rowCount(), b.svRowCount()) << step;
    terminal::TermRect r;
    if (b.getInvalidRect(r)) {
        ASSERT_GE(r.left, 1) << step;
        ASSERT_LE(r.left, r.right) << step;
        ASSERT_LE(r.top, r.bottom) << step;
        ASSERT_GE(r.top, b.firstRow()) << step;
        ASSERT_LE(r.bottom, b.lastRow()) << step;
    }
}

class RandomOperations : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomOperations, KeepTheBufferConsistent) {
    std::mt19937 rng(GetParam());
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    test::FakeTerminal t;
    terminal::TtyEmulator emu;
    emu.setTerminal(&t);
    terminal::TerminalBuffer& b = *emu.buffer();
    for (int step = 0; step < 4000; ++step) {
        int n = pick(-3, 300);
        switch (pick(0, 30)) {
        case 0:
            try {
                b.setColCount(pick(0, 140));
            } catch (const terminal::TerminalBufferError&) {
            }
            break;
        case 1:
            try {
                b.setRowCount(pick(0, 60));
            } catch (const terminal::TerminalBufferError&) {
            }
            break;
        case 2:
            try {
                b.setSvRowCount(pick(0, 260));
            } catch (const terminal::TerminalBufferError&) {
            }
            break;
        case 3:
            b.setScrollRegion(pick(-5, 70), pick(-5, 70));
            break;
        case 4:
            b.setUseScrollRegion(pick(0, 1));
            break;
        case 5:
            b.setUseAbsAddress(pick(0, 1));
            break;
        case 6:
            b.setCursorPosition(pick(-300, 300), pick(-10, 200));
            break;
        case 7:
            b.setUseInsertMode(pick(0, 1));
            break;
        case 8:
            b.setUseAutoWrap(pick(0, 1));
            b.setUseAutoWrapDelay(pick(0, 1));
            break;
        case 9:
            b.setUseNewLineMode(pick(0, 1));
            break;
        case 10:
            b.insertChars(n);
            break;
        case 11:
            b.deleteChars(n);
            break;
        case 12:
            b.insertLines(n);
            break;
        case 13:
            b.deleteLines(n);
            break;
        case 14:
            b.eraseChars(n * 10);
            break;
        case 15:
            b.eraseToEow();
            b.eraseFromBow();
            break;
        case 16:
            b.eraseToEol();
            b.eraseFromBol();
            b.eraseLine();
            break;
        case 17:
            b.eraseScreen();
            break;
        case 18:
            if (pick(0, 20) == 0) b.eraseAll();
            break;
        case 19:
            if (pick(0, 20) == 0) b.Reset();
            break;
        case 20:
            b.moveCursorUp(pick(0, 1));
            b.moveCursorDown(pick(0, 1));
            break;
        case 21:
            b.moveCursorLeft(pick(0, 1), pick(0, 1));
            b.moveCursorRight(pick(0, 1), pick(0, 1));
            break;
        case 22:
            b.doHorzTab();
            b.doBackHorzTab();
            b.doVertTab();
            b.doBackVertTab();
            break;
        case 23:
            b.setHorzTabStop();
            b.setVertTabStop();
            if (pick(0, 3) == 0) b.clearAllHorzTabStops();
            break;
        case 24:
            b.setDefBackColor(static_cast<terminal::Color>(pick(0, 3)));
            b.setBackColor(static_cast<terminal::Color>(pick(0, 3)));
            break;
        case 25:
            t.originRowValue = pick(-250, 30);
            t.originColValue = pick(-5, 150);
            t.visibleRowsValue = pick(0, 40);
            t.visibleColsValue = pick(0, 150);
            t.recording.clip = {pick(-20, 900), pick(-20, 500), pick(-20, 900), pick(-20, 500)};
            t.freeze = pick(0, 1);
            emu.paint();
            emu.lazyPaint();
            t.recording.clear();
            break;
        default: {
            std::string bytes;
            for (int i = pick(1, 200); i > 0; --i)
                bytes += static_cast<char>(pick(0, 255));
            emu.processBlock(bytes.data(), static_cast<int>(bytes.size()), terminal::CharSource::Port);
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
