// The terminal widget without a port: bytes written through its intake, property rules, rendering
// (cell colours at their pixels), clearing, capture modes, selection and copy, lazy display, view
// origin and scroll bars, emulator assignment. Real widgets, offscreen.
#include "terminal/widget/terminal_widget.h"
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

using testing::pumpFor;
using testing::pumpUntil;

constexpr terminal::Color kBlue = 0xFF0000; // 0x00BBGGRR
constexpr terminal::Color kRed = 0x0000FF;

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
        term->writeString(bytes);
        settle();
    }
    QImage render() { return term->viewport()->grab().toImage(); }
    QColor cellPixel(const QImage& img, int row, int col, int dx = -1, int dy = -1) {
        const int cw = term->charWidth(), ch = term->charHeight();
        const int x = (col - term->originCol()) * cw + (dx < 0 ? cw / 2 : dx);
        const int y = (row - term->originRow()) * ch + (dy < 0 ? ch / 2 : dy);
        return img.pixelColor(x, y);
    }
    // The brightest channel value inside one cell: shows whether a glyph is drawn and how bright.
    int brightest(const QImage& img, int row, int col) {
        const int cw = term->charWidth(), ch = term->charHeight();
        int best = 0;
        for (int y = 0; y < ch; ++y)
            for (int x = 0; x < cw; ++x) {
                const QColor c =
                    img.pixelColor((col - term->originCol()) * cw + x, (row - term->originRow()) * ch + y);
                best = std::max({best, c.red(), c.green(), c.blue()});
            }
        return best;
    }
    void sendMouse(QEvent::Type type, int row, int col, Qt::MouseButton button = Qt::LeftButton) {
        const QPoint p((col - term->originCol()) * term->charWidth() + 2,
                       (row - term->originRow()) * term->charHeight() + 2);
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

    std::unique_ptr<terminal::TerminalWidget> term;
};

// ---- property setter rules -----------------------------------------------------------------------

struct SetterCase {
    const char* name;
    std::function<void(terminal::TerminalWidget&)> apply;
    std::function<int(const terminal::TerminalWidget&)> read;
    int expect;
};

class TerminalSetters : public TerminalView, public ::testing::WithParamInterface<SetterCase> {};

TEST_P(TerminalSetters, StoreOrIgnore) {
    const SetterCase& c = GetParam();
    c.apply(*term);
    EXPECT_EQ(c.read(*term), c.expect);
}

const auto blink = [](const terminal::TerminalWidget& t) { return t.blinkTime(); };
const auto byteDelay = [](const terminal::TerminalWidget& t) { return t.lazyByteDelay(); };
const auto timeDelay = [](const terminal::TerminalWidget& t) { return t.lazyTimeDelay(); };
const auto rows = [](const terminal::TerminalWidget& t) { return t.rows(); };
const auto cols = [](const terminal::TerminalWidget& t) { return t.columns(); };
const auto svRows = [](const terminal::TerminalWidget& t) { return t.scrollbackRows(); };

