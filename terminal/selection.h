// A terminal's text selection: the anchor where the drag began, the range in reading order, the
// tcaSelected marks in the buffer's cells, and the selected text. Plain C++, tested without a window.
#pragma once

#include "terminal/terminal_buffer.h"

#include <functional>
#include <string>

namespace brimwell {

class TQuavSelection {
  public:
    int AnchorCol = 0, AnchorRow = 0;
    // The range (absolute rows, 1-based columns), reading order; EndCol 0 means none.
    int StartCol = 0, StartRow = 0, EndCol = 0, EndRow = 0;

    bool empty() const { return EndCol <= 0; }
    // A press: anchor and range on one cell, nothing marked yet.
    void Begin(int col, int row);
    // A drag to (col, row), clamped into the buffer: the range from the anchor to there is marked.
    // rowChanged is told of each row whose marks changed.
    void DragTo(TQuavTerminalBuffer& b, int col, int row, const std::function<void(int row)>& rowChanged);
    // Marks removed, range and anchor emptied.
    void Drop(TQuavTerminalBuffer* b, const std::function<void(int row)>& rowChanged);
    // Rows from the start row up to the end row joined with CR LF, trailing spaces kept.
    std::string text(TQuavTerminalBuffer& b) const;

    static bool InRange(int col, int row, int sc, int sr, int ec, int er);

  private:
    void setRange(TQuavTerminalBuffer* b, int sc, int sr, int ec, int er,
                  const std::function<void(int row)>& rowChanged);
    // The range as last marked in the cells (a press alone marks nothing).
    int markStartCol_ = 0, markStartRow_ = 0, markEndCol_ = 0, markEndRow_ = 0;
};

} // namespace brimwell
