// The view origin, visible counts and scroll-bar rules of a terminal view.
#include "terminal/viewport.h"

#include <algorithm>

namespace brimwell {

void TQuavViewport::ComputeExtent(int w, int h, int cw, int ch) {
    if (cw <= 0 || ch <= 0) {
        clear();
        return;
    }
    const int capCols = std::max(0, cols_ - OriginCol + 1);
    const int capRows = std::max(0, rows_ - OriginRow + 1);
    VisibleCols = std::min((w + cw - 1) / cw, capCols);
    FullCols = std::min(w / cw, capCols);
    VisibleRows = std::min((h + ch - 1) / ch, capRows);
    FullRows = std::min(h / ch, capRows);
    HorzTooSmall = FullCols < cols_;
    VertTooSmall = FullRows < rows_;
}

bool TQuavViewport::HBarNeeded() const {
    return HideScrollbars ? (HorzTooSmall && CursorBeyondCols) : HorzTooSmall;
}

bool TQuavViewport::VBarNeeded() const {
    const bool small = HideScrollbars ? (VertTooSmall && CursorBeyondRows) : VertTooSmall;
    return small || (svRows_ > rows_ && Scrollback);
}

int TQuavViewport::LowestOriginRow() const {
    return (!VertTooSmall || Scrollback) ? rows_ - svRows_ + 1 : 1;
}

TQuavScrollRange TQuavViewport::HBarRange() const {
    return {0, std::max(0, cols_ - FullCols), std::max(1, FullCols), OriginCol - 1};
}

TQuavScrollRange TQuavViewport::VBarRange() const {
    const int low = (!VertTooSmall || Scrollback) ? rows_ - svRows_ : 0;
    return {low, std::max(low, rows_ - FullRows), std::max(1, FullRows), OriginRow - 1};
}

bool TQuavViewport::SetOrigin(int col, int row) {
    const int maxCol = std::max(1, cols_ - FullCols + 1);
    const int maxRow = std::max(1, rows_ - FullRows + 1);
    col = std::clamp(col, 1, maxCol);
    row = std::clamp(row, std::min(LowestOriginRow(), maxRow), maxRow);
    if (col == OriginCol && row == OriginRow) return false;
    OriginCol = col;
    OriginRow = row;
    return true;
}

void TQuavViewport::FollowTarget(int row, int col, int& newCol, int& newRow) const {
    newCol = OriginCol;
    newRow = OriginRow;
    if (col < OriginCol)
        newCol = col;
    else if (col > OriginCol + FullCols)
        newCol = col - FullCols;
    if (row < OriginRow)
        newRow = row;
    else if (row >= OriginRow + FullRows)
        newRow = row - FullRows;
}

void TQuavViewport::ResizeTarget(int w, int h, int cw, int ch, int& newCol, int& newRow) const {
    newCol = OriginCol;
    newRow = OriginRow;
    if (cw > 0 && OriginCol > 1 && VisibleCols * cw < w) newCol = cols_ - w / cw + 1;
    if (ch > 0 && OriginRow > 1 && VisibleRows * ch < h) newRow = rows_ - h / ch + 1;
}

} // namespace brimwell
