// TQuavTerminalBuffer: the terminal's memory. Five cell grids with scrollback above the screen,
// the cursor, scroll region, tab stops, writing modes and the record of what must be redrawn.
// It knows nothing of pixels, fonts or the serial port.
//
// Rows and columns outside the buffer are 1-based. With absolute addressing rows 1..RowCount are the
// screen and rows 0, -1, ... the scrollback (0 the newest); with relative addressing both count from
// the region's top-left. Line accessors and invalid rectangles always use absolute external rows.
#pragma once

#include "terminal/terminal_array.h"
#include "terminal/terminal_types.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace brimwell {

class TQuavTerminalBuffer;

// What the buffer tells the registered window: once per invalidated rectangle (the original posts
// QmTermNeedsUpdate each time). Implementations should coalesce; this is called for every written cell.
class TQuavTerminalWindowLink {
  public:
    virtual ~TQuavTerminalWindowLink() = default;
    virtual void QmTermNeedsUpdate() = 0;
};

using TQuavOnCursorMovedEvent = std::function<void(TQuavTerminalBuffer* ASender, int Row, int Col)>;
using TQuavScrollRowsNotifyEvent =
    std::function<void(TQuavTerminalBuffer* aSender, int aCount, int aTop, int aBottom)>;

class TQuavTerminalBuffer {
  public:
    // wideChars: two-byte character cells (no emulator of this program asks for them).
    explicit TQuavTerminalBuffer(bool wideChars = false);
    ~TQuavTerminalBuffer();
    TQuavTerminalBuffer(const TQuavTerminalBuffer&) = delete;
    TQuavTerminalBuffer& operator=(const TQuavTerminalBuffer&) = delete;

    // --- dimensions ------------------------------------------------------------------------------
    int ColCount() const { return colCount_; }
    int RowCount() const { return rowCount_; }
    int SVRowCount() const { return svRowCount_; }
    // Each raises ETerminalError "... new count too small" for n < 2 and then changes nothing.
    void tbSetColCount(int n);
    void tbSetRowCount(int n); // ignored when n > SVRowCount
    void tbSetSVRowCount(int n);
    bool WideChars() const { return wideChars_; }

    // --- cursor (external, per addressing mode) ---------------------------------------------------
    int tbGetCol() const;
    int tbGetRow() const;
    void tbSetCol(int c);
    void tbSetRow(int r);
    int Col() const { return tbGetCol(); }
    int Row() const { return tbGetRow(); }
    // The region's top-left in absolute external numbers.
    int tbGetOriginCol() const { return regionLeft_ + 1; }
    int tbGetOriginRow() const { return regionTop_ - (svRowCount_ - rowCount_) + 1; }
    int OriginCol() const { return tbGetOriginCol(); }
    int OriginRow() const { return tbGetOriginRow(); }
    // The cursor in absolute external numbers whatever the addressing mode (for caret and painting).
    int AbsCursorRow() const { return curRow_ - (svRowCount_ - rowCount_) + 1; }
    int AbsCursorCol() const { return curCol_ + 1; }
    bool WrapPending() const { return wrapPending_; }

    // --- current and default cell values ----------------------------------------------------------
    TColor BackColor() const { return backColor_; }
    TColor ForeColor() const { return foreColor_; }
    void tbSetBackColor(TColor c);
    void tbSetForeColor(TColor c);
    TColor DefBackColor() const { return defBackColor_; }
    TColor DefForeColor() const { return defForeColor_; }
    // Every stored cell with the old default takes the new one; nothing is invalidated.
    void tbSetDefBackColor(TColor c);
    void tbSetDefForeColor(TColor c);
    std::uint8_t CharSet() const { return charSet_; }
    void tbSetCharSet(std::uint8_t cs);
    std::uint16_t DefAnsiChar() const { return defAnsiChar_; }
    void tbSetDefAnsiChar(std::uint16_t ch);
    TQuavTerminalCharAttrs GetCharAttrs() const { return charAttrs_; }
    void SetCharAttrs(TQuavTerminalCharAttrs a);
    TQuavTerminalCharAttrs GetDefCharAttrs() const { return defCharAttrs_; }
    void SetDefCharAttrs(TQuavTerminalCharAttrs a) { defCharAttrs_ = a; }

