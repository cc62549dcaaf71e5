// The terminal widget without a port: bytes written through its intake, property rules, rendering
// (cell colours at their pixels), clearing, capture modes, selection and copy, lazy display, view
// origin and scroll bars, emulator assignment. Real widgets, offscreen.
#include "terminal/widget/quav_terminal.h"
#include "widget_support.h"

#include "terminal/terminal_emulator.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace brimwell {
namespace {

using widgettest::runFor;
using widgettest::runUntil;

constexpr TColor kBlue = 0xFF0000; // 0x00BBGGRR
constexpr TColor kRed = 0x0000FF;

std::string pad(std::string s, size_t width = 80) {
    s.resize(width, ' ');
    return s;
}

class TerminalView : public ::testing::Test {
  protected:
    void SetUp() override {
        term = widgettest::makeViewTerminal();
        fitColumns(80, 24, 40);
        term->show();
        settle();
    }
    void TearDown() override { term.reset(); }

    // Makes the client area hold `cols` × `rows` cells plus a gap of `extra` pixels.
    void fitColumns(int cols, int rows, int extra) { widgettest::fitCells(*term, cols, rows, extra); }
    static void settle() { widgettest::settle(); }
    void feed(const std::string& bytes) {
        term->WriteString(bytes);
        settle();
    }
    QImage render() { return term->viewport()->grab().toImage(); }
    QColor cellPixel(const QImage& img, int row, int col, int dx = -1, int dy = -1) {
        const int cw = term->CharWidth(), ch = term->CharHeight();
        const int x = (col - term->OriginCol()) * cw + (dx < 0 ? cw / 2 : dx);
        const int y = (row - term->OriginRow()) * ch + (dy < 0 ? ch / 2 : dy);
        return img.pixelColor(x, y);
    }
    // The brightest channel value inside one cell: shows whether a glyph is drawn and how bright.
    int brightest(const QImage& img, int row, int col) {
        const int cw = term->CharWidth(), ch = term->CharHeight();
        int best = 0;
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                const QColor c =
                    img.pixelColor((col - term->OriginCol()) * cw + x, (row - term->OriginRow()) * ch + y);
                best = std::max({best, c.red(), c.green(), c.blue()});
            }
        return best;
    }
    void sendMouse(QEvent::Type type, int row, int col, Qt::MouseButton button = Qt::LeftButton) {
        const QPoint p((col - term->OriginCol()) * term->CharWidth() + 2,
                       (row - term->OriginRow()) * term->CharHeight() + 2);
        const Qt::MouseButtons held =
            type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent ev(type, QPointF(p), QPointF(term->viewport()->mapToGlobal(p)), button, held,
                       Qt::NoModifier);
        QCoreApplication::sendEvent(term->viewport(), &ev);
    }
    void typeKey(int key, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QKeyEvent ev(QEvent::KeyPress, key, mods, text);
        QCoreApplication::sendEvent(term.get(), &ev);
        settle();
    }

    std::unique_ptr<TQuavTerminal> term;
};

// ---- property setter rules -----------------------------------------------------------------------

struct SetterCase {
    const char* name;
    std::function<void(TQuavTerminal&)> apply;
    std::function<int(const TQuavTerminal&)> read;
    int expect;
};

class TerminalSetters : public TerminalView, public ::testing::WithParamInterface<SetterCase> {};

TEST_P(TerminalSetters, StoreOrIgnore) {
    const SetterCase& c = GetParam();
    c.apply(*term);
    EXPECT_EQ(c.read(*term), c.expect);
}

const auto blink = [](const TQuavTerminal& t) { return t.BlinkTime(); };
const auto byteDelay = [](const TQuavTerminal& t) { return t.LazyByteDelay(); };
const auto timeDelay = [](const TQuavTerminal& t) { return t.LazyTimeDelay(); };
const auto rows = [](const TQuavTerminal& t) { return t.Rows(); };
const auto cols = [](const TQuavTerminal& t) { return t.Columns(); };
const auto svRows = [](const TQuavTerminal& t) { return t.ScrollbackRows(); };

