// The teletype emulator: bytes straight into the buffer, five control characters, and painting the
// buffer in runs of equal-looking cells.
#include "terminal/terminal_emulator.h"

#include <algorithm>

namespace brimwell::terminal {

namespace {

// Bold draws the foreground brighter: each of red, green and blue gains 128, capped at 255.
Color brighten(Color c) {
    Color out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        unsigned v = std::min((c >> shift & 0xFFu) + 128u, 255u);
        out |= v << shift;
    }
    return out;
}

} // namespace

TtyEmulator::TtyEmulator() {
    setBuffer(std::make_unique<TerminalBuffer>(false));
    buffer_->onCursorMoved = [this](TerminalBuffer* sender, int row, int col) {
        handleCursorMovement(sender, row, col);
    };
    runs_.reserve(256);
}

TtyEmulator::~TtyEmulator() {
    buffer_->onCursorMoved = nullptr;
    unlink();
}

void TtyEmulator::processBlock(const char* data, int count, CharSource source) {
    TerminalBuffer& b = *buffer_;
    for (int i = 0; i < count; ++i) {
        auto byte = static_cast<std::uint8_t>(data[i]);
        if (onProcessChar) {
            replaceWith_.assign(1, static_cast<char>(byte));
            commands_.clear();
            onProcessChar(this, byte, replaceWith_, commands_, source);
            processCommandList(commands_);
            processString(replaceWith_);
            continue;
        }
        // Without a handler the command list stays empty and the text is the byte itself.
        if (byte >= 0x20) {
            b.writeChar(byte);
            continue;
        }
        switch (byte) {
        case 0x07:
            processCommand(EmuCommand::Bell);
            break;
        case 0x08:
            b.doBackspace();
            break;
        case 0x09:
            b.doHorzTab();
            break;
        case 0x0A:
            b.doLineFeed();
            break;
        case 0x0D:
            b.doCarriageReturn();
            break;
        default:
            break; // every other control byte is ignored
        }
    }
}

void TtyEmulator::processString(const std::string& s) {
    for (char ch : s) {
        auto byte = static_cast<std::uint8_t>(ch);
        if (byte >= 0x20) {
            buffer_->writeChar(byte);
            continue;
        }
        switch (byte) {
        case 0x07:
            processCommand(EmuCommand::Bell);
            break;
        case 0x08:
            processCommand(EmuCommand::Backspace);
            break;
        case 0x09:
            processCommand(EmuCommand::TabHorz);
            break;
        case 0x0A:
            processCommand(EmuCommand::LF);
            break;
        case 0x0D:
            processCommand(EmuCommand::CR);
            break;
        default:
            processCommand(EmuCommand::None);
            break;
        }
    }
}

void TtyEmulator::keyPress(char& ch) {
    if (ch == 0x08) ch = 0x7F;
    sendChar(ch, true, CharSource::Keyboard);
}

void TtyEmulator::clear() {
    buffer_->eraseScreen();
}

void TtyEmulator::clearAll() {
    buffer_->eraseAll();
}

bool TtyEmulator::needsUpdate() {
    return buffer_->hasDisplayChanged() || repaintAll_ || buffer_->hasCursorMoved();
}

void TtyEmulator::getCursorPos(int& row, int& col) {
    row = buffer_->cursorRow();
    col = buffer_->cursorCol();
}

void TtyEmulator::syncColors() {
    if (!terminal_) return;
    Color back = terminal_->color();
    Color fore = terminal_->fontColor();
    if (back == buffer_->backColor() && fore == buffer_->foreColor()) return;
    buffer_->setDefBackColor(back);
    buffer_->setDefForeColor(fore);
    buffer_->setBackColor(back);
    buffer_->setForeColor(fore);
    repaintAll_ = true;
}

void TtyEmulator::lazyPaint() {
    if (!terminal_) return;
    syncColors();
    lazyPaintRows(repaintAll_, [this](int row, int first, int last) { drawRow(row, first, last); });
}

void TtyEmulator::paint() {
    if (!terminal_) return;
    syncColors(); // a repaint-all it asks for is left to the next lazyPaint
    paintClipRows([this](int row, int first, int last) { drawRow(row, first, last); });
}

void TtyEmulator::drawRow(int row, int firstCol, int lastCol) {
    TerminalHost& t = *terminal_;
    TerminalCanvas* canvas = t.canvas();
    if (!canvas) return;
    const int originCol = t.originCol();
    const int originRow = t.originRow();
    const int visibleCols = t.visibleCols();
    if (row < originRow || row > originRow + t.visibleRows() - 1) return;
    if (lastCol < originCol || firstCol >= originCol + visibleCols) return;
    firstCol = std::max({firstCol, originCol, 1});
    lastCol = std::min({lastCol, originCol + visibleCols - 1, buffer_->colCount()});
    if (firstCol > lastCol) return;
    const char* chars = buffer_->getLineCharPtr(row);
    const CharAttrs* attrs = buffer_->getLineAttrPtr(row);
    const Color* fore = buffer_->getLineForeColorPtr(row);
    const Color* back = buffer_->getLineBackColorPtr(row);
    if (!chars || !attrs || !fore || !back) return;

    runs_.clear();
    for (int c = firstCol; c <= lastCol; ++c) {
        int i = c - 1;
        if (!runs_.empty()) {
            PaintRun& last = runs_.back();
            if (last.fore == fore[i] && last.back == back[i] && last.attrs == attrs[i]) {
                last.lastCol = c;
                continue;
            }
        }
        runs_.push_back({c, c, fore[i], back[i], attrs[i]});
    }

    const int cw = t.charWidth();
    const int chh = t.charHeight();
    const int y = (row - originRow) * chh;
    for (auto it = runs_.rbegin(); it != runs_.rend(); ++it) {
        const PaintRun& run = *it;
        Color text = run.fore;
        Color fill = run.back;
        bool reverse = (run.attrs & kAttrReverse) != 0;
        bool selected = (run.attrs & kAttrSelected) != 0;
        bool swapped = reverse != selected;
        if (swapped) std::swap(text, fill);
        if (run.attrs & kAttrInvisible) {
            text = fill;
        } else if (run.attrs & kAttrBold) {
            if (swapped)
                fill = brighten(fill);
            else
                text = brighten(text);
        }
        int len = run.lastCol - run.firstCol + 1;
        int x = (run.firstCol - originCol) * cw;
        TermRect cell{x, y, x + len * cw, y + chh};
        canvas->textRun(cell, chars + (run.firstCol - 1), len, cw, text, fill);
        if (run.attrs & kAttrUnderline)
            canvas->line(cell.left, cell.bottom - 2, cell.right, cell.bottom - 2, text);
        if (run.attrs & kAttrStrikethrough)
            canvas->line(cell.left, cell.top + chh / 2, cell.right, cell.top + chh / 2, text);
    }
}

} // namespace brimwell::terminal