INSTANTIATE_TEST_SUITE_P(
    Rules, TerminalSetters,
    ::testing::Values(
        SetterCase{"blink_100_raised_to_250", [](terminal::TerminalWidget& t) { t.setBlinkTime(100); }, blink,
                   250},
        SetterCase{"blink_negative_is_off", [](terminal::TerminalWidget& t) { t.setBlinkTime(-5); }, blink,
                   0},
        SetterCase{"blink_600_kept", [](terminal::TerminalWidget& t) { t.setBlinkTime(600); }, blink, 600},
        SetterCase{"byte_delay_0_ignored", [](terminal::TerminalWidget& t) { t.setLazyByteDelay(0); },
                   byteDelay, 200},
        SetterCase{"byte_delay_2000_ignored", [](terminal::TerminalWidget& t) { t.setLazyByteDelay(2000); },
                   byteDelay, 200},
        SetterCase{"byte_delay_1024_kept", [](terminal::TerminalWidget& t) { t.setLazyByteDelay(1024); },
                   byteDelay, 1024},
        SetterCase{"time_delay_1001_ignored", [](terminal::TerminalWidget& t) { t.setLazyTimeDelay(1001); },
                   timeDelay, 100},
        SetterCase{"time_delay_1_kept", [](terminal::TerminalWidget& t) { t.setLazyTimeDelay(1); }, timeDelay,
                   1},
        SetterCase{"rows_300_over_scrollback_ignored", [](terminal::TerminalWidget& t) { t.setRows(300); },
                   rows, 24},
        SetterCase{"rows_16_kept", [](terminal::TerminalWidget& t) { t.setRows(16); }, rows, 16},
        SetterCase{"rows_0_ignored", [](terminal::TerminalWidget& t) { t.setRows(0); }, rows, 24},
        SetterCase{"columns_0_ignored", [](terminal::TerminalWidget& t) { t.setColumns(0); }, cols, 80},
        SetterCase{"columns_100_kept", [](terminal::TerminalWidget& t) { t.setColumns(100); }, cols, 100},
        SetterCase{"scrollback_negative_ignored",
                   [](terminal::TerminalWidget& t) { t.setScrollbackRows(-1); }, svRows, 200},
        SetterCase{"scrollback_500_kept", [](terminal::TerminalWidget& t) { t.setScrollbackRows(500); },
                   svRows, 500}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TerminalView, DimensionsTooSmallRaiseAndKeepSize) {
    EXPECT_THROW(term->setRows(1), terminal::TerminalBufferError);
    EXPECT_EQ(term->rows(), 24);
    try {
        term->setColumns(1);
        FAIL() << "one column must be refused";
    } catch (const terminal::TerminalBufferError& e) {
        EXPECT_NE(std::string(e.what()).find("new count too small"), std::string::npos) << e.what();
    }
    EXPECT_EQ(term->columns(), 80);
}

TEST_F(TerminalView, ColumnsChangeResetsViewOrigin) {
    term->setScrollback(true);
    settle();
    term->setOriginRow(-5);
    ASSERT_EQ(term->originRow(), -5);
    term->setColumns(90);
    EXPECT_EQ(term->originRow(), 1);
    EXPECT_EQ(term->originCol(), 1);
}

TEST_F(TerminalView, MouseSelectOffDropsSelection) {
    feed("abcdef");
    sendMouse(QEvent::MouseButtonPress, 1, 2);
    sendMouse(QEvent::MouseMove, 1, 4);
    ASSERT_TRUE(term->attributes(1, 3) & terminal::kAttrSelected);
    term->setMouseSelect(false);
    EXPECT_FALSE(term->attributes(1, 3) & terminal::kAttrSelected);
    EXPECT_FALSE(term->selectionMade());
}

// ---- text and rendering --------------------------------------------------------------------------

TEST_F(TerminalView, WrittenBytesReachTheBuffer) {
    feed("AB\r\nC");
    EXPECT_EQ(term->line(1), pad("AB"));
    EXPECT_EQ(term->line(2), pad("C"));
    EXPECT_EQ(term->buffer()->cursorRow(), 2);
    EXPECT_EQ(term->buffer()->cursorCol(), 2);
    feed("\x1b[2J");
    EXPECT_EQ(term->line(2), pad("C[2J")) << "the teletype ignores ESC and shows the rest";
}

TEST_F(TerminalView, RenderHasCellColoursAtTheirPixels) {
    feed("X  Y");
    QImage img = render();
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 0)) << "blank cell on the default black";
    EXPECT_GT(brightest(img, 1, 1), 100) << "the X is drawn";
    EXPECT_LE(brightest(img, 1, 1), 0xC0) << "plain text is silver at most";
    EXPECT_LE(brightest(img, 1, 2), 8) << "nothing drawn in a blank cell but the edge of the X beside it";

    term->setColor(kBlue);
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 255)) << "default background follows Color";
    EXPECT_EQ(cellPixel(img, 24, 80), QColor(0, 0, 255));
    EXPECT_EQ(img.pixelColor(img.width() - 1, 5), QColor(0, 0, 255)) << "right gap in Color";
    EXPECT_EQ(img.pixelColor(5, img.height() - 1), QColor(0, 0, 255)) << "bottom gap in Color";

    term->setBackColor(1, 3, kRed);
    term->repaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(255, 0, 0));
    EXPECT_EQ(cellPixel(img, 1, 2), QColor(0, 0, 255)) << "neighbour unchanged";

    term->setAttributes(1, 3, terminal::kAttrReverse);
    term->repaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(0xC0, 0xC0, 0xC0)) << "reverse fills with the foreground";

    term->setAttributes(1, 3, terminal::kAttrReverse | terminal::kAttrSelected);
    term->repaintAll();
    img = render();
    EXPECT_EQ(cellPixel(img, 1, 3), QColor(255, 0, 0)) << "reverse and selected cancel out";

    term->setAttributes(1, 1, terminal::kAttrBold);
    term->repaintAll();
    img = render();
    EXPECT_EQ(brightest(img, 1, 1), 255) << "bold silver is drawn white";
}