INSTANTIATE_TEST_SUITE_P(
    Rules, TerminalSetters,
    ::testing::Values(
        SetterCase{"blink_100_raised_to_250", [](TQuavTerminal& t) { t.SetBlinkTime(100); }, blink, 250},
        SetterCase{"blink_negative_is_off", [](TQuavTerminal& t) { t.SetBlinkTime(-5); }, blink, 0},
        SetterCase{"blink_600_kept", [](TQuavTerminal& t) { t.SetBlinkTime(600); }, blink, 600},
        SetterCase{"byte_delay_0_ignored", [](TQuavTerminal& t) { t.SetLazyByteDelay(0); }, byteDelay, 200},
        SetterCase{"byte_delay_2000_ignored", [](TQuavTerminal& t) { t.SetLazyByteDelay(2000); }, byteDelay,
                   200},
        SetterCase{"byte_delay_1024_kept", [](TQuavTerminal& t) { t.SetLazyByteDelay(1024); }, byteDelay,
                   1024},
        SetterCase{"time_delay_1001_ignored", [](TQuavTerminal& t) { t.SetLazyTimeDelay(1001); }, timeDelay,
                   100},
        SetterCase{"time_delay_1_kept", [](TQuavTerminal& t) { t.SetLazyTimeDelay(1); }, timeDelay, 1},
        SetterCase{"rows_300_over_scrollback_ignored", [](TQuavTerminal& t) { t.SetRows(300); }, rows, 24},
        SetterCase{"rows_16_kept", [](TQuavTerminal& t) { t.SetRows(16); }, rows, 16},
        SetterCase{"rows_0_ignored", [](TQuavTerminal& t) { t.SetRows(0); }, rows, 24},
        SetterCase{"columns_0_ignored", [](TQuavTerminal& t) { t.SetColumns(0); }, cols, 80},
        SetterCase{"columns_100_kept", [](TQuavTerminal& t) { t.SetColumns(100); }, cols, 100},
        SetterCase{"scrollback_negative_ignored", [](TQuavTerminal& t) { t.SetScrollbackRows(-1); }, svRows,
                   200},
        SetterCase{"scrollback_500_kept", [](TQuavTerminal& t) { t.SetScrollbackRows(500); }, svRows, 500}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TerminalView, DimensionsTooSmallRaiseAndKeepSize) {
    EXPECT_THROW(term->SetRows(1), ETerminalError);
    EXPECT_EQ(term->Rows(), 24);
    try {
        term->SetColumns(1);
        FAIL() << "one column must be refused";
    } catch (const ETerminalError& e) {
        EXPECT_NE(std::string(e.what()).find("new count too small"), std::string::npos) << e.what();
    }
    EXPECT_EQ(term->Columns(), 80);
}

TEST_F(TerminalView, ColumnsChangeResetsViewOrigin) {
    term->SetScrollback(true);
    settle();
    term->SetOriginRow(-5);
    ASSERT_EQ(term->OriginRow(), -5);
    term->SetColumns(90);
    EXPECT_EQ(term->OriginRow(), 1);
    EXPECT_EQ(term->OriginCol(), 1);
}

TEST_F(TerminalView, MouseSelectOffDropsSelection) {
    feed("abcdef");
    sendMouse(QEvent::MouseButtonPress, 1, 2);
    sendMouse(QEvent::MouseMove, 1, 4);
    ASSERT_TRUE(term->Attributes(1, 3) & tcaSelected);
    term->SetMouseSelect(false);
    EXPECT_FALSE(term->Attributes(1, 3) & tcaSelected);
    EXPECT_FALSE(term->SelectionMade());
}

// ---- text and rendering --------------------------------------------------------------------------

TEST_F(TerminalView, WrittenBytesReachTheBuffer) {
    feed("AB\r\nC");
    EXPECT_EQ(term->Line(1), pad("AB"));
    EXPECT_EQ(term->Line(2), pad("C"));
    EXPECT_EQ(term->Buffer()->Row(), 2);
    EXPECT_EQ(term->Buffer()->Col(), 2);
    feed("\x1b[2J");
    EXPECT_EQ(term->Line(2), pad("C[2J")) << "the teletype ignores ESC and shows the rest";
}

TEST_F(TerminalView, RenderHasCellColoursAtTheirPixels) {
    feed("X  Y");
    QImage img = render();
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 0)) << "blank cell on the default black";
    EXPECT_GT(brightest(img, 1, 1), 100) << "the X is drawn";
    EXPECT_LE(brightest(img, 1, 1), 0xC0) << "plain text is silver at most";
    EXPECT_LE(brightest(img, 1, 2), 8) << "nothing drawn in a blank cell but the edge of the X beside it";

    term->SetColor(kBlue);
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 255)) << "default background follows Color";
    EXPECT_EQ(cellPixel(img, 24, 80), QColor(0, 0, 255));
    EXPECT_EQ(img.pixelColor(img.width() - 1, 5), QColor(0, 0, 255)) << "right gap in Color";
    EXPECT_EQ(img.pixelColor(5, img.height() - 1), QColor(0, 0, 255)) << "bottom gap in Color";

    term->SetBackColor(1, 3, kRed);
    term->RepaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(255, 0, 0));
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 255)) << "neighbour unchanged";

    term->SetAttributes(1, 3, tcaReverse);
    term->RepaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(0xC0, 0xC0, 0xC0)) << "reverse fills with the foreground";

    term->SetAttributes(1, 3, tcaReverse | tcaSelected);
    term->RepaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(255, 0, 0)) << "reverse and selected cancel out";

    term->SetAttributes(1, 1, tcaBold);
    term->RepaintAll();
    img = render();
    EXPECT_EQ(brightest(img, 1, 1), 255) << "bold silver is drawn white";
}