    // --- modes ----------------------------------------------------------------------------------
    bool UseAbsAddress() const { return useAbsAddress_; }
    bool UseAutoWrap() const { return useAutoWrap_; }
    bool UseAutoWrapDelay() const { return useAutoWrapDelay_; }
    bool UseInsertMode() const { return useInsertMode_; }
    bool UseNewLineMode() const { return useNewLineMode_; }
    bool UseScrollRegion() const { return useScrollRegion_; }
    void SetUseAbsAddress(bool on) { useAbsAddress_ = on; }
    void SetUseAutoWrap(bool on) { useAutoWrap_ = on; }
    void SetUseAutoWrapDelay(bool on) { useAutoWrapDelay_ = on; }
    void SetUseInsertMode(bool on) { useInsertMode_ = on; }
    void SetUseNewLineMode(bool on) { useNewLineMode_ = on; }
    // Switching moves the cursor to the region's top-left.
    void tbSetUseScrollRegion(bool on);

    // --- writing and cursor operations ----------------------------------------------------------
    void WriteChar(std::uint16_t ch);
    void WriteString(std::string_view s);
    // As WriteChar for each of the first bytes of `s` that fit before the region's last column, with
    // one change record and one cursor move for all; returns how many it wrote (0 when the next must
    // go through WriteChar: a pending wrap, insert mode, wide cells or the last column).
    int WriteRun(const char* s, int n);
    void DoCarriageReturn();
    void DoLineFeed();
    void DoBackspace();
    void DoHorzTab();
    void DoBackHorzTab();
    void DoVertTab();
    void DoBackVertTab();
    void MoveCursorUp(bool scroll);
    void MoveCursorDown(bool scroll);
    void MoveCursorLeft(bool wrap, bool scroll);
    void MoveCursorRight(bool wrap, bool scroll);
    void SetCursorPosition(int row, int col);
    void SetScrollRegion(int top, int bottom);

    // --- editing --------------------------------------------------------------------------------
    void InsertChars(int n);
    void DeleteChars(int n);
    void InsertLines(int n);
    void DeleteLines(int n);
    void EraseChars(int n);
    void EraseToEOL();
    void EraseFromBOL();
    void EraseLine();
    void EraseToEOW();
    void EraseFromBOW();
    void EraseScreen(); // the screen moves into the scrollback; the cursor stays
    void EraseAll();    // everything blank, scrollback included; cursor home
    // Cursor to column 1 of the row below the lowest screen row in use (holding text, or the
    // cursor's row when the cursor is past its first column), scrolling when that is the bottom
    // row; on a blank screen to row 1, column 1. What is shown is never overwritten.
    void StartFreshLine();
    void Reset();
    // Every cell and the cursor of `from`, rows aligned at the bottom: a terminal switching emulators
    // keeps what it shows.
    void CopyContentsFrom(TQuavTerminalBuffer& from);

    // --- tab stops ------------------------------------------------------------------------------
    void SetHorzTabStop();
    void ClearHorzTabStop();
    void ClearAllHorzTabStops();
    void SetVertTabStop();
    void ClearVertTabStop();
    void ClearAllVertTabStops();
    bool HasHorzTabStop(int col) const;       // external column 1..ColCount
    void SetHorzTabStopAt(int col, bool on);  // external column 1..ColCount; others ignored
    bool HasVertTabStop(int screenRow) const; // screen row 1..RowCount

    // --- direct row access (absolute external row; nullptr outside the buffer) -------------------
    // With one-byte cells GetLineCharPtr is the row's text; with two-byte cells it points at
    // ColCount 16-bit items.
    char* GetLineCharPtr(int row);
    std::uint8_t* GetLineCharSetPtr(int row);
    TQuavTerminalCharAttrs* GetLineAttrPtr(int row);
    TColor* GetLineForeColorPtr(int row);
    TColor* GetLineBackColorPtr(int row);
    // Lowest and highest absolute external rows held: RowCount - SVRowCount + 1 .. RowCount.
    int FirstRow() const { return rowCount_ - svRowCount_ + 1; }
    int LastRow() const { return rowCount_; }