TEST_F(TerminalView, GlyphsStayInsideTheirRun) {
    feed("XW");
    term->setBackColor(1, 2, kRed);
    term->setLine(1, "X ");
    term->repaintAll();
    const QImage img = render();
    const int cw = term->charWidth(), ch = term->charHeight();
    int off = 0;
    for (int y = 0; y < ch; ++y)
        for (int x = 0; x < cw; ++x)
            if (img.pixelColor(cw + x, y) != QColor(255, 0, 0)) ++off;
    EXPECT_EQ(off, 0) << "pixels of the red cell touched by the X beside it";
}

TEST_F(TerminalView, EachGlyphLandsInItsOwnCell) {
    // Narrow glyphs would bunch up under the font's own advance; each must sit in its cell. The
    // second row holds an unassigned byte (nothing drawn) and 0x85, an ellipsis in the code page.
    term->setCursorType(terminal::CursorType::None);
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
    term->setBackColor(3, 10, kRed);
    feed("!");
    QImage after = render();
    EXPECT_EQ(cellPixel(after, 3, 10), QColor(0, 0, 0));
    EXPECT_NE(brightest(after, 1, 6), brightest(before, 1, 6)) << "the new character is";
    // ...until the whole view is repainted.
    term->repaintAll();
    EXPECT_EQ(cellPixel(render(), 3, 10), QColor(255, 0, 0));
}

TEST_F(TerminalView, LazyDisplayWaitsForTheTimer) {
    term->setCursorType(
        terminal::CursorType::None); // the caret moves only with a paint; keep it out of the cell
    term->setUseLazyDisplay(true);
    term->setLazyTimeDelay(100);
    feed("Z");
    EXPECT_EQ(brightest(render(), 1, 1), 0) << "nothing painted before a tick";
    pumpFor(350);
    EXPECT_GT(brightest(render(), 1, 1), 100) << "painted by the 100 ms timer";
}

// ---- clearing ------------------------------------------------------------------------------------

TEST_F(TerminalView, ClearMovesScreenToScrollbackClearAllEmptiesIt) {
    feed("one\r\ntwo\r\nthree");
    term->clear();
    settle();
    for (int r = 1; r <= 3; ++r)
        EXPECT_EQ(term->line(r), pad("")) << r;
    EXPECT_EQ(term->line(-23), pad("one"));
    EXPECT_EQ(term->line(-21), pad("three"));
    EXPECT_EQ(term->buffer()->cursorRow(), 3);
    EXPECT_EQ(term->buffer()->cursorCol(), 6);

    term->clearAll();
    settle();
    EXPECT_EQ(term->line(-23), pad(""));
    EXPECT_EQ(term->line(-21), pad(""));
    EXPECT_EQ(term->buffer()->cursorRow(), 1);
    EXPECT_EQ(term->buffer()->cursorCol(), 1);
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
    term->setCaptureFile(path);
    term->setCapture(terminal::CaptureMode::Append);
    EXPECT_EQ(term->capture(), terminal::CaptureMode::On);
    feed("abc\r\n");
    term->setCapture(terminal::CaptureMode::Append); // while on: nothing changes
    feed("def");
    EXPECT_EQ(readFile(path), "older;abc\r\ndef");

    term->setCapture(terminal::CaptureMode::Off);
    feed("not captured");
    term->setCapture(terminal::CaptureMode::On);
    feed("new");
    EXPECT_EQ(readFile(path), "new") << "on starts an empty file";

    // Local echo of typed keys is not captured.
    term->setHalfDuplex(true);
    typeKey(Qt::Key_Q, QStringLiteral("q"));
    EXPECT_EQ(readFile(path), "new");
    term->setCapture(terminal::CaptureMode::Off);
    std::filesystem::remove(path);
}

