// The terminal's screen buffer: cell grids, cursor, region, tab stops and change tracking.
#include "terminal/terminal_buffer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace brimwell::terminal {

namespace {

constexpr int kDefaultCols = 80;
constexpr int kDefaultRows = 24;
constexpr int kDefaultSVRows = 200;
constexpr int kTabWidth = 8;

} // namespace

TerminalBuffer::TerminalBuffer(bool wideChars)
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

TerminalBuffer::~TerminalBuffer() = default;

// ---- helpers -------------------------------------------------------------------------------------

void TerminalBuffer::setFillValues() {
    chars_.setDefaultItem(defAnsiChar_);
    charSets_.setDefaultItem(charSet_);
    attrs_.setDefaultItem(charAttrs_);
    foreColors_.setDefaultItem(foreColor_);
    backColors_.setDefaultItem(backColor_);
}

void TerminalBuffer::clearAllGrids() {
    chars_.clear();
    charSets_.clear();
    attrs_.clear();
    foreColors_.clear();
    backColors_.clear();
}

void TerminalBuffer::resizeGrids(int rows, int cols) {
    for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_}) {
        g->taSetRowCount(rows);
        g->taSetColCount(cols);
    }
}

void TerminalBuffer::defaultHorzTabStops() {
    horzTabs_.assign(static_cast<std::size_t>(colCount_), false);
    for (int c = 0; c < colCount_; c += kTabWidth)
        horzTabs_[static_cast<std::size_t>(c)] = true;
}

