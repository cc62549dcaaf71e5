// The terminal's screen buffer: cell grids, cursor, region, tab stops and change tracking.
#include "terminal/terminal_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace brimwell {

namespace {

constexpr int kDefaultCols = 80;
constexpr int kDefaultRows = 24;
constexpr int kDefaultSVRows = 200;
constexpr int kTabWidth = 8;

} // namespace

TQuavTerminalBuffer::TQuavTerminalBuffer(bool wideChars)
    : wideChars_(wideChars), chars_(kDefaultSVRows, kDefaultCols, wideChars ? 2 : 1),
      charSets_(kDefaultSVRows, kDefaultCols, 1), attrs_(kDefaultSVRows, kDefaultCols, 1),
      foreColors_(kDefaultSVRows, kDefaultCols, 4), backColors_(kDefaultSVRows, kDefaultCols, 4) {
    setFillValues();
    clearAllGrids();
    svRowCount_ = kDefaultSVRows;
    colCount_ = kDefaultCols;
    rowCount_ = kDefaultRows;
    vertTabs_.assign(static_cast<std::size_t>(rowCount_), false);
    defaultHorzTabStops();
    applyRegion();
    curRow_ = screenTop();
    curCol_ = 0;
    cursorMoved_ = true;
    invalidateScreen();
    fireCursorEvent();
}

TQuavTerminalBuffer::~TQuavTerminalBuffer() = default;

// ---- helpers -------------------------------------------------------------------------------------

void TQuavTerminalBuffer::setFillValues() {
    chars_.SetDefaultItem(defAnsiChar_);
    charSets_.SetDefaultItem(charSet_);
    attrs_.SetDefaultItem(charAttrs_);
    foreColors_.SetDefaultItem(foreColor_);
    backColors_.SetDefaultItem(backColor_);
}

void TQuavTerminalBuffer::clearAllGrids() {
    chars_.clear();
    charSets_.clear();
    attrs_.clear();
    foreColors_.clear();
    backColors_.clear();
}

void TQuavTerminalBuffer::resizeGrids(int rows, int cols) {
    for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_}) {
        g->taSetRowCount(rows);
        g->taSetColCount(cols);
    }
}

void TQuavTerminalBuffer::defaultHorzTabStops() {
    horzTabs_.assign(static_cast<std::size_t>(colCount_), false);
    for (int c = 0; c < colCount_; c += kTabWidth)
        horzTabs_[static_cast<std::size_t>(c)] = true;
}

void TQuavTerminalBuffer::applyRegion() {
    regionLeft_ = 0;
    regionWidth_ = colCount_;
    if (useScrollRegion_) {
        // Keep the region inside the screen even after the screen shrank under a stored region.
        int top = std::clamp(storedTop_, screenTop(), svRowCount_ - 1);
        int bottom = std::clamp(storedBottom_, top, svRowCount_ - 1);
        regionTop_ = top;
        regionHeight_ = bottom - top + 1;
    } else {
        regionTop_ = screenTop();
        regionHeight_ = rowCount_;
    }
}

void TQuavTerminalBuffer::fireCursorEvent() {
    if (OnCursorMoved && cursorMoved_) OnCursorMoved(this, tbGetRow(), tbGetCol());
}

void TQuavTerminalBuffer::cursorMovedTo(int row, int col) {
    curRow_ = row;
    curCol_ = col;
    cursorMoved_ = true;
    fireCursorEvent();
}

void TQuavTerminalBuffer::invalidate(int r1, int c1, int r2, int c2) {
    int top = screenTop();
    TQuavTermRect r{c1 + 1, r1 - top + 1, c2 + 1, r2 - top + 1};
    if (invalidCount_ == 0) {
        invalidUnion_ = r;
    } else {
        invalidUnion_.Left = std::min(invalidUnion_.Left, r.Left);
        invalidUnion_.Top = std::min(invalidUnion_.Top, r.Top);
        invalidUnion_.Right = std::max(invalidUnion_.Right, r.Right);
        invalidUnion_.Bottom = std::max(invalidUnion_.Bottom, r.Bottom);
    }
    ++invalidCount_;
    if (window_) window_->QmTermNeedsUpdate();
}

void TQuavTerminalBuffer::invalidateRegion() {
    invalidate(regionTop_, regionLeft_, regionBottom(), regionRight());
}

void TQuavTerminalBuffer::invalidateScreen() {
    if (colCount_ > 0 && rowCount_ > 0) invalidate(screenTop(), 0, svRowCount_ - 1, colCount_ - 1);
}

