// The teletype emulator: bytes straight into the buffer, five control characters, and painting the
// buffer in runs of equal-looking cells.
#include "terminal/terminal_emulator.h"

#include <algorithm>

namespace brimwell {

namespace {

// Bold draws the foreground brighter: each of red, green and blue gains 128, capped at 255.
TColor brighten(TColor c) {
    TColor out = 0;
    for (int shift = 0; shift <= 16; shift += 8) {
        unsigned v = std::min((c >> shift & 0xFFu) + 128u, 255u);
        out |= v << shift;
    }
    return out;
}

} // namespace

TQuavTTYEmulator::TQuavTTYEmulator() {
    setBuffer(std::make_unique<TQuavTerminalBuffer>(false));
    buffer_->OnCursorMoved = [this](TQuavTerminalBuffer* sender, int row, int col) {
        teHandleCursorMovement(sender, row, col);
    };
    runs_.reserve(256);
}

TQuavTTYEmulator::~TQuavTTYEmulator() {
    buffer_->OnCursorMoved = nullptr;
    unlink();
}

void TQuavTTYEmulator::ProcessBlock(const char* data, int count, TQuavCharSource source) {
    TQuavTerminalBuffer& b = *buffer_;
    for (int i = 0; i < count; ++i) {
        auto byte = static_cast<std::uint8_t>(data[i]);
        if (OnProcessChar) {
            replaceWith_.assign(1, static_cast<char>(byte));
            commands_.clear();
            OnProcessChar(this, byte, replaceWith_, commands_, source);
            teProcessCommandList(commands_);
            processString(replaceWith_);
            continue;
        }
        // Without a handler the command list stays empty and the text is the byte itself.
        if (byte >= 0x20) {
            b.WriteChar(byte);
            continue;
        }
        switch (byte) {
        case 0x07:
            teProcessCommand(ecBell);
            break;
        case 0x08:
            b.DoBackspace();
            break;
        case 0x09:
            b.DoHorzTab();
            break;
        case 0x0A:
            b.DoLineFeed();
            break;
        case 0x0D:
            b.DoCarriageReturn();
            break;
        default:
            break; // every other control byte is ignored
        }
    }
}

void TQuavTTYEmulator::processString(const std::string& s) {
    for (char ch : s) {
        auto byte = static_cast<std::uint8_t>(ch);
        if (byte >= 0x20) {
            buffer_->WriteChar(byte);
            continue;
        }
        switch (byte) {
        case 0x07:
            teProcessCommand(ecBell);
            break;
        case 0x08:
            teProcessCommand(ecBackspace);
            break;
        case 0x09:
            teProcessCommand(ecTabHorz);
            break;
        case 0x0A:
            teProcessCommand(ecLF);
            break;
        case 0x0D:
            teProcessCommand(ecCR);
            break;
        default:
            teProcessCommand(ecNone);
            break;
        }
    }
}

void TQuavTTYEmulator::KeyPress(char& ch) {
    if (ch == 0x08) ch = 0x7F;
    teSendChar(ch, true, csKeyboard);
}

void TQuavTTYEmulator::teClear() {
    buffer_->EraseScreen();
}

void TQuavTTYEmulator::teClearAll() {
    buffer_->EraseAll();
}

bool TQuavTTYEmulator::teGetNeedsUpdate() {
    return buffer_->HasDisplayChanged() || repaintAll_ || buffer_->HasCursorMoved();
}

void TQuavTTYEmulator::GetCursorPos(int& row, int& col) {
    row = buffer_->tbGetRow();
    col = buffer_->tbGetCol();
}

void TQuavTTYEmulator::syncColors() {
    if (!terminal_) return;
    TColor back = terminal_->Color();
    TColor fore = terminal_->FontColor();
    if (back == buffer_->BackColor() && fore == buffer_->ForeColor()) return;
    buffer_->tbSetDefBackColor(back);
    buffer_->tbSetDefForeColor(fore);
    buffer_->tbSetBackColor(back);
    buffer_->tbSetForeColor(fore);
    repaintAll_ = true;
}

void TQuavTTYEmulator::LazyPaint() {
    if (!terminal_) return;
    syncColors();
    lazyPaintRows(repaintAll_, [this](int row, int first, int last) { drawRow(row, first, last); });
}

void TQuavTTYEmulator::Paint() {
    if (!terminal_) return;
    syncColors(); // a repaint-all it asks for is left to the next LazyPaint
    paintClipRows([this](int row, int first, int last) { drawRow(row, first, last); });
}

void TQuavTTYEmulator::drawRow(int row, int firstCol, int lastCol) {
    TQuavTerminalHost& t = *terminal_;
    TQuavTerminalCanvas* canvas = t.Canvas();
    if (!canvas) return;
    const int originCol = t.OriginCol();
    const int originRow = t.OriginRow();
    const int visibleCols = t.VisibleCols();
    if (row < originRow || row > originRow + t.VisibleRows() - 1) return;
    if (lastCol < originCol || firstCol >= originCol + visibleCols) return;
    firstCol = std::max({firstCol, originCol, 1});
    lastCol = std::min({lastCol, originCol + visibleCols - 1, buffer_->ColCount()});
    if (firstCol > lastCol) return;
    const char* chars = buffer_->GetLineCharPtr(row);
    const TQuavTerminalCharAttrs* attrs = buffer_->GetLineAttrPtr(row);
    const TColor* fore = buffer_->GetLineForeColorPtr(row);
    const TColor* back = buffer_->GetLineBackColorPtr(row);
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

    const int cw = t.CharWidth();
    const int chh = t.CharHeight();
    const int y = (row - originRow) * chh;
    for (auto it = runs_.rbegin(); it != runs_.rend(); ++it) {
        const PaintRun& run = *it;
        TColor text = run.fore;
        TColor fill = run.back;
        bool reverse = (run.attrs & tcaReverse) != 0;
        bool selected = (run.attrs & tcaSelected) != 0;
        bool swapped = reverse != selected;
        if (swapped) std::swap(text, fill);
        if (run.attrs & tcaInvisible) {
            text = fill;
        } else if (run.attrs & tcaBold) {
            if (swapped)
                fill = brighten(fill);
            else
                text = brighten(text);
        }
        int len = run.lastCol - run.firstCol + 1;
        int x = (run.firstCol - originCol) * cw;
        TQuavTermRect cell{x, y, x + len * cw, y + chh};
        canvas->TextRun(cell, chars + (run.firstCol - 1), len, cw, text, fill);
        if (run.attrs & tcaUnderline)
            canvas->Line(cell.Left, cell.Bottom - 2, cell.Right, cell.Bottom - 2, text);
        if (run.attrs & tcaStrikethrough)
            canvas->Line(cell.Left, cell.Top + chh / 2, cell.Right, cell.Top + chh / 2, text);
    }
}

} // namespace brimwell