// ---- selection and clipboard ---------------------------------------------------------------------

TEST_F(TerminalView, DragSelectsAndCopiesRowsWithCrLf) {
    feed("hello world\r\nsecond line");
    sendMouse(QEvent::MouseButtonPress, 1, 7);
    sendMouse(QEvent::MouseMove, 2, 6);
    EXPECT_TRUE(term->selectionMade());
    EXPECT_TRUE(term->attributes(1, 7) & terminal::kAttrSelected);
    EXPECT_TRUE(term->attributes(1, 80) & terminal::kAttrSelected);
    EXPECT_TRUE(term->attributes(2, 6) & terminal::kAttrSelected);
    EXPECT_FALSE(term->attributes(1, 6) & terminal::kAttrSelected);
    EXPECT_FALSE(term->attributes(2, 7) & terminal::kAttrSelected);
    sendMouse(QEvent::MouseButtonRelease, 2, 6);
    EXPECT_FALSE(term->selecting());
    const std::string expect = pad("world", 74) + "\r\n" + "second\r\n";
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), expect);
    EXPECT_TRUE(term->attributes(1, 7) & terminal::kAttrSelected) << "the selection stays marked";

    // Dragging back above the anchor selects in reading order, unmarking what was left.
    sendMouse(QEvent::MouseButtonPress, 2, 3);
    EXPECT_FALSE(term->attributes(1, 7) & terminal::kAttrSelected) << "a new press drops the old selection";
    sendMouse(QEvent::MouseMove, 1, 9);
    sendMouse(QEvent::MouseButtonRelease, 1, 9);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), pad("rld", 72) + "\r\nsec\r\n");
}

TEST_F(TerminalView, ClickWithoutDragCopiesOneCharacter) {
    feed("xyz");
    sendMouse(QEvent::MouseButtonPress, 1, 2);
    sendMouse(QEvent::MouseButtonRelease, 1, 2);
    EXPECT_EQ(QGuiApplication::clipboard()->text().toStdString(), "y\r\n");
    EXPECT_FALSE(term->attributes(1, 2) & terminal::kAttrSelected);
}

TEST_F(TerminalView, EscapeWhileSelectingDropsTheSelection) {
    feed("selectable");
    sendMouse(QEvent::MouseButtonPress, 1, 1);
    sendMouse(QEvent::MouseMove, 1, 5);
    ASSERT_TRUE(term->attributes(1, 3) & terminal::kAttrSelected);
    term->setHalfDuplex(true);
    typeKey(Qt::Key_Escape, QStringLiteral("\x1b"));
    EXPECT_FALSE(term->selecting());
    EXPECT_FALSE(term->selectionMade());
    EXPECT_FALSE(term->attributes(1, 3) & terminal::kAttrSelected);
    EXPECT_EQ(term->line(1), pad("selectable")) << "the escape was consumed, not echoed";
}

TEST_F(TerminalView, LosingFocusWhileDraggingCancelsTheSelection) {
    feed("dragged text");
    term->activateWindow();
    term->setFocus();
    settle();
    if (!term->hasFocus()) GTEST_SKIP() << "the offscreen platform gave no focus";
    sendMouse(QEvent::MouseButtonPress, 1, 1);
    sendMouse(QEvent::MouseMove, 1, 7);
    ASSERT_TRUE(term->attributes(1, 4) & terminal::kAttrSelected);
    QWidget other;
    other.setFocusPolicy(Qt::StrongFocus);
    other.show();
    other.activateWindow();
    other.setFocus();
    settle();
    ASSERT_FALSE(term->hasFocus());
    EXPECT_FALSE(term->selecting());
    EXPECT_FALSE(term->attributes(1, 4) & terminal::kAttrSelected);
}