void TQuavTerminalBuffer::InvalidateCells(int leftCol, int topRow, int rightCol, int bottomRow) {
    invalidate(InternalRow(topRow), leftCol - 1, InternalRow(bottomRow), rightCol - 1);
}

void TQuavTerminalBuffer::scrollRows(int count, int top, int bottom) {
    if (top > bottom) std::swap(top, bottom);
    for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->ScrollRows(count, top, bottom);
    if (OnScrollRows) {
        int st = screenTop();
        OnScrollRows(this, count, top - st + 1, bottom - st + 1);
    }
}

void TQuavTerminalBuffer::scrollUpForNewLine() {
    if (useScrollRegion_)
        scrollRows(1, regionTop_, regionBottom());
    else
        scrollRows(1, 0, svRowCount_ - 1); // the top screen row passes into the scrollback
    invalidateRegion();
}

void TQuavTerminalBuffer::fillCells(int row, int fromCol, int toCol) {
    for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->ClearItems(row, fromCol, toCol);
}

// ---- dimensions ----------------------------------------------------------------------------------

void TQuavTerminalBuffer::tbSetColCount(int n) {
    if (n == colCount_) return;
    if (n < 2) throw ETerminalError("TQuavTerminalBuffer.tbSetColCount: new count too small");
    horzTabs_.resize(static_cast<std::size_t>(n), false);
    colCount_ = n;
    if (svRowCount_ > 0) {
        resizeGrids(svRowCount_, n);
        invalidateScreen();
    }
    wrapPending_ = false;
    if (useScrollRegion_) {
        tbSetUseScrollRegion(false);
    } else {
        regionWidth_ = n;
        cursorMovedTo(screenTop(), 0);
    }
}

void TQuavTerminalBuffer::tbSetRowCount(int n) {
    if (n == rowCount_ || n > svRowCount_) return;
    if (n < 2) throw ETerminalError("TQuavTerminalBuffer.tbSetRowCount: new count too small");
    if (useScrollRegion_) tbSetUseScrollRegion(false);
    vertTabs_.resize(static_cast<std::size_t>(n), false);
    rowCount_ = n;
    applyRegion();
    if (curRow_ < screenTop()) {
        wrapPending_ = false;
        cursorMovedTo(screenTop(), curCol_);
    }
}

void TQuavTerminalBuffer::tbSetSVRowCount(int n) {
    if (n == svRowCount_) return;
    if (n < 2) throw ETerminalError("TQuavTerminalBuffer.tbSetSVRowCount: new count too small");
    if (n < rowCount_) {
        rowCount_ = n;
        vertTabs_.resize(static_cast<std::size_t>(n), false);
    }
    int delta = n - svRowCount_;
    resizeGrids(n, colCount_);
    svRowCount_ = n;
    storedTop_ += delta;
    storedBottom_ += delta;
    bool clamped = curRow_ + delta < 0;
    curRow_ = std::max(curRow_ + delta, 0);
    if (useScrollRegion_ && storedTop_ < screenTop()) {
        tbSetUseScrollRegion(false);
    } else {
        applyRegion();
        if (clamped) {
            wrapPending_ = false;
            cursorMovedTo(curRow_, curCol_);
        }
    }
    invalidateScreen();
}

// ---- cursor --------------------------------------------------------------------------------------

int TQuavTerminalBuffer::tbGetCol() const {
    return useAbsAddress_ ? curCol_ + 1 : curCol_ - regionLeft_ + 1;
}

int TQuavTerminalBuffer::tbGetRow() const {
    return useAbsAddress_ ? curRow_ - screenTop() + 1 : curRow_ - regionTop_ + 1;
}

void TQuavTerminalBuffer::tbSetCol(int c) {
    wrapPending_ = false;
    if (c == tbGetCol()) return;
    int col = useAbsAddress_ ? c - 1 : c + regionLeft_ - 1;
    cursorMovedTo(curRow_, std::clamp(col, 0, colCount_ - 1));
}

void TQuavTerminalBuffer::tbSetRow(int r) {
    wrapPending_ = false;
    if (r == tbGetRow()) return;
    int row = useAbsAddress_ ? r + screenTop() - 1 : r + regionTop_ - 1;
    cursorMovedTo(std::clamp(row, 0, svRowCount_ - 1), curCol_);
}

void TQuavTerminalBuffer::SetCursorPosition(int row, int col) {
    tbSetRow(row);
    tbSetCol(col);
}

