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
        emu.teSetTerminal(&t);
        settle();
    }
    // Forget everything pending and drawn so far.
    void settle() {
        TQuavTermRect r;
        while (emu.Buffer()->GetInvalidRect(r)) {
        }
        t.canvas.clear();
    }
    void write(TQuavTerminalCharAttrs attrs, TColor fore, TColor back, const char* text) {
        TQuavTerminalBuffer& b = *emu.Buffer();
        b.SetCharAttrs(attrs);
        b.tbSetForeColor(fore);
        b.tbSetBackColor(back);
        b.WriteString(text);
        b.SetCharAttrs(0);
        b.tbSetForeColor(clSilver);
        b.tbSetBackColor(clBlack);
    }
    // The text run drawn for column `col` of the first painted row.
    const DrawnText* runAt(int col) {
        int x = (col - t.originCol) * t.charWidth;
        for (const auto& d : t.canvas.texts)
            if (d.cell.Top == 0 && d.cell.Left <= x && x < d.cell.Right) return &d;
        return nullptr;
    }
    FakeTerminal t;
    TQuavTTYEmulator emu;
};

TEST_F(TTYPaint, OneTextRunPerStretchOfEqualCellsRightToLeft) {
    write(0, clSilver, clBlack, "ab");
    write(tcaBold, clSilver, clBlack, "cd");
    write(0, clSilver, clBlack, "e");
    t.canvas.clip = {0, 0, 800, 16};
    emu.Paint();
    ASSERT_EQ(t.canvas.texts.size(), 3u);
    const auto& texts = t.canvas.texts;
    EXPECT_EQ(texts[0].cell, (TQuavTermRect{32, 0, 640, 16}));
    EXPECT_EQ(texts[0].text.substr(0, 2), "e ");
    EXPECT_EQ(texts[0].text.size(), 76u);
    EXPECT_EQ(texts[1].cell, (TQuavTermRect{16, 0, 32, 16}));
    EXPECT_EQ(texts[1].text, "cd");
    EXPECT_EQ(texts[2].cell, (TQuavTermRect{0, 0, 16, 16}));
    EXPECT_EQ(texts[2].text, "ab");
    for (const auto& d : texts)
        EXPECT_EQ(d.advance, 8);
}

TEST_F(TTYPaint, CellColours) {
    struct Case {
        const char* name;
        TQuavTerminalCharAttrs attrs;
        TColor fore, back;
        TColor wantText, wantFill;
    };
    const Case cases[] = {
        {"plain", 0, clSilver, clBlack, clSilver, clBlack},
        {"bold silver is white", tcaBold, clSilver, clBlack, clWhite, clBlack},
        {"bold black is grey", tcaBold, clBlack, clWhite, clGray, clWhite},
        {"bold brightens each component", tcaBold, 0x102090, 0, 0x90A0FF, 0},
        {"reverse swaps", tcaReverse, clSilver, clBlack, clBlack, clSilver},
        {"selected swaps", tcaSelected, clSilver, 0x800000, 0x800000, clSilver},
        {"reverse and selected draw normally", tcaReverse | tcaSelected, clSilver, clBlack, clSilver,
         clBlack},
        {"bold reverse brightens the fill", tcaReverse | tcaBold, clSilver, clBlack, clBlack, clWhite},
        {"invisible takes the fill colour", tcaInvisible, clSilver, 0x123456, 0x123456, 0x123456},
        {"invisible ignores bold", tcaInvisible | tcaBold, clSilver, clBlack, clBlack, clBlack},
        {"invisible reverse", tcaInvisible | tcaReverse, clSilver, clBlack, clSilver, clSilver},
    };
    for (const Case& c : cases) {
        emu.Buffer()->SetCursorPosition(1, 1);
        write(c.attrs, c.fore, c.back, "X");
        t.canvas.clear();
        t.canvas.clip = {0, 0, 8, 16};
        emu.Paint();
        ASSERT_EQ(t.canvas.texts.size(), 1u) << c.name;
        EXPECT_EQ(t.canvas.texts[0].fore, c.wantText) << c.name;
        EXPECT_EQ(t.canvas.texts[0].back, c.wantFill) << c.name;
    }
}

TEST_F(TTYPaint, UnderlineAndStrikethroughLines) {
    emu.Buffer()->SetCursorPosition(2, 3);
    write(tcaUnderline, 0xFF, clBlack, "uu");
    write(tcaStrikethrough | tcaReverse, 0xFF, clBlack, "s");
    t.canvas.clip = {16, 16, 48, 32};
    emu.Paint();
    ASSERT_EQ(t.canvas.lines.size(), 2u);
    // Right to left: the strikethrough run first, in its text colour (the swapped background).
    EXPECT_EQ(t.canvas.lines[0].x1, 32);
    EXPECT_EQ(t.canvas.lines[0].x2, 40);
    EXPECT_EQ(t.canvas.lines[0].y1, 16 + 8);
    EXPECT_EQ(t.canvas.lines[0].color, clBlack);
    EXPECT_EQ(t.canvas.lines[1].x1, 16);
    EXPECT_EQ(t.canvas.lines[1].x2, 32);
    EXPECT_EQ(t.canvas.lines[1].y1, 32 - 2);
    EXPECT_EQ(t.canvas.lines[1].y2, 32 - 2);
    EXPECT_EQ(t.canvas.lines[1].color, 0xFFu);
}