    // --- change tracking ------------------------------------------------------------------------
    // False if nothing is pending; else takes the union of everything pending.
    bool GetInvalidRect(TQuavTermRect& rect);
    bool HasDisplayChanged() const { return invalidCount_ > 0; }
    // Returns the cursor-moved flag and clears it.
    bool HasCursorMoved();
    void RegisterTerminalHandle(TQuavTerminalWindowLink* window) { window_ = window; }
    void DeregisterTerminalHandle() { window_ = nullptr; }
    TQuavTerminalWindowLink* TerminalHandle() const { return window_; }
    // Invalidate cells of absolute external rows (for the view, e.g. a selection change).
    void InvalidateCells(int leftCol, int topRow, int rightCol, int bottomRow);

    TQuavOnCursorMovedEvent OnCursorMoved;
    TQuavScrollRowsNotifyEvent OnScrollRows;

    // The grids themselves, for painters and the VT100 emulator (internal row numbers).
    TQuavTerminalArray& CharGrid() { return chars_; }
    TQuavTerminalArray& CharSetGrid() { return charSets_; }
    TQuavTerminalArray& AttrGrid() { return attrs_; }
    TQuavTerminalArray& ForeColorGrid() { return foreColors_; }
    TQuavTerminalArray& BackColorGrid() { return backColors_; }
    // Internal row of an absolute external row.
    int InternalRow(int absRow) const { return absRow + svRowCount_ - rowCount_ - 1; }

  private:
    int screenTop() const { return svRowCount_ - rowCount_; }
    int regionRight() const { return regionLeft_ + regionWidth_ - 1; }
    int regionBottom() const { return regionTop_ + regionHeight_ - 1; }
    void cursorMovedTo(int row, int col);
    void fireCursorEvent();
    void invalidate(int r1, int c1, int r2, int c2); // internal rows and columns
    void invalidateRegion();
    void invalidateScreen();
    void scrollRows(int count, int top, int bottom); // internal rows, all grids, raises OnScrollRows
    void scrollUpForNewLine();
    void fillCells(int row, int fromCol, int toCol);
    bool rowHasText(int row) const; // internal row
    void clearAllGrids();
    void defaultHorzTabStops();
    void applyRegion();
    void setFillValues();
    void resizeGrids(int rows, int cols);

    TQuavTerminalCharAttrs charAttrs_ = 0;
    TColor backColor_ = clBlack;
    bool wrapPending_ = false;
    std::uint8_t charSet_ = 0;
    int colCount_ = 80;
    int curCol_ = 0;
    bool cursorMoved_ = false;
    int curRow_ = 0;
    std::uint16_t defAnsiChar_ = ' ';
    TQuavTerminalCharAttrs defCharAttrs_ = 0;
    std::uint8_t defCharSet_ = 0;
    TColor defBackColor_ = clBlack;
    TColor defForeColor_ = clSilver;
    int regionLeft_ = 0;
    int regionTop_ = 0;
    int regionWidth_ = 80;
    int regionHeight_ = 24;
    TColor foreColor_ = clSilver;
    std::vector<bool> horzTabs_;
    // Pending rectangles are kept as their running union: the only reader takes the union anyway,
    // and a union costs nothing per written cell.
    TQuavTermRect invalidUnion_;
    int invalidCount_ = 0;
    int rowCount_ = 24;
    int storedTop_ = 0;
    int storedBottom_ = 0;
    int svRowCount_ = 200;
    bool useAbsAddress_ = true;
    bool useAutoWrap_ = true;
    bool useAutoWrapDelay_ = true;
    bool useInsertMode_ = false;
    bool useNewLineMode_ = false;
    bool useScrollRegion_ = false;
    bool wideChars_ = false;
    std::vector<bool> vertTabs_;
    TQuavTerminalArray chars_;
    TQuavTerminalArray charSets_;
    TQuavTerminalArray attrs_;
    TQuavTerminalArray foreColors_;
    TQuavTerminalArray backColors_;
    TQuavTerminalWindowLink* window_ = nullptr;
};

} // namespace brimwell