void TQuavTerminalBuffer::MoveCursorRight(bool wrap, bool scroll) {
    wrapPending_ = false;
    if (curCol_ < regionRight()) {
        cursorMovedTo(curRow_, curCol_ + 1);
        return;
    }
    if (!wrap) return;
    if (curRow_ != regionBottom()) {
        if (curRow_ < svRowCount_ - 1) cursorMovedTo(curRow_ + 1, regionLeft_);
        return;
    }
    if (!scroll) return;
    scrollUpForNewLine();
    cursorMovedTo(curRow_, regionLeft_);
}

void TQuavTerminalBuffer::MoveCursorLeft(bool wrap, bool scroll) {
    wrapPending_ = false;
    if (curCol_ > regionLeft_) {
        cursorMovedTo(curRow_, curCol_ - 1);
        return;
    }
    if (!wrap) return;
    if (curRow_ != regionTop_) {
        if (curRow_ > 0) cursorMovedTo(curRow_ - 1, regionRight());
        return;
    }
    if (!scroll) return;
    scrollRows(-1, regionTop_, regionBottom());
    invalidateRegion();
    cursorMovedTo(curRow_, regionRight());
}

void TQuavTerminalBuffer::MoveCursorDown(bool scroll) {
    wrapPending_ = false;
    if (curRow_ != regionBottom()) {
        if (curRow_ < svRowCount_ - 1) cursorMovedTo(curRow_ + 1, curCol_);
        return;
    }
    if (scroll) scrollUpForNewLine();
}

void TQuavTerminalBuffer::MoveCursorUp(bool scroll) {
    wrapPending_ = false;
    if (curRow_ != regionTop_) {
        // Above a scroll region the cursor still stops at the screen's top row rather than walking
        // into the scrollback.
        if (curRow_ > 0 && curRow_ != screenTop()) cursorMovedTo(curRow_ - 1, curCol_);
        return;
    }
    if (scroll) {
        scrollRows(-1, regionTop_, regionBottom());
        invalidateRegion();
    }
}

void TQuavTerminalBuffer::DoCarriageReturn() {
    wrapPending_ = false;
    cursorMovedTo(curRow_, regionLeft_);
}

void TQuavTerminalBuffer::DoLineFeed() {
    if (useNewLineMode_) DoCarriageReturn();
    MoveCursorDown(true);
}

bool TQuavTerminalBuffer::rowHasText(int row) const {
    for (int c = 0; c < colCount_; ++c) {
        const std::uint16_t ch =
            wideChars_ ? chars_.rowData<std::uint16_t>(row)[c] : chars_.rowData<std::uint8_t>(row)[c];
        if (ch != ' ' && ch != defAnsiChar_) return true;
    }
    return false;
}

void TQuavTerminalBuffer::StartFreshLine() {
    wrapPending_ = false;
    int used = -1;
    for (int r = svRowCount_ - 1; r >= screenTop() && used < 0; --r)
        if (rowHasText(r)) used = r;
    if (curCol_ > 0 && curRow_ >= screenTop()) used = std::max(used, curRow_);
    if (used < 0) {
        cursorMovedTo(screenTop(), 0);
        return;
    }
    cursorMovedTo(used, 0);
    MoveCursorDown(true);
}

void TQuavTerminalBuffer::DoBackspace() {
    wrapPending_ = false;
    if (curCol_ > regionLeft_)
        cursorMovedTo(curRow_, curCol_ - 1);
    else
        fireCursorEvent(); // reported again while nobody has read the moved flag
}

void TQuavTerminalBuffer::DoHorzTab() {
    wrapPending_ = false;
    int target = regionRight();
    for (int c = curCol_ + 1; c <= regionRight(); ++c) {
        if (horzTabs_[static_cast<std::size_t>(c)]) {
            target = c;
            break;
        }
    }
    cursorMovedTo(curRow_, target);
}

void TQuavTerminalBuffer::DoBackHorzTab() {
    int target = regionLeft_;
    for (int c = curCol_ - 1; c >= regionLeft_; --c) {
        if (horzTabs_[static_cast<std::size_t>(c)]) {
            target = c;
            break;
        }
    }
    cursorMovedTo(curRow_, target);
}

void TQuavTerminalBuffer::DoVertTab() {
    wrapPending_ = false;
    int target = regionBottom();
    for (int r = curRow_ + 1; r <= regionBottom(); ++r) {
        int s = r - screenTop();
        if (s >= 0 && s < rowCount_ && vertTabs_[static_cast<std::size_t>(s)]) {
            target = r;
            break;
        }
    }
    cursorMovedTo(target, curCol_);
}

