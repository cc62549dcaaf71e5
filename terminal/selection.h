// A terminal's text selection: the anchor where the drag began, the range in reading order, the
// kAttrSelected marks in the buffer's cells, and the selected text. Plain C++, tested without a window.
#pragma once

#include "terminal/terminal_buffer.h"

#include <functional>
#include <string>

namespace brimwell::terminal {

class Selection {
  public:
    int anchorCol = 0, anchorRow = 0;
    // The range (absolute rows, 1-based columns), reading order; endCol 0 means none.
    int startCol = 0, startRow = 0, endCol = 0, endRow = 0;

    bool empty() const { return endCol <= 0; }
    // A press: anchor and range on one cell, nothing marked yet.
    void begin(int col, int row);
    // A drag to (col, row), clamped into the buffer: the range from the anchor to there is marked.
    // rowChanged is told of each row whose marks changed.
    void dragTo(TerminalBuffer& b, int col, int row, const std::function<void(int row)>& rowChanged);
    // Marks removed, range and anchor emptied.
    void drop(TerminalBuffer* b, const std::function<void(int row)>& rowChanged);
    // Rows from the start row up to the end row joined with CR LF, trailing spaces kept.
    std::string text(TerminalBuffer& b) const;

    static bool inRange(int col, int row, int sc, int sr, int ec, int er);

  private:
    void setRange(TerminalBuffer* b, int sc, int sr, int ec, int er,
                  const std::function<void(int row)>& rowChanged);
    // The range as last marked in the cells (a press alone marks nothing).
    int markStartCol_ = 0, markStartRow_ = 0, markEndCol_ = 0, markEndRow_ = 0;
};

} // namespace brimwell::terminal