TEST_F(TerminalView, PasteModes) {
    QGuiApplication::clipboard()->setText(QStringLiteral("pasted"));
    term->pasteFromClipboard();
    settle();
    EXPECT_EQ(term->line(1), pad("")) << "by default paste does nothing";
    term->setPasteToScreen(true);
    term->pasteFromClipboard();
    settle();
    EXPECT_EQ(term->line(1), pad("pasted"));
}

// ---- keyboard ------------------------------------------------------------------------------------

TEST_F(TerminalView, HalfDuplexEchoesTypedKeysBackspaceAsDel) {
    term->setHalfDuplex(true);
    typeKey(Qt::Key_A, QStringLiteral("a"));
    typeKey(Qt::Key_Backspace, QStringLiteral("\b"));
    EXPECT_EQ(term->line(1).substr(0, 3), std::string("a\x7f "));
}

TEST_F(TerminalView, KeyPressHandlerMayChangeOrSwallow) {
    term->setHalfDuplex(true);
    term->onKeyPress = [](char& c) {
        if (c == 'x') c = 0;
        if (c == 'y') c = 'Y';
    };
    typeKey(Qt::Key_X, QStringLiteral("x"));
    typeKey(Qt::Key_Y, QStringLiteral("y"));
    EXPECT_EQ(term->line(1).substr(0, 2), "Y ");
}

TEST_F(TerminalView, TabStaysWithTheTerminalOnlyWithWantAllKeys) {
    QWidget form;
    auto* layout = new QVBoxLayout(&form);
    auto* t = new terminal::TerminalWidget(&form);
    auto* button = new QPushButton(QStringLiteral("next"), &form);
    layout->addWidget(t);
    layout->addWidget(button);
    form.show();
    t->setFocus();
    t->setHalfDuplex(true);
    auto tab = [&] {
        QKeyEvent ev(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier, QStringLiteral("\t"));
        QCoreApplication::sendEvent(t, &ev);
        settle();
    };
    tab();
    EXPECT_EQ(t->buffer()->cursorCol(), 9) << "WantAllKeys: Tab goes to the emulator";
    t->setWantAllKeys(false);
    tab();
    EXPECT_EQ(t->buffer()->cursorCol(), 9) << "without it Tab is dialog navigation";
}

// ---- view origin, scroll bars, follow cursor -----------------------------------------------------

