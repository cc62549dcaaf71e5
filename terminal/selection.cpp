// Selection range, cell marks and selected text.
#include "terminal/selection.h"

#include <algorithm>

namespace brimwell::terminal {

bool Selection::inRange(int col, int row, int sc, int sr, int ec, int er) {
    if (ec <= 0 || row < sr || row > er) return false;
    if (sr == er) return col >= sc && col <= ec;
    if (row == sr) return col >= sc;
    if (row == er) return col <= ec;
    return true;
}

void Selection::begin(int col, int row) {
    anchorCol = startCol = endCol = col;
    anchorRow = startRow = endRow = row;
}

void Selection::dragTo(TerminalBuffer& b, int col, int row, const std::function<void(int row)>& rowChanged) {
    col = std::clamp(col, 1, b.colCount());
    row = std::clamp(row, b.firstRow(), b.lastRow());
    if (row < anchorRow || (row == anchorRow && col < anchorCol))
        setRange(&b, col, row, anchorCol, anchorRow, rowChanged);
    else
        setRange(&b, anchorCol, anchorRow, col, row, rowChanged);
}

void Selection::drop(TerminalBuffer* b, const std::function<void(int row)>& rowChanged) {
    setRange(b, 0, 0, 0, 0, rowChanged);
    anchorCol = anchorRow = 0;
}

void Selection::setRange(TerminalBuffer* b, int sc, int sr, int ec, int er,
                         const std::function<void(int row)>& rowChanged) {
    const int oSc = markStartCol_, oSr = markStartRow_, oEc = markEndCol_, oEr = markEndRow_;
    startCol = markStartCol_ = sc;
    startRow = markStartRow_ = sr;
    endCol = markEndCol_ = ec;
    endRow = markEndRow_ = er;
    if (!b) return;
    const bool oldAny = oEc > 0, newAny = ec > 0;
    if (!oldAny && !newAny) return;
    int first = oldAny ? oSr : sr, last = oldAny ? oEr : er;
    if (newAny) {
        first = std::min(first, sr);
        last = std::max(last, er);
    }
    first = std::max(first, b->firstRow());
    last = std::min(last, b->lastRow());
    const int cols = b->colCount();
    for (int row = first; row <= last; ++row) {
        CharAttrs* attrs = b->getLineAttrPtr(row);
        if (!attrs) continue;
        bool changed = false;
        for (int col = 1; col <= cols; ++col) {
            const bool was = inRange(col, row, oSc, oSr, oEc, oEr);
            const bool now = inRange(col, row, sc, sr, ec, er);
            if (was == now) continue;
            if (now)
                attrs[col - 1] |= kAttrSelected;
            else
                attrs[col - 1] &= CharAttrs(~kAttrSelected);
            changed = true;
        }
        if (changed && rowChanged) rowChanged(row);
    }
}

std::string Selection::text(TerminalBuffer& b) const {
    if (endCol <= 0 || b.wideChars()) return {};
    const int cols = b.colCount();
    std::string text;
    auto addRow = [&](int row, int from, int to) {
        const char* p = b.getLineCharPtr(row);
        from = std::max(from, 1);
        to = std::min(to, cols);
        if (p && from <= to) text.append(p + from - 1, size_t(to - from + 1));
        text += "\r\n";
    };
    for (int row = startRow; row < endRow; ++row)
        addRow(row, row == startRow ? startCol : 1, cols);
    addRow(endRow, startRow == endRow ? startCol : 1, endCol);
    return text;
}

} // namespace brimwell::terminal