TEST_F(TerminalView, GlyphsStayInsideTheirRun) {
    feed("XW");
    term->SetBackColor(1, 2, kRed);
    term->setLine(1, "X ");
    term->RepaintAll();
    const QImage img = render();
    const int cw = term->CharWidth(), ch = term->CharHeight();
    int off = 0;
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
            if (img.pixelColor(cw + x, y) != QColor(255, 0, 0)) ++off;
    EXPECT_EQ(off, 0) << "pixels of the red cell touched by the X beside it";
}

TEST_F(TerminalView, EachGlyphLandsInItsOwnCell) {
    // Narrow glyphs would bunch up under the font's own advance; each must sit in its cell. The
    // second row holds an unassigned byte (nothing drawn) and 0x85, an ellipsis in the code page.
    term->SetCursorType(ctNone);
    feed("iiiiiiiiii\r\ni\x81i\x85i");
    const QImage img = render();
    for (int col = 1; col <= 10; ++col)
        EXPECT_GT(brightest(img, 1, col), 100) << "column " << col;
    EXPECT_EQ(brightest(img, 1, 11), 0);
    for (int col : {1, 3, 4, 5})
        EXPECT_GT(brightest(img, 2, col), 100) << "row 2 column " << col;
    EXPECT_EQ(brightest(img, 2, 2), 0) << "an unassigned byte shows nothing";
    EXPECT_EQ(brightest(img, 2, 6), 0);
}

TEST_F(TerminalView, OnlyChangedCellsAreRedrawnAfterData) {
    feed("first");
    QImage before = render();
    // A cell changed behind the emulator's back is not redrawn by the next block's repaint...
    term->SetBackColor(3, 10, kRed);
    feed("!");
    QImage after = render();
    EXPECT_EQ(cellPixel(after, 3, 10), QColor(0, 0, 0));
    EXPECT_NE(brightest(after, 1, 6), brightest(before, 1, 6)) << "the new character is";
    // ...until the whole view is repainted.
    term->RepaintAll();
    EXPECT_EQ(cellPixel(render(), 3, 10), QColor(255, 0, 0));
}

TEST_F(TerminalView, LazyDisplayWaitsForTheTimer) {
    term->SetCursorType(ctNone); // the caret moves only with a paint; keep it out of the cell
    term->SetUseLazyDisplay(true);
    term->SetLazyTimeDelay(100);
    feed("Z");
    EXPECT_EQ(brightest(render(), 1, 1), 0) << "nothing painted before a tick";
    runFor(350);
    EXPECT_GT(brightest(render(), 1, 1), 100) << "painted by the 100 ms timer";
}

// ---- clearing ------------------------------------------------------------------------------------

TEST_F(TerminalView, ClearMovesScreenToScrollbackClearAllEmptiesIt) {
    feed("one\r\ntwo\r\nthree");
    term->clear();
    settle();
    for (int r = 1; r <= 3; ++r)
        EXPECT_EQ(term->Line(r), pad("")) << r;
    EXPECT_EQ(term->Line(-23), pad("one"));
    EXPECT_EQ(term->Line(-21), pad("three"));
    EXPECT_EQ(term->Buffer()->Row(), 3);
    EXPECT_EQ(term->Buffer()->Col(), 6);

    term->ClearAll();
    settle();
    EXPECT_EQ(term->Line(-23), pad(""));
    EXPECT_EQ(term->Line(-21), pad(""));
    EXPECT_EQ(term->Buffer()->Row(), 1);
    EXPECT_EQ(term->Buffer()->Col(), 1);
}