TEST_F(TTYPaint, PaintCoversTheClipInCells) {
    t.canvas.clip = {12, 20, 30, 40}; // columns 2..4, rows 2..3
    emu.Paint();
    ASSERT_EQ(t.canvas.texts.size(), 2u);
    EXPECT_EQ(t.canvas.texts[0].cell, (TQuavTermRect{8, 16, 32, 32}));
    EXPECT_EQ(t.canvas.texts[1].cell, (TQuavTermRect{8, 32, 32, 48}));
}

TEST_F(TTYPaint, ViewOriginShiftsAndClipsRows) {
    emu.Buffer()->SetCursorPosition(0, 12); // newest scrollback row
    emu.Buffer()->WriteString("old");
    t.originRow = -1;
    t.originCol = 11;
    t.visibleRows = 3;
    t.visibleCols = 10;
    t.canvas.clip = {0, 0, 800, 400};
    emu.Paint();
    ASSERT_EQ(t.canvas.texts.size(), 3u); // rows -1, 0, 1 only; columns 11..20
    EXPECT_EQ(t.canvas.texts[1].cell, (TQuavTermRect{0, 16, 80, 32}));
    EXPECT_EQ(t.canvas.texts[1].text, " old      ");
}

TEST_F(TTYPaint, LazyPaintDrawsOnlyWhatChanged) {
    emu.Buffer()->SetCursorPosition(3, 5);
    emu.ProcessBlock("x", 1, csPort);
    emu.Buffer()->SetCursorPosition(4, 7);
    emu.ProcessBlock("y", 1, csPort);
    emu.LazyPaint();
    ASSERT_EQ(t.canvas.texts.size(), 2u); // the union: rows 3..4, columns 5..7
    EXPECT_EQ(t.canvas.texts[0].cell, (TQuavTermRect{32, 32, 56, 48}));
    EXPECT_EQ(t.canvas.texts[0].text, "x  ");
    EXPECT_EQ(t.canvas.texts[1].text, "  y");
    t.canvas.clear();
    emu.LazyPaint();
    EXPECT_TRUE(t.canvas.texts.empty());
}

TEST_F(TTYPaint, UnfrozenScrollbackShiftsTheRowsToDraw) {
    t.freeze = false;
    t.originRow = 2;
    emu.Buffer()->SetCursorPosition(3, 1);
    emu.ProcessBlock("x", 1, csPort);
    emu.LazyPaint(); // changed row 3 becomes rows 3 + 1 .. 3 + 2 of the view
    ASSERT_EQ(t.canvas.texts.size(), 2u);
    EXPECT_EQ(t.canvas.texts[0].cell.Top, (4 - 2) * 16);
    EXPECT_EQ(t.canvas.texts[1].cell.Top, (5 - 2) * 16);
    t.canvas.clear();
    t.canvas.clip = {0, 0, 8, 16}; // the view's first row: buffer rows 2 + 1 .. 2 + 2
    emu.Paint();
    ASSERT_EQ(t.canvas.texts.size(), 2u);
    EXPECT_EQ(t.canvas.texts[0].cell.Top, (3 - 2) * 16);
    EXPECT_EQ(t.canvas.texts[0].text, "x");
}

TEST_F(TTYPaint, TerminalColourChangeRecoloursDefaultCellsAndRedrawsAll) {
    write(0, clSilver, clBlack, "a");
    write(0, 0x00FF00, 0x0000FF, "b");
    t.color = 0x0000FF; // the colour menu picked red
    emu.Paint();
    EXPECT_TRUE(emu.RepaintAllPending()); // Paint leaves the full redraw to LazyPaint
    t.canvas.clear();
    emu.LazyPaint();
    EXPECT_FALSE(emu.RepaintAllPending());
    EXPECT_EQ(t.canvas.texts.size(), 26u); // every screen row; row 1 in three runs ("a", "b", the rest)
    EXPECT_FALSE(emu.Buffer()->HasDisplayChanged());
    TQuavTerminalBuffer& b = *emu.Buffer();
    EXPECT_EQ(b.GetLineBackColorPtr(1)[0], 0x0000FFu);
    EXPECT_EQ(b.GetLineBackColorPtr(1)[1], 0x0000FFu);
    EXPECT_EQ(b.GetLineForeColorPtr(1)[1], 0x00FF00u);
    EXPECT_EQ(b.GetLineBackColorPtr(-100)[0], 0x0000FFu);
    b.EraseLine(); // new erasures use red
    EXPECT_EQ(b.GetLineBackColorPtr(1)[1], 0x0000FFu);
    t.fontColor = clWhite;
    emu.LazyPaint();
    EXPECT_EQ(b.GetLineForeColorPtr(5)[0], clWhite);
    EXPECT_EQ(b.DefForeColor(), clWhite);
}

TEST_F(TTYPaint, NothingIsDrawnWithoutASurfaceOrTerminal) {
    t.hasCanvas = false;
    emu.Buffer()->WriteString("abc");
    emu.Paint();
    emu.LazyPaint();
    EXPECT_TRUE(t.canvas.texts.empty());
    TQuavTTYEmulator lone;
    lone.Paint();
    lone.LazyPaint();
    EXPECT_TRUE(lone.Buffer()->HasDisplayChanged()); // nothing consumed without a terminal
}

} // namespace
} // namespace brimwell