void TerminalBuffer::applyRegion() {
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

void TerminalBuffer::fireCursorEvent() {
    if (onCursorMoved && cursorMoved_) onCursorMoved(this, cursorRow(), cursorCol());
}

void TerminalBuffer::cursorMovedTo(int row, int col) {
    curRow_ = row;
    curCol_ = col;
    cursorMoved_ = true;
    fireCursorEvent();
}

void TerminalBuffer::invalidate(int r1, int c1, int r2, int c2) {
    int top = screenTop();
    TermRect r{c1 + 1, r1 - top + 1, c2 + 1, r2 - top + 1};
    if (invalidCount_ == 0) {
        invalidUnion_ = r;
    } else {
        invalidUnion_.left = std::min(invalidUnion_.left, r.left);
        invalidUnion_.top = std::min(invalidUnion_.top, r.top);
        invalidUnion_.right = std::max(invalidUnion_.right, r.right);
        invalidUnion_.bottom = std::max(invalidUnion_.bottom, r.bottom);
    }
    ++invalidCount_;
    if (window_) window_->termNeedsUpdate();
}

void TerminalBuffer::invalidateRegion() {
    invalidate(regionTop_, regionLeft_, regionBottom(), regionRight());
}

void TerminalBuffer::invalidateScreen() {
    if (colCount_ > 0 && rowCount_ > 0) invalidate(screenTop(), 0, svRowCount_ - 1, colCount_ - 1);
}

void TerminalBuffer::invalidateCells(int leftCol, int topRow, int rightCol, int bottomRow) {
    invalidate(internalRow(topRow), leftCol - 1, internalRow(bottomRow), rightCol - 1);
}

void TerminalBuffer::scrollRows(int count, int top, int bottom) {
    if (top > bottom) std::swap(top, bottom);
    for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->scrollRows(count, top, bottom);
    if (onScrollRows) {
        int st = screenTop();
        onScrollRows(this, count, top - st + 1, bottom - st + 1);
    }
}

void TerminalBuffer::scrollUpForNewLine() {
    if (useScrollRegion_)
        scrollRows(1, regionTop_, regionBottom());
    else
        scrollRows(1, 0, svRowCount_ - 1); // the top screen row passes into the scrollback
    invalidateRegion();
}

void TerminalBuffer::fillCells(int row, int fromCol, int toCol) {
    for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->clearItems(row, fromCol, toCol);
}

// ---- dimensions ----------------------------------------------------------------------------------

void TerminalBuffer::setColCount(int n) {
    if (n == colCount_) return;
    if (n < 2) throw TerminalBufferError("TQuavTerminalBuffer.tbSetColCount: new count too small");
    horzTabs_.resize(static_cast<std::size_t>(n), false);
    colCount_ = n;
    if (svRowCount_ > 0) {
        resizeGrids(svRowCount_, n);
        invalidateScreen();
    }
    wrapPending_ = false;
    if (useScrollRegion_) {
        setUseScrollRegion(false);
    } else {
        regionWidth_ = n;
        cursorMovedTo(screenTop(), 0);
    }
}

void TerminalBuffer::setRowCount(int n) {
    if (n == rowCount_ || n > svRowCount_) return;
    if (n < 2) throw TerminalBufferError("TQuavTerminalBuffer.tbSetRowCount: new count too small");
    if (useScrollRegion_) setUseScrollRegion(false);
    vertTabs_.resize(static_cast<std::size_t>(n), false);
    rowCount_ = n;
    applyRegion();
    if (curRow_ < screenTop()) {
        wrapPending_ = false;
        cursorMovedTo(screenTop(), curCol_);
    }
}

void TerminalBuffer::setSvRowCount(int n) {
    if (n == svRowCount_) return;
    if (n < 2) throw TerminalBufferError("TQuavTerminalBuffer.tbSetSVRowCount: new count too small");
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
        setUseScrollRegion(false);
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

int TerminalBuffer::cursorCol() const {
    return useAbsAddress_ ? curCol_ + 1 : curCol_ - regionLeft_ + 1;
}

int TerminalBuffer::cursorRow() const {
    return useAbsAddress_ ? curRow_ - screenTop() + 1 : curRow_ - regionTop_ + 1;
}

void TerminalBuffer::setCursorCol(int c) {
    wrapPending_ = false;
    if (c == cursorCol()) return;
    int col = useAbsAddress_ ? c - 1 : c + regionLeft_ - 1;
    cursorMovedTo(curRow_, std::clamp(col, 0, colCount_ - 1));
}

void TerminalBuffer::setCursorRow(int r) {
    wrapPending_ = false;
    if (r == cursorRow()) return;
    int row = useAbsAddress_ ? r + screenTop() - 1 : r + regionTop_ - 1;
    cursorMovedTo(std::clamp(row, 0, svRowCount_ - 1), curCol_);
}

void TerminalBuffer::setCursorPosition(int row, int col) {
    setCursorRow(row);
    setCursorCol(col);
}

void TerminalBuffer::moveCursorRight(bool wrap, bool scroll) {
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

void TerminalBuffer::moveCursorLeft(bool wrap, bool scroll) {
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

void TerminalBuffer::moveCursorDown(bool scroll) {
    wrapPending_ = false;
    if (curRow_ != regionBottom()) {
        if (curRow_ < svRowCount_ - 1) cursorMovedTo(curRow_ + 1, curCol_);
        return;
    }
    if (scroll) scrollUpForNewLine();
}

void TerminalBuffer::moveCursorUp(bool scroll) {
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

void TerminalBuffer::doCarriageReturn() {
    wrapPending_ = false;
    cursorMovedTo(curRow_, regionLeft_);
}

void TerminalBuffer::doLineFeed() {
    if (useNewLineMode_) doCarriageReturn();
    moveCursorDown(true);
}

bool TerminalBuffer::rowHasText(int row) const {
    for (int c = 0; c < colCount_; ++c) {
        const std::uint16_t ch =
            wideChars_ ? chars_.rowData<std::uint16_t>(row)[c] : chars_.rowData<std::uint8_t>(row)[c];
        if (ch != ' ' && ch != defAnsiChar_) return true;
    }
    return false;
}

void TerminalBuffer::startFreshLine() {
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
    moveCursorDown(true);
}

void TerminalBuffer::doBackspace() {
    wrapPending_ = false;
    if (curCol_ > regionLeft_)
        cursorMovedTo(curRow_, curCol_ - 1);
    else
        fireCursorEvent(); // reported again while nobody has read the moved flag
}

void TerminalBuffer::doHorzTab() {
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

void TerminalBuffer::doBackHorzTab() {
    int target = regionLeft_;
    for (int c = curCol_ - 1; c >= regionLeft_; --c) {
        if (horzTabs_[static_cast<std::size_t>(c)]) {
            target = c;
            break;
        }
    }
    cursorMovedTo(curRow_, target);
}

void TerminalBuffer::doVertTab() {
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

void TerminalBuffer::doBackVertTab() {
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

void TerminalBuffer::setUseScrollRegion(bool on) {
    if (on == useScrollRegion_) return;
    useScrollRegion_ = on;
    applyRegion();
    wrapPending_ = false;
    cursorMovedTo(regionTop_, regionLeft_);
}

void TerminalBuffer::setScrollRegion(int top, int bottom) {
    wrapPending_ = false;
    if (top > bottom) std::swap(top, bottom);
    storedTop_ = std::clamp(top + screenTop() - 1, screenTop(), svRowCount_ - 1);
    storedBottom_ = std::clamp(bottom + screenTop() - 1, screenTop(), svRowCount_ - 1);
    if (useScrollRegion_) setUseScrollRegion(false);
    if (!(top == 1 && bottom == rowCount_))
        setUseScrollRegion(true);
    else
        cursorMovedTo(regionTop_, regionLeft_); // the whole screen: region off, cursor home all the same
}

// ---- writing -------------------------------------------------------------------------------------

void TerminalBuffer::writeChar(std::uint16_t ch) {
    if (wrapPending_) moveCursorRight(useAutoWrap_, true); // clears the pending wrap
    const int r = curRow_;
    const int c = curCol_;
    if (useInsertMode_) {
        for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
            g->insertItems(1, r, c);
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
        moveCursorRight(useAutoWrap_, true);
}

int TerminalBuffer::writeRun(const char* s, int n) {
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

void TerminalBuffer::writeString(std::string_view s) {
    for (char ch : s)
        writeChar(static_cast<std::uint8_t>(ch));
}

// ---- editing -------------------------------------------------------------------------------------

void TerminalBuffer::insertChars(int n) {
    wrapPending_ = false;
    if (n <= 0) return;
    n = std::min(n, colCount_ - curCol_);
    for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->insertItems(n, curRow_, curCol_);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TerminalBuffer::deleteChars(int n) {
    wrapPending_ = false;
    if (n <= 0) return;
    n = std::min(n, colCount_ - curCol_);
    for (TerminalArray* g : {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_})
        g->deleteItems(n, curRow_, curCol_);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TerminalBuffer::insertLines(int n) {
    wrapPending_ = false;
    if (n <= 0 || curRow_ > regionBottom()) return;
    scrollRows(-n, curRow_, regionBottom());
    invalidate(curRow_, 0, regionBottom(), colCount_ - 1);
}

void TerminalBuffer::deleteLines(int n) {
    wrapPending_ = false;
    if (n <= 0 || curRow_ > regionBottom()) return;
    scrollRows(n, curRow_, regionBottom());
    invalidate(curRow_, 0, regionBottom(), colCount_ - 1);
}

void TerminalBuffer::eraseChars(int n) {
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

void TerminalBuffer::eraseToEol() {
    wrapPending_ = false;
    fillCells(curRow_, curCol_, colCount_ - 1);
    invalidate(curRow_, curCol_, curRow_, colCount_ - 1);
}

void TerminalBuffer::eraseFromBol() {
    wrapPending_ = false;
    fillCells(curRow_, 0, curCol_);
    invalidate(curRow_, 0, curRow_, curCol_);
}

void TerminalBuffer::eraseLine() {
    wrapPending_ = false;
    fillCells(curRow_, 0, colCount_ - 1);
    invalidate(curRow_, 0, curRow_, colCount_ - 1);
}

void TerminalBuffer::eraseToEow() {
    wrapPending_ = false;
    fillCells(curRow_, curCol_, colCount_ - 1);
    for (int r = curRow_ + 1; r < svRowCount_; ++r)
        fillCells(r, 0, colCount_ - 1);
    invalidate(curRow_, 0, svRowCount_ - 1, colCount_ - 1);
}

void TerminalBuffer::eraseFromBow() {
    wrapPending_ = false;
    fillCells(curRow_, 0, curCol_);
    int first = std::min(screenTop(), curRow_);
    for (int r = screenTop(); r < curRow_; ++r)
        fillCells(r, 0, colCount_ - 1);
    invalidate(first, 0, curRow_, colCount_ - 1);
}

void TerminalBuffer::eraseScreen() {
    wrapPending_ = false;
    scrollRows(rowCount_, 0, svRowCount_ - 1);
    invalidateScreen();
}

void TerminalBuffer::eraseAll() {
    clearAllGrids();
    invalidateScreen();
    setCursorPosition(1, 1);
}

void TerminalBuffer::Reset() {
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

void TerminalBuffer::setHorzTabStop() {
    horzTabs_[static_cast<std::size_t>(curCol_)] = true;
}
void TerminalBuffer::clearHorzTabStop() {
    horzTabs_[static_cast<std::size_t>(curCol_)] = false;
}
void TerminalBuffer::clearAllHorzTabStops() {
    std::fill(horzTabs_.begin(), horzTabs_.end(), false);
}

void TerminalBuffer::setVertTabStop() {
    int s = curRow_ - screenTop();
    if (s >= 0 && s < rowCount_) vertTabs_[static_cast<std::size_t>(s)] = true;
}

void TerminalBuffer::clearVertTabStop() {
    int s = curRow_ - screenTop();
    if (s >= 0 && s < rowCount_) vertTabs_[static_cast<std::size_t>(s)] = false;
}

void TerminalBuffer::clearAllVertTabStops() {
    std::fill(vertTabs_.begin(), vertTabs_.end(), false);
}

bool TerminalBuffer::hasHorzTabStop(int col) const {
    return col >= 1 && col <= colCount_ && horzTabs_[static_cast<std::size_t>(col - 1)];
}

void TerminalBuffer::setHorzTabStopAt(int col, bool on) {
    if (col >= 1 && col <= colCount_) horzTabs_[static_cast<std::size_t>(col - 1)] = on;
}

bool TerminalBuffer::hasVertTabStop(int screenRow) const {
    return screenRow >= 1 && screenRow <= rowCount_ && vertTabs_[static_cast<std::size_t>(screenRow - 1)];
}

// ---- colours, character set, attributes ----------------------------------------------------------

void TerminalBuffer::setBackColor(Color c) {
    backColor_ = c;
    backColors_.setDefaultItem(c);
}

void TerminalBuffer::setForeColor(Color c) {
    foreColor_ = c;
    foreColors_.setDefaultItem(c);
}

void TerminalBuffer::setDefBackColor(Color c) {
    if (c == defBackColor_) return;
    backColors_.replaceItems(defBackColor_, c);
    defBackColor_ = c;
}

void TerminalBuffer::setDefForeColor(Color c) {
    if (c == defForeColor_) return;
    foreColors_.replaceItems(defForeColor_, c);
    defForeColor_ = c;
}

void TerminalBuffer::setCharSet(std::uint8_t cs) {
    charSet_ = cs;
    charSets_.setDefaultItem(cs);
}

void TerminalBuffer::setDefAnsiChar(std::uint16_t ch) {
    defAnsiChar_ = ch;
    chars_.setDefaultItem(ch);
}

void TerminalBuffer::setCharAttrs(CharAttrs a) {
    charAttrs_ = a;
    attrs_.setDefaultItem(a);
}

// ---- row access and change tracking --------------------------------------------------------------

char* TerminalBuffer::getLineCharPtr(int row) {
    int r = internalRow(row);
    if (r < 0 || r >= svRowCount_ || colCount_ <= 0) return nullptr;
    return wideChars_ ? reinterpret_cast<char*>(chars_.rowData<std::uint16_t>(r))
                      : reinterpret_cast<char*>(chars_.rowData<std::uint8_t>(r));
}

std::uint8_t* TerminalBuffer::getLineCharSetPtr(int row) {
    int r = internalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : charSets_.rowData<std::uint8_t>(r);
}

CharAttrs* TerminalBuffer::getLineAttrPtr(int row) {
    int r = internalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : attrs_.rowData<std::uint8_t>(r);
}

Color* TerminalBuffer::getLineForeColorPtr(int row) {
    int r = internalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : foreColors_.rowData<std::uint32_t>(r);
}

Color* TerminalBuffer::getLineBackColorPtr(int row) {
    int r = internalRow(row);
    return (r < 0 || r >= svRowCount_ || colCount_ <= 0) ? nullptr : backColors_.rowData<std::uint32_t>(r);
}

bool TerminalBuffer::getInvalidRect(TermRect& rect) {
    if (invalidCount_ == 0) return false;
    rect = invalidUnion_;
    invalidCount_ = 0;
    return true;
}

bool TerminalBuffer::hasCursorMoved() {
    bool moved = cursorMoved_;
    cursorMoved_ = false;
    return moved;
}

void TerminalBuffer::copyContentsFrom(TerminalBuffer& from) {
    if (&from == this || from.wideChars_ != wideChars_) return;
    const int rows = std::min(svRowCount_, from.svRowCount_), cols = std::min(colCount_, from.colCount_);
    TerminalArray* dst[] = {&chars_, &charSets_, &attrs_, &foreColors_, &backColors_};
    TerminalArray* src[] = {&from.chars_, &from.charSets_, &from.attrs_, &from.foreColors_,
                            &from.backColors_};
    for (int g = 0; g < 5; ++g)
        for (int r = 0; r < rows; ++r)
            dst[g]->writeItems(src[g]->getItemPtr(from.svRowCount_ - rows + r, 0), cols,
                               svRowCount_ - rows + r, 0);
    const int row = std::clamp(from.absCursorRow(), firstRow(), lastRow());
    cursorMovedTo(internalRow(row), std::min(from.curCol_, colCount_ - 1));
    invalidateScreen();
}

} // namespace brimwell::terminal