TEST_F(TerminalView, NarrowWindowScrollsSidewaysWithTheCursor) {
    fitColumns(40, 24, 3);
    settle();
    ASSERT_TRUE(term->horzTooSmall());
    EXPECT_EQ(term->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_LE(term->fullCols(), 40);
    feed(std::string(60, 'x'));
    const int cursor = term->buffer()->cursorCol();
    EXPECT_EQ(cursor, 61);
    EXPECT_GT(term->originCol(), 1);
    EXPECT_EQ(term->originCol(), cursor - term->fullCols())
        << "the cursor may sit in the partly visible column";
    EXPECT_EQ(term->horizontalScrollBar()->value(), term->originCol() - 1);
    feed("\r");
    EXPECT_EQ(term->originCol(), 1);
}

TEST_F(TerminalView, ScrollbackBarReachesOldRowsAndClamps) {
    for (int i = 0; i < 40; ++i)
        feed("line " + std::to_string(i) + "\r\n");
    EXPECT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    term->setScrollback(true);
    settle();
    EXPECT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    term->setOriginRow(-10);
    EXPECT_EQ(term->originRow(), -10);
    EXPECT_EQ(term->verticalScrollBar()->value(), -11);
    term->setOriginRow(-1000);
    EXPECT_EQ(term->originRow(), 24 - 200 + 1);
    term->setOriginRow(-10);
    // Row -10 holds the line that scrolled out 11 lines before the top of the screen.
    const std::string shown = term->line(-10);
    ASSERT_EQ(shown.substr(0, 5), "line ");
    QImage img = render();
    EXPECT_GT(brightest(img, -10, 1), 100) << "the scrollback row is drawn at the top";
}

TEST_F(TerminalView, ScrollBarActionsMoveTheOrigin) {
    term->setScrollback(true);
    settle();
    QScrollBar* vb = term->verticalScrollBar();
    vb->triggerAction(QAbstractSlider::SliderSingleStepSub);
    EXPECT_EQ(term->originRow(), 0);
    const int page = term->fullRows();
    vb->triggerAction(QAbstractSlider::SliderPageStepSub);
    EXPECT_EQ(term->originRow(), 0 - page);
    vb->triggerAction(QAbstractSlider::SliderPageStepAdd);
    vb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    EXPECT_EQ(term->originRow(), 1);
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
    term->setScrollback(true);
    settle();
    wheelUp();
    EXPECT_LT(term->originRow(), 1) << "the shown bar scrolls back";
    term->setOriginRow(1);
    term->setScrollback(false);
    settle();
    ASSERT_EQ(term->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    wheelUp();
    EXPECT_EQ(term->originRow(), 1) << "a hidden bar does not scroll";
}

TEST_F(TerminalView, CursorEventsReachOnCursorMoved) {
    int lastRow = 0, lastCol = 0, calls = 0;
    term->onCursorMoved = [&](terminal::TerminalBuffer* sender, int r, int c) {
        EXPECT_EQ(sender, term->buffer());
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
    const QRect r = term->caretRect();
    EXPECT_EQ(r, QRect(3 * term->charWidth(), 0, term->charWidth(), term->charHeight()));
    term->setCursorType(terminal::CursorType::Underline);
    EXPECT_EQ(term->caretRect(), QRect(3 * term->charWidth(), term->charHeight() - 2, term->charWidth(), 2));
    term->setCursorType(terminal::CursorType::None);
    EXPECT_TRUE(term->caretRect().isEmpty());
}

// ---- emulator assignment and cell accessors ------------------------------------------------------

TEST_F(TerminalView, AssignedEmulatorTakesOverWithTheSameDimensions) {
    term->setRows(16);
    terminal::TerminalBuffer* internal = term->buffer();
    {
        terminal::TtyEmulator other;
        term->setEmulator(&other);
        EXPECT_EQ(term->emulator(), &other);
        EXPECT_EQ(term->buffer(), other.buffer());
        EXPECT_EQ(other.buffer()->rowCount(), 16);
        EXPECT_EQ(other.buffer()->colCount(), 80);
        feed("via other");
        EXPECT_EQ(other.buffer()->getLineCharPtr(1)[0], 'v');
        term->setEmulator(nullptr);
        EXPECT_EQ(term->buffer(), internal);
        term->setEmulator(&other);
    } // destroying an assigned emulator hands the terminal back to its own
    EXPECT_EQ(term->emulator(), nullptr);
    EXPECT_EQ(term->buffer(), internal);
    feed("own again");
    EXPECT_EQ(term->line(1), pad("own again"));
}

TEST_F(TerminalView, CellAccessorsReadAndWriteTheBuffer) {
    term->setLine(2, "set directly");
    EXPECT_EQ(term->line(2), pad("set directly"));
    term->setLine(3, std::string(100, 'w'));
    EXPECT_EQ(term->line(3), std::string(80, 'w')) << "truncated to Columns";
    EXPECT_EQ(term->foreColor(1, 1), 0xC0C0C0u);
    EXPECT_EQ(term->backColor(1, 1), 0u);
    term->setForeColor(1, 1, kRed);
    EXPECT_EQ(term->foreColor(1, 1), kRed);
    EXPECT_EQ(term->foreColor(1, 81), 0xFFFFFFu) << "outside the row: the no-buffer answer";
    EXPECT_EQ(term->line(500), "") << "outside the buffer";
}

} // namespace
} // namespace brimwell
