// Which part of the buffer a terminal view shows: the origin cell, how many cells fit, whether the
// view is too small for the buffer, which scroll bars that calls for, and where the origin may go.
// Plain C++ so the rules are tested without a window and shared by every emulator's view.
#pragma once

namespace brimwell::terminal {

struct ScrollRange {
    int min = 0;
    int max = 0;
    int page = 1;
    int position = 0;
};

class Viewport {
  public:
    // Buffer column and row (absolute, 1-based) at the top-left corner.
    int originCol = 1;
    int originRow = 1;
    // Cells at least partly / wholly visible from the origin, capped at what the buffer has left.
    int visibleCols = 0, fullCols = 0, visibleRows = 0, fullRows = 0;
    bool horzTooSmall = false, vertTooSmall = false;
    // Options and cursor notes that decide the bars.
    bool scrollback = false;
    bool hideScrollbars = false;
    bool cursorBeyondCols = false, cursorBeyondRows = false;

    // The buffer the view shows.
    void setBuffer(int cols, int rows, int svRows) {
        cols_ = cols;
        rows_ = rows;
        svRows_ = svRows;
    }
    int columns() const { return cols_; }
    int rows() const { return rows_; }
    int scrollbackRows() const { return svRows_; }

    // Counts and too-small flags for a client area of w x h pixels and cells of cw x ch.
    void computeExtent(int w, int h, int cw, int ch);
    void clear() { visibleCols = visibleRows = 0; }

    bool hBarNeeded() const;
    bool vBarNeeded() const;
    ScrollRange hBarRange() const;
    ScrollRange vBarRange() const;
    int lowestOriginRow() const;

    // The origin clamped to where it may go; returns whether it changed.
    bool setOrigin(int col, int row);
    // The origin that keeps the cursor (absolute row and column) in view.
    void followTarget(int row, int col, int& newCol, int& newRow) const;
    // The origin after the client area grew to w x h: no empty columns or rows past the buffer's end.
    void resizeTarget(int w, int h, int cw, int ch, int& newCol, int& newRow) const;

  private:
    int cols_ = 0, rows_ = 0, svRows_ = 0;
};

} // namespace brimwell::terminal
