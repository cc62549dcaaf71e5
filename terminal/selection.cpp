// Selection range, cell marks and selected text.
#include "terminal/selection.h"

#include <algorithm>

namespace brimwell {

bool TQuavSelection::InRange(int col, int row, int sc, int sr, int ec, int er) {
    if (ec <= 0 || row < sr || row > er) return false;
    if (sr == er) return col >= sc && col <= ec;
    if (row == sr) return col >= sc;
    if (row == er) return col <= ec;
    return true;
}

void TQuavSelection::Begin(int col, int row) {
    AnchorCol = StartCol = EndCol = col;
    AnchorRow = StartRow = EndRow = row;
}

void TQuavSelection::DragTo(TQuavTerminalBuffer& b, int col, int row,
                            const std::function<void(int row)>& rowChanged) {
    col = std::clamp(col, 1, b.ColCount());
    row = std::clamp(row, b.FirstRow(), b.LastRow());
    if (row < AnchorRow || (row == AnchorRow && col < AnchorCol))
        setRange(&b, col, row, AnchorCol, AnchorRow, rowChanged);
    else
        setRange(&b, AnchorCol, AnchorRow, col, row, rowChanged);
}

void TQuavSelection::Drop(TQuavTerminalBuffer* b, const std::function<void(int row)>& rowChanged) {
    setRange(b, 0, 0, 0, 0, rowChanged);
    AnchorCol = AnchorRow = 0;
}

void TQuavSelection::setRange(TQuavTerminalBuffer* b, int sc, int sr, int ec, int er,
                              const std::function<void(int row)>& rowChanged) {
    const int oSc = markStartCol_, oSr = markStartRow_, oEc = markEndCol_, oEr = markEndRow_;
    StartCol = markStartCol_ = sc;
    StartRow = markStartRow_ = sr;
    EndCol = markEndCol_ = ec;
    EndRow = markEndRow_ = er;
    if (!b) return;
    const bool oldAny = oEc > 0, newAny = ec > 0;
    if (!oldAny && !newAny) return;
    int first = oldAny ? oSr : sr, last = oldAny ? oEr : er;
    if (newAny) {
        first = std::min(first, sr);
        last = std::max(last, er);
    }
    first = std::max(first, b->FirstRow());
    last = std::min(last, b->LastRow());
    const int cols = b->ColCount();
    for (int row = first; row <= last; ++row) {
        TQuavTerminalCharAttrs* attrs = b->GetLineAttrPtr(row);
        if (!attrs) continue;
        bool changed = false;
        for (int col = 1; col <= cols; ++col) {
            const bool was = InRange(col, row, oSc, oSr, oEc, oEr);
            const bool now = InRange(col, row, sc, sr, ec, er);
            if (was == now) continue;
            if (now)
                attrs[col - 1] |= tcaSelected;
            else
                attrs[col - 1] &= TQuavTerminalCharAttrs(~tcaSelected);
            changed = true;
        }
        if (changed && rowChanged) rowChanged(row);
    }
}

std::string TQuavSelection::text(TQuavTerminalBuffer& b) const {
    if (EndCol <= 0 || b.WideChars()) return {};
    const int cols = b.ColCount();
    std::string text;
    auto addRow = [&](int row, int from, int to) {
        const char* p = b.GetLineCharPtr(row);
        from = std::max(from, 1);
        to = std::min(to, cols);
        if (p && from <= to) text.append(p + from - 1, size_t(to - from + 1));
        text += "\r\n";
    };
    for (int row = StartRow; row < EndRow; ++row)
        addRow(row, row == StartRow ? StartCol : 1, cols);
    addRow(EndRow, StartRow == EndRow ? StartCol : 1, EndCol);
    return text;
}

} // namespace brimwell
