// A terminal made of plain fields and a canvas that records what is drawn, so that emulators are
// tested without a window.
#pragma once

#include "terminal/terminal_emulator.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace brimwell::test {

struct DrawnText {
    terminal::TermRect cell;
    std::string text;
    int advance;
    terminal::Color fore;
    terminal::Color back;
};

struct DrawnLine {
    int x1, y1, x2, y2;
    terminal::Color color;
};

class RecordingCanvas : public terminal::TerminalCanvas {
  public:
    terminal::TermRect clip{0, 0, 800, 400};
    std::vector<DrawnText> texts;
    std::vector<DrawnLine> lines;
    std::vector<std::pair<terminal::TermRect, terminal::Color>> fills;

    terminal::TermRect clipRect() const override { return clip; }
    void fillRect(const terminal::TermRect& rect, terminal::Color color) override {
        fills.emplace_back(rect, color);
    }
    void textRun(const terminal::TermRect& cell, const char* text, int count, int advance,
                 terminal::Color fore, terminal::Color back) override {
        texts.push_back({cell, std::string(text, static_cast<size_t>(count)), advance, fore, back});
    }
    void line(int x1, int y1, int x2, int y2, terminal::Color color) override {
        lines.push_back({x1, y1, x2, y2, color});
    }
    void clear() {
        texts.clear();
        lines.clear();
        fills.clear();
    }
};

// Fuzz inputs begin with the buffer's dimensions (a count below 2 raises and leaves the rest as
// they were) and the size of the chunks the bytes arrive in; returns that size.
inline std::size_t applyFuzzHeader(terminal::TerminalBuffer& b, const std::uint8_t* head) {
    try {
        b.setSvRowCount(1 + head[0] % 300);
        b.setRowCount(1 + head[1] % 60);
        b.setColCount(1 + head[2] % 200);
    } catch (const std::runtime_error&) {
    }
    return 1 + head[3] % 97;
}

inline bool cursorOnScreen(const terminal::TerminalBuffer& b) {
    return b.absCursorRow() >= 1 && b.absCursorRow() <= b.rowCount() && b.absCursorCol() >= 1 &&
           b.absCursorCol() <= b.colCount();
}

class FakeTerminal : public terminal::TerminalHost {
  public:
    // Metrics of an 8 x 16 font showing the whole 80 x 24 screen.
    int charWidthValue = 8, charHeightValue = 16;
    int originColValue = 1, originRowValue = 1;
    int visibleColsValue = 80, visibleRowsValue = 24, fullColsValue = 80, fullRowsValue = 24;
    terminal::Color colorValue = terminal::kBlack, fontColorValue = terminal::kSilver;
    bool halfDuplexValue = false, lazy = false, follow = false, freeze = true, hideScrollbarsValue = false;
    bool beyondRows = false, beyondCols = false;
    bool hasPortValue = false, portOpenValue = false, primary = false;
    RecordingCanvas recording;
    bool hasCanvas = true;

    std::string sent; // bytes given to the port
    int needsUpdate = 0, beeps = 0, repaints = 0, scrollBarUpdates = 0;
    std::vector<std::pair<int, int>> followed, cursorEvents;
    std::vector<terminal::TerminalEmulator*> emulatorsSet;
    terminal::TerminalEmulator* emulator = nullptr;

    int charWidth() const override { return charWidthValue; }
    int charHeight() const override { return charHeightValue; }
    int originCol() const override { return originColValue; }
    int originRow() const override { return originRowValue; }
    int visibleCols() const override { return visibleColsValue; }
    int visibleRows() const override { return visibleRowsValue; }
    int fullCols() const override { return fullColsValue; }
    int fullRows() const override { return fullRowsValue; }
    terminal::Color color() const override { return colorValue; }
    terminal::Color fontColor() const override { return fontColorValue; }
    void setColor(terminal::Color c) override { colorValue = c; }
    void setFontColor(terminal::Color c) override { fontColorValue = c; }
    bool halfDuplex() const override { return halfDuplexValue; }
    bool useLazyDisplay() const override { return lazy; }
    bool followCursor() const override { return follow; }
    bool freezeScrollBack() const override { return freeze; }
    bool hideScrollbars() const override { return hideScrollbarsValue; }
    bool cursorBeyondRows() const override { return beyondRows; }
    bool cursorBeyondCols() const override { return beyondCols; }
    void setCursorBeyond(bool rows, bool cols) override {
        beyondRows = rows;
        beyondCols = cols;
    }
    bool hasPort() const override { return hasPortValue; }
    bool portOpen() const override { return hasPortValue && portOpenValue; }
    bool isPrimaryTerminal() const override { return primary; }
    void putChar(char ch) override { sent += ch; }
    void putString(std::string_view s) override { sent += s; }
    terminal::TerminalCanvas* canvas() override { return hasCanvas ? &recording : nullptr; }
    void doFollowCursor(int row, int col) override { followed.emplace_back(row, col); }
    void updateScrollBars() override { ++scrollBarUpdates; }
    void repaintAll() override { ++repaints; }
    void beep() override { ++beeps; }
    void cursorMoved(terminal::TerminalBuffer*, int row, int col) override {
        cursorEvents.emplace_back(row, col);
    }
    void termNeedsUpdate() override { ++needsUpdate; }
    // The terminal's Emulator setter: links back as a real terminal does.
    void setEmulator(terminal::TerminalEmulator* e) override {
        emulatorsSet.push_back(e);
        if (e == emulator) return;
        terminal::TerminalEmulator* old = emulator;
        emulator = e;
        if (old) old->setTerminal(nullptr);
        if (e) e->setTerminal(this);
    }
};

} // namespace brimwell::test
