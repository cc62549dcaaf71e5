// Which part of the buffer a terminal view shows: the origin cell, how many cells fit, whether the
// view is too small for the buffer, which scroll bars that calls for, and where the origin may go.
// Plain C++ so the rules are tested without a window and shared by every emulator's view.
#pragma once

namespace brimwell {

struct TQuavScrollRange {
    int Min = 0;
    int Max = 0;
    int Page = 1;
    int Position = 0;
};

class TQuavViewport {
  public:
    // Buffer column and row (absolute, 1-based) at the top-left corner.
    int OriginCol = 1;
    int OriginRow = 1;
    // Cells at least partly / wholly visible from the origin, capped at what the buffer has left.
    int VisibleCols = 0, FullCols = 0, VisibleRows = 0, FullRows = 0;
    bool HorzTooSmall = false, VertTooSmall = false;
    // Options and cursor notes that decide the bars.
    bool Scrollback = false;
    bool HideScrollbars = false;
    bool CursorBeyondCols = false, CursorBeyondRows = false;

    // The buffer the view shows.
    void SetBuffer(int cols, int rows, int svRows) {
        cols_ = cols;
        rows_ = rows;
        svRows_ = svRows;
    }
    int Columns() const { return cols_; }
    int Rows() const { return rows_; }
    int ScrollbackRows() const { return svRows_; }

    // Counts and too-small flags for a client area of w x h pixels and cells of cw x ch.
    void ComputeExtent(int w, int h, int cw, int ch);
    void clear() { VisibleCols = VisibleRows = 0; }

    bool HBarNeeded() const;
    bool VBarNeeded() const;
    TQuavScrollRange HBarRange() const;
    TQuavScrollRange VBarRange() const;
    int LowestOriginRow() const;

    // The origin clamped to where it may go; returns whether it changed.
    bool SetOrigin(int col, int row);
    // The origin that keeps the cursor (absolute row and column) in view.
    void FollowTarget(int row, int col, int& newCol, int& newRow) const;
    // The origin after the client area grew to w x h: no empty columns or rows past the buffer's end.
    void ResizeTarget(int w, int h, int cw, int ch, int& newCol, int& newRow) const;

  private:
    int cols_ = 0, rows_ = 0, svRows_ = 0;
};

} // namespace brimwell
