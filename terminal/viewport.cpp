// The view origin, visible counts and scroll-bar rules of a terminal view.
#include "terminal/viewport.h"

#include <algorithm>

namespace brimwell::terminal {

void Viewport::computeExtent(int w, int h, int cw, int ch) {
    if (cw <= 0 || ch <= 0) {
        clear();
        return;
    }
    const int capCols = std::max(0, cols_ - originCol + 1);
    const int capRows = std::max(0, rows_ - originRow + 1);
    visibleCols = std::min((w + cw - 1) / cw, capCols);
    fullCols = std::min(w / cw, capCols);
    visibleRows = std::min((h + ch - 1) / ch, capRows);
    fullRows = std::min(h / ch, capRows);
    horzTooSmall = fullCols < cols_;
    vertTooSmall = fullRows < rows_;
}

bool Viewport::hBarNeeded() const {
    return hideScrollbars ? (horzTooSmall && cursorBeyondCols) : horzTooSmall;
}

bool Viewport::vBarNeeded() const {
    const bool small = hideScrollbars ? (vertTooSmall && cursorBeyondRows) : vertTooSmall;
    return small || (svRows_ > rows_ && scrollback);
}

int Viewport::lowestOriginRow() const {
    return (!vertTooSmall || scrollback) ? rows_ - svRows_ + 1 : 1;
}

ScrollRange Viewport::hBarRange() const {
    return {0, std::max(0, cols_ - fullCols), std::max(1, fullCols), originCol - 1};
}

ScrollRange Viewport::vBarRange() const {
    const int low = (!vertTooSmall || scrollback) ? rows_ - svRows_ : 0;
    return {low, std::max(low, rows_ - fullRows), std::max(1, fullRows), originRow - 1};
}

bool Viewport::setOrigin(int col, int row) {
    const int maxCol = std::max(1, cols_ - fullCols + 1);
    const int maxRow = std::max(1, rows_ - fullRows + 1);
    col = std::clamp(col, 1, maxCol);
    row = std::clamp(row, std::min(lowestOriginRow(), maxRow), maxRow);
    if (col == originCol && row == originRow) return false;
    originCol = col;
    originRow = row;
    return true;
}

void Viewport::followTarget(int row, int col, int& newCol, int& newRow) const {
    newCol = originCol;
    newRow = originRow;
    if (col < originCol)
        newCol = col;
    else if (col > originCol + fullCols)
        newCol = col - fullCols;
    if (row < originRow)
        newRow = row;
    else if (row >= originRow + fullRows)
        newRow = row - fullRows;
}

void Viewport::resizeTarget(int w, int h, int cw, int ch, int& newCol, int& newRow) const {
    newCol = originCol;
    newRow = originRow;
    if (cw > 0 && originCol > 1 && visibleCols * cw < w) newCol = cols_ - w / cw + 1;
    if (ch > 0 && originRow > 1 && visibleRows * ch < h) newRow = rows_ - h / ch + 1;
}

} // namespace brimwell::terminal