void TQuavTerminalBuffer::DoBackVertTab() {
    wrapPending_ = false;
    int target = regionTop_;
    for (int r = curRow_ - 1; r >= regionTop_; --r) {
        int s = r - screenTop();
        if (s >= 0 && s < rowCount_ && vertTabs_[static_cast<std::size_t>(s)]) {
            target = r;
            break;
        }
    }
    cursorMovedTo(target, curCol_);
}

void TQuavTerminalBuffer::tbSetUseScrollRegion(bool on) {
    if (on == useScrollRegion_) return;
    useScrollRegion_ = on;
    applyRegion();
    wrapPending_ = false;
    cursorMovedTo(regionTop_, regionLeft_);
}

void TQuavTerminalBuffer::SetScrollRegion(int top, int bottom) {
    wrapPending_ = false;
    if (top > bottom) std::swap(top, bottom);
    storedTop_ = std::clamp(top + screenTop() - 1, screenTop(), svRowCount_ - 1);
    storedBottom_ = std::clamp(bottom + screenTop() - 1, screenTop(), svRowCount_ - 1);
    if (useScrollRegion_) tbSetUseScrollRegion(false);
    if (!(top == 1 && bottom == rowCount_))
        tbSetUseScrollRegion(true);
    else
        cursorMovedTo(regionTop_, regionLeft_); // the whole screen: region off, cursor home all the same
}

// ---- writing -------------------------------------------------------------------------------------

void TQuavTerminalBuffer::WriteChar(std::uint16_t ch) {
    if (wrapPending_) MoveCursorRight(useAutoWrap_, true); // clears the pending wrap
    const int r = curRow_;
    const int c = curCol_;
    if (useInsertMode_) {
        for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
            g->InsertItems(1, r, c);
    }
    if (wideChars_)
        chars_.rowData<std::uint16_t>(r)[c] = ch;
    else
        chars_.rowData<std::uint8_t>(r)[c] = static_cast<std::uint8_t>(ch);
    charSets_.rowData<std::uint8_t>(r)[c] = charSet_;
    attrs_.rowData<std::uint8_t>(r)[c] = charAttrs_;
    foreColors_.rowData<std::uint32_t>(r)[c] = foreColor_;
    backColors_.rowData<std::uint32_t>(r)[c] = backColor_;
    // In insert mode the cells right of the cursor moved too, so they must be redrawn as well.
    invalidate(r, c, r, useInsertMode_ ? colCount_ - 1 : c);
    if (useAutoWrapDelay_ && c == regionRight())
        wrapPending_ = true;
    else
        MoveCursorRight(useAutoWrap_, true);
}

int TQuavTerminalBuffer::WriteRun(const char* s, int n) {
    if (wrapPending_ || useInsertMode_ || wideChars_) return 0;
    const int r = curRow_, c = curCol_;
    const int k = std::min(n, regionRight() - c);
    if (k <= 0) return 0;
    std::memcpy(chars_.rowData<std::uint8_t>(r) + c, s, std::size_t(k));
    std::fill_n(charSets_.rowData<std::uint8_t>(r) + c, k, charSet_);
    std::fill_n(attrs_.rowData<std::uint8_t>(r) + c, k, charAttrs_);
    std::fill_n(foreColors_.rowData<std::uint32_t>(r) + c, k, foreColor_);
    std::fill_n(backColors_.rowData<std::uint32_t>(r) + c, k, backColor_);
    invalidate(r, c, r, c + k - 1);
    cursorMovedTo(r, c + k);
    return k;
}

void TQuavTerminalBuffer::WriteString(std::string_view s) {
    for (char ch : s)
        WriteChar(static_cast<std::uint8_t>(ch));
}

// ---- editing -------------------------------------------------------------------------------------

