// How the teletype emulator draws: runs of equal-looking cells, colours under bold, reverse, selection
// and invisibility, underline and strikethrough, the view origin, and colour synchronisation.
#include "tests/terminal/emulator_fakes.h"

#include <gtest/gtest.h>

namespace brimwell {
namespace {

using test::DrawnText;
using test::FakeTerminal;

class TTYPaint : public ::testing::Test {
  protected:
    void SetUp() override {
        emu.setTerminal(&t);
        settle();
    }
    // Forget everything pending and drawn so far.
    void settle() {
        terminal::TermRect r;
        while (emu.buffer()->getInvalidRect(r)) {
        }
        t.recording.clear();
    }
    void write(terminal::CharAttrs attrs, terminal::Color fore, terminal::Color back, const char* text) {
        terminal::TerminalBuffer& b = *emu.buffer();
        b.setCharAttrs(attrs);
        b.setForeColor(fore);
        b.setBackColor(back);
        b.writeString(text);
        b.setCharAttrs(0);
        b.setForeColor(terminal::kSilver);
        b.setBackColor(terminal::kBlack);
    }
    // The text run drawn for column `col` of the first painted row.
    const DrawnText* runAt(int col) {
        int x = (col - t.originColValue) * t.charWidthValue;
        for (const auto& d : t.recording.texts)
            if (d.cell.top == 0 && d.cell.left <= x && x < d.cell.right) return &d;
        return nullptr;
    }
    FakeTerminal t;
    terminal::TtyEmulator emu;
};

TEST_F(TTYPaint, OneTextRunPerStretchOfEqualCellsRightToLeft) {
    write(0, terminal::kSilver, terminal::kBlack, "ab");
    write(terminal::kAttrBold, terminal::kSilver, terminal::kBlack, "cd");
    write(0, terminal::kSilver, terminal::kBlack, "e");
    t.recording.clip = {0, 0, 800, 16};
    emu.paint();
    ASSERT_EQ(t.recording.texts.size(), 3u);
    const auto& texts = t.recording.texts;
    EXPECT_EQ(texts[0].cell, (terminal::TermRect{32, 0, 640, 16}));
    EXPECT_EQ(texts[0].text.substr(0, 2), "e ");
    EXPECT_EQ(texts[0].text.size(), 76u);
    EXPECT_EQ(texts[1].cell, (terminal::TermRect{16, 0, 32, 16}));
    EXPECT_EQ(texts[1].text, "cd");
    EXPECT_EQ(texts[2].cell, (terminal::TermRect{0, 0, 16, 16}));
    EXPECT_EQ(texts[2].text, "ab");
    for (const auto& d : texts)
        EXPECT_EQ(d.advance, 8);
}

TEST_F(TTYPaint, CellColours) {
    struct Case {
        const char* name;
        terminal::CharAttrs attrs;
        terminal::Color fore, back;
        terminal::Color wantText, wantFill;
    };
    const Case cases[] = {
        {"plain", 0, terminal::kSilver, terminal::kBlack, terminal::kSilver, terminal::kBlack},
        {"bold silver is white", terminal::kAttrBold, terminal::kSilver, terminal::kBlack, terminal::kWhite,
         terminal::kBlack},
        {"bold black is grey", terminal::kAttrBold, terminal::kBlack, terminal::kWhite, terminal::kGray,
         terminal::kWhite},
        {"bold brightens each component", terminal::kAttrBold, 0x102090, 0, 0x90A0FF, 0},
        {"reverse swaps", terminal::kAttrReverse, terminal::kSilver, terminal::kBlack, terminal::kBlack,
         terminal::kSilver},
        {"selected swaps", terminal::kAttrSelected, terminal::kSilver, 0x800000, 0x800000, terminal::kSilver},
        {"reverse and selected draw normally", terminal::kAttrReverse | terminal::kAttrSelected,
         terminal::kSilver, terminal::kBlack, terminal::kSilver, terminal::kBlack},
        {"bold reverse brightens the fill", terminal::kAttrReverse | terminal::kAttrBold, terminal::kSilver,
         terminal::kBlack, terminal::kBlack, terminal::kWhite},
        {"invisible takes the fill colour", terminal::kAttrInvisible, terminal::kSilver, 0x123456, 0x123456,
         0x123456},
        {"invisible ignores bold", terminal::kAttrInvisible | terminal::kAttrBold, terminal::kSilver,
         terminal::kBlack, terminal::kBlack, terminal::kBlack},
        {"invisible reverse", terminal::kAttrInvisible | terminal::kAttrReverse, terminal::kSilver,
         terminal::kBlack, terminal::kSilver, terminal::kSilver},
    };
    for (const Case& c : cases) {
        emu.buffer()->setCursorPosition(1, 1);
        write(c.attrs, c.fore, c.back, "X");
        t.recording.clear();
        t.recording.clip = {0, 0, 8, 16};
        emu.paint();
        ASSERT_EQ(t.recording.texts.size(), 1u) << c.name;
        EXPECT_EQ(t.recording.texts[0].fore, c.wantText) << c.name;
        EXPECT_EQ(t.recording.texts[0].back, c.wantFill) << c.name;
    }
}

TEST_F(TTYPaint, UnderlineAndStrikethroughLines) {
    emu.buffer()->setCursorPosition(2, 3);
    write(terminal::kAttrUnderline, 0xFF, terminal::kBlack, "uu");
    write(terminal::kAttrStrikethrough | terminal::kAttrReverse, 0xFF, terminal::kBlack, "s");
    t.recording.clip = {16, 16, 48, 32};
    emu.paint();
    ASSERT_EQ(t.recording.lines.size(), 2u);
    // Right to left: the strikethrough run first, in its text colour (the swapped background).
    EXPECT_EQ(t.recording.lines[0].x1, 32);
    EXPECT_EQ(t.recording.lines[0].x2, 40);
    EXPECT_EQ(t.recording.lines[0].y1, 16 + 8);
    EXPECT_EQ(t.recording.lines[0].color, terminal::kBlack);
    EXPECT_EQ(t.recording.lines[1].x1, 16);
    EXPECT_EQ(t.recording.lines[1].x2, 32);
    EXPECT_EQ(t.recording.lines[1].y1, 32 - 2);
    EXPECT_EQ(t.recording.lines[1].y2, 32 - 2);
    EXPECT_EQ(t.recording.lines[1].color, 0xFFu);
}

TEST_F(TTYPaint, PaintCoversTheClipInCells) {
    t.recording.clip = {12, 20, 30, 40}; // columns 2..4, rows 2..3
    emu.paint();
    ASSERT_EQ(t.recording.texts.size(), 2u);
    EXPECT_EQ(t.recording.texts[0].cell, (terminal::TermRect{8, 16, 32, 32}));
    EXPECT_EQ(t.recording.texts[1].cell, (terminal::TermRect{8, 32, 32, 48}));
}

TEST_F(TTYPaint, ViewOriginShiftsAndClipsRows) {
    emu.buffer()->setCursorPosition(0, 12); // newest scrollback row
    emu.buffer()->writeString("old");
    t.originRowValue = -1;
    t.originColValue = 11;
    t.visibleRowsValue = 3;
    t.visibleColsValue = 10;
    t.recording.clip = {0, 0, 800, 400};
    emu.paint();
    ASSERT_EQ(t.recording.texts.size(), 3u); // rows -1, 0, 1 only; columns 11..20
    EXPECT_EQ(t.recording.texts[1].cell, (terminal::TermRect{0, 16, 80, 32}));
    EXPECT_EQ(t.recording.texts[1].text, " old      ");
}

TEST_F(TTYPaint, LazyPaintDrawsOnlyWhatChanged) {
    emu.buffer()->setCursorPosition(3, 5);
    emu.processBlock("x", 1, terminal::CharSource::Port);
    emu.buffer()->setCursorPosition(4, 7);
    emu.processBlock("y", 1, terminal::CharSource::Port);
    emu.lazyPaint();
    ASSERT_EQ(t.recording.texts.size(), 2u); // the union: rows 3..4, columns 5..7
    EXPECT_EQ(t.recording.texts[0].cell, (terminal::TermRect{32, 32, 56, 48}));
    EXPECT_EQ(t.recording.texts[0].text, "x  ");
    EXPECT_EQ(t.recording.texts[1].text, "  y");
    t.recording.clear();
    emu.lazyPaint();
    EXPECT_TRUE(t.recording.texts.empty());
}

TEST_F(TTYPaint, UnfrozenScrollbackShiftsTheRowsToDraw) {
    t.freeze = false;
    t.originRowValue = 2;
    emu.buffer()->setCursorPosition(3, 1);
    emu.processBlock("x", 1, terminal::CharSource::Port);
    emu.lazyPaint(); // changed row 3 becomes rows 3 + 1 .. 3 + 2 of the view
    ASSERT_EQ(t.recording.texts.size(), 2u);
    EXPECT_EQ(t.recording.texts[0].cell.top, (4 - 2) * 16);
    EXPECT_EQ(t.recording.texts[1].cell.top, (5 - 2) * 16);
    t.recording.clear();
    t.recording.clip = {0, 0, 8, 16}; // the view's first row: buffer rows 2 + 1 .. 2 + 2
    emu.paint();
    ASSERT_EQ(t.recording.texts.size(), 2u);
    EXPECT_EQ(t.recording.texts[0].cell.top, (3 - 2) * 16);
    EXPECT_EQ(t.recording.texts[0].text, "x");
}

TEST_F(TTYPaint, TerminalColourChangeRecoloursDefaultCellsAndRedrawsAll) {
    write(0, terminal::kSilver, terminal::kBlack, "a");
    write(0, 0x00FF00, 0x0000FF, "b");
    t.colorValue = 0x0000FF; // the colour menu picked red
    emu.paint();
    EXPECT_TRUE(emu.repaintAllPending()); // Paint leaves the full redraw to lazyPaint
    t.recording.clear();
    emu.lazyPaint();
    EXPECT_FALSE(emu.repaintAllPending());
    EXPECT_EQ(t.recording.texts.size(), 26u); // every screen row; row 1 in three runs ("a", "b", the rest)
    EXPECT_FALSE(emu.buffer()->hasDisplayChanged());
    terminal::TerminalBuffer& b = *emu.buffer();
    EXPECT_EQ(b.getLineBackColorPtr(1)[0], 0x0000FFu);
    EXPECT_EQ(b.getLineBackColorPtr(1)[1], 0x0000FFu);
    EXPECT_EQ(b.getLineForeColorPtr(1)[1], 0x00FF00u);
    EXPECT_EQ(b.getLineBackColorPtr(-100)[0], 0x0000FFu);
    b.eraseLine(); // new erasures use red
    EXPECT_EQ(b.getLineBackColorPtr(1)[1], 0x0000FFu);
    t.fontColorValue = terminal::kWhite;
    emu.lazyPaint();
    EXPECT_EQ(b.getLineForeColorPtr(5)[0], terminal::kWhite);
    EXPECT_EQ(b.defForeColor(), terminal::kWhite);
}

TEST_F(TTYPaint, NothingIsDrawnWithoutASurfaceOrTerminal) {
    t.hasCanvas = false;
    emu.buffer()->writeString("abc");
    emu.paint();
    emu.lazyPaint();
    EXPECT_TRUE(t.recording.texts.empty());
    terminal::TtyEmulator lone;
    lone.paint();
    lone.lazyPaint();
    EXPECT_TRUE(lone.buffer()->hasDisplayChanged()); // nothing consumed without a terminal
}

} // namespace
} // namespace brimwell