// ---- capture -------------------------------------------------------------------------------------

std::string readFile(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_F(TerminalView, CaptureOnTruncatesAppendContinues) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("brimwell-widget-cap-" + std::to_string(::getpid())))
            .string();
    std::ofstream(path) << "older;";
    term->SetCaptureFile(path);
    term->SetCapture(cmAppend);
    EXPECT_EQ(term->Capture(), cmOn);
    feed("abc\r\n");
    term->SetCapture(cmAppend); // while on: nothing changes
    feed("def");
    EXPECT_EQ(readFile(path), "older;abc\r\ndef");

    term->SetCapture(cmOff);
    feed("not captured");
    term->SetCapture(cmOn);
    feed("new");
    EXPECT_EQ(readFile(path), "new") << "on starts an empty file";

    // Local echo of typed keys is not captured.
    term->SetHalfDuplex(true);
    typeKey(Qt::Key_Q, QStringLiteral("q"));
    EXPECT_EQ(readFile(path), "new");
    term->SetCapture(cmOff);
    std::filesystem::remove(path);
}

// ---- selection and clipboard ---------------------------------------------------------------------

TEST_F(TerminalView, DragSelectsAndCopiesRowsWithCrLf) {
    feed("hello world\r\nsecond line");
    sendMouse(QEvent::MouseButtonPress, 1, 7);
    sendMouse(QEvent::MouseMove, 2, 6);
    EXPECT_TRUE(term->SelectionMade());
    EXPECT_TRUE(term->Attributes(1, 7) & tcaSelected);
    EXPECT_TRUE(term->Attributes(1, 80) & tcaSelected);
    EXPECT_TRUE(term->Attributes(2, 6) & tcaSelected);
    EXPECT_FALSE(term->Attributes(1, 6) & tcaSelected);
    EXPECT_FALSE(term->Attributes(2, 7) & tcaSelected);
    sendMouse(QEvent::MouseButtonRelease, 2, 6);
    EXPECT_FALSE(term->Selecting());
    const std::string expect = pad("world", 74) + "\r\n" + "second\r\n";
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expect);
    EXPECT_TRUE(term->Attributes(1, 7) & tcaSelected) << "the selection stays marked";

    // Dragging back above the anchor selects in reading order, unmarking what was left.
    sendMouse(QEvent::MouseButtonPress, 2, 3);
    EXPECT_FALSE(term->Attributes(1, 7) & tcaSelected) << "a new press drops the old selection";
    sendMouse(QEvent::MouseMove, 1, 9);
    sendMouse(QEvent::MouseButtonRelease, 1, 9);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), pad("rld", 72) + "\r\nsec\r\n");
}

TEST_F(TerminalView, ClickWithoutDragCopiesOneCharacter) {
    feed("xyz");
    sendMouse(QEvent::MouseButtonPress, 1, 2);
    sendMouse(QEvent::MouseButtonRelease, 1, 2);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "y\r\n");
    EXPECT_FALSE(term->Attributes(1, 2) & tcaSelected);
}

TEST_F(TerminalView, EscapeWhileSelectingDropsTheSelection) {
    feed("selectable");
    sendMouse(QEvent::MouseButtonPress, 1, 1);
    sendMouse(QEvent::MouseMove, 1, 5);
    ASSERT_TRUE(term->Attributes(1, 3) & tcaSelected);
    term->SetHalfDuplex(true);
    typeKey(Qt::Key_Escape, QStringLiteral("\x1b"));
    EXPECT_FALSE(term->Selecting());
    EXPECT_FALSE(term->SelectionMade());
    EXPECT_FALSE(term->Attributes(1, 3) & tcaSelected);
    EXPECT_EQ(term->Line(1), pad("selectable")) << "the escape was consumed, not echoed";
}

TEST_F(TerminalView, LosingFocusWhileDraggingCancelsTheSelection) {
    feed("dragged text");
    term->activateWindow();
    term->setFocus();
    settle();
    if (!term->hasFocus()) GTEST_SKIP() << "the offscreen platform gave no focus";
    sendMouse(QEvent::MouseButtonPress, 1, 1);
    sendMouse(QEvent::MouseMove, 1, 7);
    ASSERT_TRUE(term->Attributes(1, 4) & tcaSelected);
    QWidget other;
    other.setFocusPolicy(Qt::StrongFocus);
    other.show();
    other.activateWindow();
    other.setFocus();
    settle();
    ASSERT_FALSE(term->hasFocus());
    EXPECT_FALSE(term->Selecting());
    EXPECT_FALSE(term->Attributes(1, 4) & tcaSelected);
}