void TQuavTerminalBuffer::InsertChars(int n) {
    wrapPending_ = false;
    if (n <= 0) return;
    n = std::min(n, colCount_ - curCol_);
    for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->InsertItems(n, curRow_, curCol_);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TQuavTerminalBuffer::DeleteChars(int n) {
    wrapPending_ = false;
    if (n <= 0) return;
    n = std::min(n, colCount_ - curCol_);
    for (TQuavTerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->DeleteItems(n, curRow_, curCol_);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TQuavTerminalBuffer::InsertLines(int n) {
    wrapPending_ = false;
    if (n <= 0 || curRow_ > regionBottom()) return;
    scrollRows(-n, curRow_, regionBottom());
    invalidate(curRow_, 0, regionBottom(), colCount_ - 1);
}

void TQuavTerminalBuffer::DeleteLines(int n) {
    wrapPending_ = false;
    if (n <= 0 || curRow_ > regionBottom()) return;
    scrollRows(n, curRow_, regionBottom());
    invalidate(curRow_, 0, regionBottom(), colCount_ - 1);
}

void TQuavTerminalBuffer::EraseChars(int n) {
    wrapPending_ = false;
    int row = curRow_;
    int col = curCol_;
    int lastRow = std::max(regionBottom(), curRow_);
    while (n > 0 && row <= lastRow) {
        int k = std::min(n, colCount_ - col);
        fillCells(row, col, col + k - 1);
        invalidate(row, col, row, col + k - 1);
        n -= k;
        ++row;
        col = regionLeft_;
    }
}

void TQuavTerminalBuffer::EraseToEOL() {
    wrapPending_ = false;
    fillCells(curRow_, curCol_, colCount_ - 1);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TQuavTerminalBuffer::EraseFromBOL() {
    wrapPending_ = false;
    fillCells(curRow_, 0, curCol_);
    invalidate(curRow_, 0, curRow_, curCol_);
}

void TQuavTerminalBuffer::EraseLine() {
    wrapPending_ = false;
    fillCells(curRow_, 0, colCount_ - 1);
    invalidate(curRow_, 0, curRow_, colCount_ - 1);
}

void TQuavTerminalBuffer::EraseToEOW() {
    wrapPending_ = false;
    fillCells(curRow_, curCol_, colCount_ - 1);
    for (int r = curRow_ + 1; r < svRowCount_; ++r)
        fillCells(r, 0, colCount_ - 1);
    invalidate(curRow_, 0, svRowCount_ - 1, colCount_ - 1);
}

void TQuavTerminalBuffer::EraseFromBOW() {
    wrapPending_ = false;
    fillCells(curRow_, 0, curCol_);
    int first = std::min(screenTop(), curRow_);
    for (int r = screenTop(); r < curRow_; ++r)
        fillCells(r, 0, colCount_ - 1);
    invalidate(first, 0, curRow_, colCount_ - 1);
}

void TQuavTerminalBuffer::EraseScreen() {
    wrapPending_ = false;
    scrollRows(rowCount_, 0, svRowCount_ - 1);
    invalidateScreen();
}

void TQuavTerminalBuffer::EraseAll() {
    clearAllGrids();
    invalidateScreen();
    SetCursorPosition(1, 1);
}

void TQuavTerminalBuffer::Reset() {
    charAttrs_ = defCharAttrs_;
    backColor_ = defBackColor_;
    foreColor_ = defForeColor_;
    charSet_ = defCharSet_;
    setFillValues();
    clearAllGrids();
    vertTabs_.assign(static_cast<std::size_t>(rowCount_), false);
    defaultHorzTabStops();
    useAbsAddress_ = true;
    useAutoWrap_ = true;
    useAutoWrapDelay_ = true;
    useInsertMode_ = false;
    useNewLineMode_ = false;
    useScrollRegion_ = false;
    applyRegion();
    wrapPending_ = false;
    invalidateScreen();
    cursorMovedTo(screenTop(), 0);
}

// ---- tab stops -----------------------------------------------------------------------------------

void TQuavTerminalBuffer::SetHorzTabStop() {
    horzTabs_[static_cast<std::size_t>(curCol_)] = true;
}
void TQuavTerminalBuffer::ClearHorzTabStop() {
    horzTabs_[static_cast<std::size_t>(curCol_)] = false;
}
void TQuavTerminalBuffer::ClearAllHorzTabStops() {
    std::fill(horzTabs_.begin(), horzTabs_.end(), false);
}

void TQuavTerminalBuffer::SetVertTabStop() {
    int s = curRow_ - screenTop();
    if (s >= 0 && s < rowCount_) vertTabs_[static_cast<std::size_t>(s)] = true;
}

void TQuavTerminalBuffer::ClearVertTabStop() {
    int s = curRow_ - screenTop();
    if (s >= 0 && s < rowCount_) vertTabs_[static_cast<std::size_t>(s)] = false;
}

void TQuavTerminalBuffer::ClearAllVertTabStops() {
    std::fill(vertTabs_.begin(), vertTabs_.end(), false);
}

bool TQuavTerminalBuffer::HasHorzTabStop(int col) const {
    return col >= 1 && col <= colCount_ && horzTabs_[static_cast<std::size_t>(col - 1)];
}

void TQuavTerminalBuffer::SetHorzTabStopAt(int col, bool on) {
    if (col >= 1 && col <= colCount_) horzTabs_[static_cast<std::size_t>(col - 1)] = on;
}

bool TQuavTerminalBuffer::HasVertTabStop(int screenRow) const {
    return screenRow >= 1 && screenRow <= rowCount_ && vertTabs_[static_cast<std::size_t>(screenRow - 1)];
}

// ---- colours, character set, attributes ----------------------------------------------------------

void TQuavTerminalBuffer::tbSetBackColor(TColor c) {
    backColor_ = c;
    backColors_.SetDefaultItem(c);
}

void TQuavTerminalBuffer::tbSetForeColor(TColor c) {
    foreColor_ = c;
    foreColors_.SetDefaultItem(c);
}

void TQuavTerminalBuffer::tbSetDefBackColor(TColor c) {
    if (c == defBackColor_) return;
    backColors_.ReplaceItems(defBackColor_, c);
    defBackColor_ = c;
}

void TQuavTerminalBuffer::tbSetDefForeColor(TColor c) {
    if (c == defForeColor_) return;
    foreColors_.ReplaceItems(defForeColor_, c);
    defForeColor_ = c;
}

void TQuavTerminalBuffer::tbSetCharSet(std::uint8_t cs) {
    charSet_ = cs;
    charSets_.SetDefaultItem(cs);
}

void TQuavTerminalBuffer::tbSetDefAnsiChar(std::uint16_t ch) {
    defAnsiChar_ = ch;
    chars_.SetDefaultItem(ch);
}

void TQuavTerminalBuffer::SetCharAttrs(TQuavTerminalCharAttrs a) {
    charAttrs_ = a;
    attrs_.SetDefaultItem(a);
}

// ---- row access and change tracking --------------------------------------------------------------

char* TQuavTerminalBuffer::GetLineCharPtr(int row) {
    int r = InternalRow(row);
    if (r < 0 || r >= svRowCount_ || colCount_ <= 0) return nullptr;
    return wideChars_ ? reinterpret_cast<char*>(chars_.rowData<std::uint16_t>(r))
                      : reinterpret_cast<char*>(chars_.rowData<std::uint8_t>(r));
}

std::uint8_t* TQuavTerminalBuffer::GetLineCharSetPtr(int row) {
    int r = InternalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : charSets_.rowData<std::uint8_t>(r);
}

TQuavTerminalCharAttrs* TQuavTerminalBuffer::GetLineAttrPtr(int row) {
    int r = InternalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : attrs_.rowData<std::uint8_t>(r);
}

TColor* TQuavTerminalBuffer::GetLineForeColorPtr(int row) {
    int r = InternalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : foreColors_.rowData<std::uint32_t>(r);
}

TColor* TQuavTerminalBuffer::GetLineBackColorPtr(int row) {
    int r = InternalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : backColors_.rowData<std::uint32_t>(r);
}

bool TQuavTerminalBuffer::GetInvalidRect(TQuavTermRect& rect) {
    if (invalidCount_ == 0) return false;
    rect = invalidUnion_;
    invalidCount_ = 0;
    return true;
}

bool TQuavTerminalBuffer::HasCursorMoved() {
    bool moved = cursorMoved_;
    cursorMoved_ = false;
    return moved;
}

void TQuavTerminalBuffer::CopyContentsFrom(TQuavTerminalBuffer& from) {
    if (&from == this || from.wideChars_ != wideChars_) return;
    const int rows = std::min(svRowCount_, from.svRowCount_), cols = std::min(colCount_, from.colCount_);
    TQuavTerminalArray* dst[] = {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_};
    TQuavTerminalArray* src[] = {&from.chars_, &from.charSets_, &from.attrs_, &from.foreColors_,
                                 &from.backColors_};
    for (int g = 0; g < 5; ++g)
        for (int r = 0; r < rows; ++r)
            dst[g]->WriteItems(src[g]->GetItemPtr(from.svRowCount_ - rows + r, 0), cols,
                               svRowCount_ - rows + r, 0);
    const int row = std::clamp(from.AbsCursorRow(), FirstRow(), LastRow());
    cursorMovedTo(InternalRow(row), std::min(from.curCol_, colCount_ - 1));
    invalidateScreen();
}

} // namespace brimwell
