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
    TQuavTermRect cell;
    std::string text;
    int advance;
    TColor fore;
    TColor back;
};

struct DrawnLine {
    int x1, y1, x2, y2;
    TColor color;
};

class RecordingCanvas : public TQuavTerminalCanvas {
  public:
    TQuavTermRect clip{0, 0, 800, 400};
    std::vector<DrawnText> texts;
    std::vector<DrawnLine> lines;
    std::vector<std::pair<TQuavTermRect, TColor>> fills;

    TQuavTermRect ClipRect() const override { return clip; }
    void FillRect(const TQuavTermRect& rect, TColor color) override { fills.emplace_back(rect, color); }
    void TextRun(const TQuavTermRect& cell, const char* text, int count, int advance, TColor fore,
                 TColor back) override {
        texts.push_back({cell, std::string(text, static_cast<size_t>(count)), advance, fore, back});
    }
    void Line(int x1, int y1, int x2, int y2, TColor color) override {
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
inline std::size_t applyFuzzHeader(TQuavTerminalBuffer& b, const std::uint8_t* head) {
    try {
        b.tbSetSVRowCount(1 + head[0] % 300);
        b.tbSetRowCount(1 + head[1] % 60);
        b.tbSetColCount(1 + head[2] % 200);
    } catch (const std::runtime_error&) {
    }
    return 1 + head[3] % 97;
}

inline bool cursorOnScreen(const TQuavTerminalBuffer& b) {
    return b.AbsCursorRow() >= 1 && b.AbsCursorRow() <= b.RowCount() && b.AbsCursorCol() >= 1 &&
           b.AbsCursorCol() <= b.ColCount();
}

class FakeTerminal : public TQuavTerminalHost {
  public:
    // Metrics of an 8 x 16 font showing the whole 80 x 24 screen.
    int charWidth = 8, charHeight = 16;
    int originCol = 1, originRow = 1;
    int visibleCols = 80, visibleRows = 24, fullCols = 80, fullRows = 24;
    TColor color = clBlack, fontColor = clSilver;
    bool halfDuplex = false, lazy = false, follow = false, freeze = true, hideScrollbars = false;
    bool beyondRows = false, beyondCols = false;
    bool hasPort = false, portOpen = false, primary = false;
    RecordingCanvas canvas;
    bool hasCanvas = true;

    std::string sent; // bytes given to the port
    int needsUpdate = 0, beeps = 0, repaints = 0, scrollBarUpdates = 0;
    std::vector<std::pair<int, int>> followed, cursorEvents;
    std::vector<TQuavTerminalEmulator*> emulatorsSet;
    TQuavTerminalEmulator* emulator = nullptr;

    int CharWidth() const override { return charWidth; }
    int CharHeight() const override { return charHeight; }
    int OriginCol() const override { return originCol; }
    int OriginRow() const override { return originRow; }
    int VisibleCols() const override { return visibleCols; }
    int VisibleRows() const override { return visibleRows; }
    int FullCols() const override { return fullCols; }
    int FullRows() const override { return fullRows; }
    TColor Color() const override { return color; }
    TColor FontColor() const override { return fontColor; }
    void SetColor(TColor c) override { color = c; }
    void SetFontColor(TColor c) override { fontColor = c; }
    bool HalfDuplex() const override { return halfDuplex; }
    bool UseLazyDisplay() const override { return lazy; }
    bool FollowCursor() const override { return follow; }
    bool FreezeScrollBack() const override { return freeze; }
    bool HideScrollbars() const override { return hideScrollbars; }
    bool CursorBeyondRows() const override { return beyondRows; }
    bool CursorBeyondCols() const override { return beyondCols; }
    void SetCursorBeyond(bool rows, bool cols) override {
        beyondRows = rows;
        beyondCols = cols;
    }
    bool HasPort() const override { return hasPort; }
    bool PortOpen() const override { return hasPort && portOpen; }
    bool IsPrimaryTerminal() const override { return primary; }
    void putChar(char ch) override { sent += ch; }
    void putString(std::string_view s) override { sent += s; }
    TQuavTerminalCanvas* Canvas() override { return hasCanvas ? &canvas : nullptr; }
    void DoFollowCursor(int row, int col) override { followed.emplace_back(row, col); }
    void UpdateScrollBars() override { ++scrollBarUpdates; }
    void RepaintAll() override { ++repaints; }
    void Beep() override { ++beeps; }
    void CursorMoved(TQuavTerminalBuffer*, int row, int col) override { cursorEvents.emplace_back(row, col); }
    void QmTermNeedsUpdate() override { ++needsUpdate; }
    // The terminal's Emulator setter: links back as a real terminal does.
    void SetEmulator(TQuavTerminalEmulator* e) override {
        emulatorsSet.push_back(e);
        if (e == emulator) return;
        TQuavTerminalEmulator* old = emulator;
        emulator = e;
        if (old) old->teSetTerminal(nullptr);
        if (e) e->teSetTerminal(this);
    }
};

} // namespace brimwell::test