TEST_F(TerminalView, PasteModes) {
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    term->PasteFromClipboard();
    settle();
    EXPECT_EQ(term->Line(1), pad("")) << "by default paste does nothing";
    term->SetPasteToScreen(true);
    term->PasteFromClipboard();
    settle();
    EXPECT_EQ(term->Line(1), pad("pasted"));
}

// ---- keyboard ------------------------------------------------------------------------------------

TEST_F(TerminalView, HalfDuplexEchoesTypedKeysBackspaceAsDel) {
    term->SetHalfDuplex(true);
    typeKey(Qt::Key_A, QStringLiteral("a"));
    typeKey(Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(term->Line(1).substr(0, 3), std::string("a\x7f "));
}

TEST_F(TerminalView, KeyPressHandlerMayChangeOrSwallow) {
    term->SetHalfDuplex(true);
    term->OnKeyPress = [](char& c) {
        if (c == 'x') c = 0;
        if (c == 'y') c = 'Y';
    };
    typeKey(Qt::Key_X, QStringLiteral("x"));
    typeKey(Qt::Key_Y, QStringLiteral("y"));
    EXPECT_EQ(term->Line(1).substr(0, 2), "Y ");
}

TEST_F(TerminalView, TabStaysWithTheTerminalOnlyWithWantAllKeys) {
    QWidget form;
    auto* layout = new QVBoxLayout(&form);
    auto* t = new TQuavTerminal(&form);
    auto* button = new QPushButton(QStringLiteral("next"), &form);
    layout->addWidget(t);
    layout->addWidget(button);
    form.show();
    t->setFocus();
    t->SetHalfDuplex(true);
    auto tab = [&] {
        QKeyEvent ev(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, QStringLiteral("\t"));
        QCoreApplication::sendEvent(t, &ev);
        settle();
    };
    tab();
    EXPECT_EQ(t->Buffer()->Col(), 9) << "WantAllKeys: Tab goes to the emulator";
    t->SetWantAllKeys(false);
    tab();
    EXPECT_EQ(t->Buffer()->Col(), 9) << "without it Tab is dialog navigation";
}

// ---- view origin, scroll bars, follow cursor -----------------------------------------------------

TEST_F(TerminalView, NarrowWindowScrollsSidewaysWithTheCursor) {
    fitColumns(40, 24, 3);
    settle();
    ASSERT_TRUE(term->HorzTooSmall());
    EXPECT_EQ(term->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_LE(term->FullCols(), 40);
    feed(std::string(60, 'x'));
    const int cursor = term->Buffer()->Col();
    EXPECT_EQ(cursor, 61);
    EXPECT_GT(term->OriginCol(), 1);
    EXPECT_EQ(term->OriginCol(), cursor - term->FullCols())
        << "the cursor may sit in the partly visible column";
    EXPECT_EQ(term->horizontalScrollBar()->value(), term->OriginCol() - 1);
    feed("\r");
    EXPECT_EQ(term->OriginCol(), 1);
}

TEST_F(TerminalView, ScrollbackBarReachesOldRowsAndClamps) {
    for (int i = 0; i < 40; ++i)
        feed("line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    term->SetScrollback(true);
    settle();
    EXPECT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    term->SetOriginRow(-10);
    EXPECT_EQ(term->OriginRow(), -10);
    EXPECT_EQ(term->verticalScrollBar()->value(), -11);
    term->SetOriginRow(-1000);
    EXPECT_EQ(term->OriginRow(), 24 - 200 + 1);
    term->SetOriginRow(-10);
    // Row -10 holds the line that scrolled out 11 lines before the top of the screen.
    const std::string shown = term->Line(-10);
    ASSERT_EQ(shown.substr(0, 5), "line ");
    QImage img = render();
    EXPECT_GT(brightest(img, -10, 1), 100) << "the scrollback row is drawn at the top";
}

TEST_F(TerminalView, ScrollBarActionsMoveTheOrigin) {
    term->SetScrollback(true);
    settle();
    QScrollBar* vb = term->verticalScrollBar();
    vb->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(term->OriginRow(), 0);
    const int page = term->FullRows();
    vb->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(term->OriginRow(), 0 - page);
    vb->triggerAction(QAbstractSlider::SliderPageStepAdd);
    vb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(term->OriginRow(), 1);
}

TEST_F(TerminalView, WheelScrollsOnlyThroughAShownBar) {
    for (int i = 0; i < 30; ++i)
        feed("row " + std::to_string(i) + "\r\n");
    auto wheelUp = [&] {
        const QPointF at(10, 10);
        QWheelEvent ev(at, term->viewport()->mapToGlobal(at), QPoint(), QPoint(0, 120), Qt::NoButton,
                       Qt::NoModifier, Qt::NoScrollPhase, false);
        QCoreApplication::sendEvent(term->viewport(), &ev);
        settle();
    };
    term->SetScrollback(true);
    settle();
    wheelUp();
    EXPECT_LT(term->OriginRow(), 1) << "the shown bar scrolls back";
    term->SetOriginRow(1);
    term->SetScrollback(false);
    settle();
    ASSERT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    wheelUp();
    EXPECT_EQ(term->OriginRow(), 1) << "a hidden bar does not scroll";
}

TEST_F(TerminalView, CursorEventsReachOnCursorMoved) {
    int lastRow = 0, lastCol = 0, calls = 0;
    term->OnCursorMoved = [&](TQuavTerminalBuffer* sender, int r, int c) {
        EXPECT_EQ(sender, term->Buffer());
        lastRow = r;
        lastCol = c;
        ++calls;
    };
    feed("ab\r\nc");
    EXPECT_GT(calls, 0);
    EXPECT_EQ(lastRow, 2);
    EXPECT_EQ(lastCol, 2);
}

TEST_F(TerminalView, CaretFollowsTheCursorWhileFocused) {
    term->activateWindow();
    term->setFocus();
    settle();
    if (!term->hasFocus()) GTEST_SKIP() << "the offscreen platform gave no focus";
    feed("abc");
    const QRect r = term->CaretRect();
    EXPECT_EQ(r, QRect(3 * term->CharWidth(), 0, term->CharWidth(), term->CharHeight()));
    term->SetCursorType(ctUnderline);
    EXPECT_EQ(term->CaretRect(), QRect(3 * term->CharWidth(), term->CharHeight() - 2, term->CharWidth(), 2));
    term->SetCursorType(ctNone);
    EXPECT_TRUE(term->CaretRect().isEmpty());
}

// ---- emulator assignment and cell accessors ------------------------------------------------------

TEST_F(TerminalView, AssignedEmulatorTakesOverWithTheSameDimensions) {
    term->SetRows(16);
    TQuavTerminalBuffer* internal = term->Buffer();
    {
        TQuavTTYEmulator other;
        term->SetEmulator(&other);
        EXPECT_EQ(term->Emulator(), &other);
        EXPECT_EQ(term->Buffer(), other.Buffer());
        EXPECT_EQ(other.Buffer()->RowCount(), 16);
        EXPECT_EQ(other.Buffer()->ColCount(), 80);
        feed("via other");
        EXPECT_EQ(other.Buffer()->GetLineCharPtr(1)[0], 'v');
        term->SetEmulator(nullptr);
        EXPECT_EQ(term->Buffer(), internal);
        term->SetEmulator(&other);
    } // destroying an assigned emulator hands the terminal back to its own
    EXPECT_EQ(term->Emulator(), nullptr);
    EXPECT_EQ(term->Buffer(), internal);
    feed("own again");
    EXPECT_EQ(term->Line(1), pad("own again"));
}

TEST_F(TerminalView, CellAccessorsReadAndWriteTheBuffer) {
    term->setLine(2, "set directly");
    EXPECT_EQ(term->Line(2), pad("set directly"));
    term->setLine(3, std::string(100, 'w'));
    EXPECT_EQ(term->Line(3), std::string(80, 'w')) << "truncated to Columns";
    EXPECT_EQ(term->ForeColor(1, 1), 0xC0C0C0u);
    EXPECT_EQ(term->BackColor(1, 1), 0u);
    term->SetForeColor(1, 1, kRed);
    EXPECT_EQ(term->ForeColor(1, 1), kRed);
    EXPECT_EQ(term->ForeColor(1, 81), 0xFFFFFFu) << "outside the row: the no-buffer answer";
    EXPECT_EQ(term->Line(500), "") << "outside the buffer";
}

} // namespace
} // namespace brimwell
