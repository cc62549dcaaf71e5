// TerminalBuffer: the terminal's memory. Five cell grids with scrollback above the screen,
// the cursor, scroll region, tab stops, writing modes and the record of what must be redrawn.
// It knows nothing of pixels, fonts or the serial port.
//
// Rows and columns outside the buffer are 1-based. With absolute addressing rows 1..rowCount are the
// screen and rows 0, -1, ... the scrollback (0 the newest); with relative addressing both count from
// the region's top-left. Line accessors and invalid rectangles always use absolute external rows.
#pragma once

#include "terminal/terminal_array.h"
#include "terminal/terminal_types.h"

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace brimwell::terminal {

class TerminalBuffer;

// What the buffer tells the registered window: once per invalidated rectangle (the original posts
// termNeedsUpdate each time). Implementations should coalesce; this is called for every written cell.
class TerminalWindowLink {
  public:
    virtual ~TerminalWindowLink() = default;
    virtual void termNeedsUpdate() = 0;
};

using OnCursorMovedEvent = std::function<void(TerminalBuffer* ASender, int Row, int Col)>;
using ScrollRowsNotifyEvent = std::function<void(TerminalBuffer* aSender, int aCount, int aTop, int aBottom)>;

class TerminalBuffer {
  public:
    // wideChars: two-byte character cells (no emulator of this program asks for them).
    explicit TerminalBuffer(bool wideChars = false);
    ~TerminalBuffer();
    TerminalBuffer(const TerminalBuffer&) = delete;
    TerminalBuffer& operator=(const TerminalBuffer&) = delete;

    // --- dimensions ------------------------------------------------------------------------------
    int colCount() const { return colCount_; }
    int rowCount() const { return rowCount_; }
    int svRowCount() const { return svRowCount_; }
    // Each raises TerminalBufferError "... new count too small" for n < 2 and then changes nothing.
    void setColCount(int n);
    void setRowCount(int n); // ignored when n > svRowCount
    void setSvRowCount(int n);
    bool wideChars() const { return wideChars_; }

    // --- cursor (external, per addressing mode) ---------------------------------------------------
    int cursorCol() const;
    int cursorRow() const;
    void setCursorCol(int c);
    void setCursorRow(int r);
    // The region's top-left in absolute external numbers.
    int originCol() const { return regionLeft_ + 1; }
    int originRow() const { return regionTop_ - (svRowCount_ - rowCount_) + 1; }
    // The cursor in absolute external numbers whatever the addressing mode (for caret and painting).
    int absCursorRow() const { return curRow_ - (svRowCount_ - rowCount_) + 1; }
    int absCursorCol() const { return curCol_ + 1; }
    bool wrapPending() const { return wrapPending_; }

    // --- current and default cell values ----------------------------------------------------------
    Color backColor() const { return backColor_; }
    Color foreColor() const { return foreColor_; }
    void setBackColor(Color c);
    void setForeColor(Color c);
    Color defBackColor() const { return defBackColor_; }
    Color defForeColor() const { return defForeColor_; }
    // Every stored cell with the old default takes the new one; nothing is invalidated.
    void setDefBackColor(Color c);
    void setDefForeColor(Color c);
    std::uint8_t charSet() const { return charSet_; }
    void setCharSet(std::uint8_t cs);
    std::uint16_t defAnsiChar() const { return defAnsiChar_; }
    void setDefAnsiChar(std::uint16_t ch);
    CharAttrs getCharAttrs() const { return charAttrs_; }
    void setCharAttrs(CharAttrs a);
    CharAttrs getDefCharAttrs() const { return defCharAttrs_; }
    void setDefCharAttrs(CharAttrs a) { defCharAttrs_ = a; }

    // --- modes ----------------------------------------------------------------------------------
    bool useAbsAddress() const { return useAbsAddress_; }
    bool useAutoWrap() const { return useAutoWrap_; }
    bool useAutoWrapDelay() const { return useAutoWrapDelay_; }
    bool useInsertMode() const { return useInsertMode_; }
    bool useNewLineMode() const { return useNewLineMode_; }
    bool useScrollRegion() const { return useScrollRegion_; }
    void setUseAbsAddress(bool on) { useAbsAddress_ = on; }
    void setUseAutoWrap(bool on) { useAutoWrap_ = on; }
    void setUseAutoWrapDelay(bool on) { useAutoWrapDelay_ = on; }
    void setUseInsertMode(bool on) { useInsertMode_ = on; }
    void setUseNewLineMode(bool on) { useNewLineMode_ = on; }
    // Switching moves the cursor to the region's top-left.
    void setUseScrollRegion(bool on);

    // --- writing and cursor operations ----------------------------------------------------------
    void writeChar(std::uint16_t ch);
    void writeString(std::string_view s);
    // As writeChar for each of the first bytes of `s` that fit before the region's last column, with
    // one change record and one cursor move for all; returns how many it wrote (0 when the next must
    // go through writeChar: a pending wrap, insert mode, wide cells or the last column).
    int writeRun(const char* s, int n);
    void doCarriageReturn();
    void doLineFeed();
    void doBackspace();
    void doHorzTab();
    void doBackHorzTab();
    void doVertTab();
    void doBackVertTab();
    void moveCursorUp(bool scroll);
    void moveCursorDown(bool scroll);
    void moveCursorLeft(bool wrap, bool scroll);
    void moveCursorRight(bool wrap, bool scroll);
    void setCursorPosition(int row, int col);
    void setScrollRegion(int top, int bottom);

    // --- editing --------------------------------------------------------------------------------
    void insertChars(int n);
    void deleteChars(int n);
    void insertLines(int n);
    void deleteLines(int n);
    void eraseChars(int n);
    void eraseToEol();
    void eraseFromBol();
    void eraseLine();
    void eraseToEow();
    void eraseFromBow();
    void eraseScreen(); // the screen moves into the scrollback; the cursor stays
    void eraseAll();    // everything blank, scrollback included; cursor home
    // Cursor to column 1 of the row below the lowest screen row in use (holding text, or the
    // cursor's row when the cursor is past its first column), scrolling when that is the bottom
    // row; on a blank screen to row 1, column 1. What is shown is never overwritten.
    void startFreshLine();
    void Reset();
    // Every cell and the cursor of `from`, rows aligned at the bottom: a terminal switching emulators
    // keeps what it shows.
    void copyContentsFrom(TerminalBuffer& from);

    // --- tab stops ------------------------------------------------------------------------------
    void setHorzTabStop();
    void clearHorzTabStop();
    void clearAllHorzTabStops();
    void setVertTabStop();
    void clearVertTabStop();
    void clearAllVertTabStops();
    bool hasHorzTabStop(int col) const;       // external column 1..colCount
    void setHorzTabStopAt(int col, bool on);  // external column 1..colCount; others ignored
    bool hasVertTabStop(int screenRow) const; // screen row 1..rowCount

    // --- direct row access (absolute external row; nullptr outside the buffer) -------------------
    // With one-byte cells getLineCharPtr is the row's text; with two-byte cells it points at
    // colCount 16-bit items.
    char* getLineCharPtr(int row);
    std::uint8_t* getLineCharSetPtr(int row);
    CharAttrs* getLineAttrPtr(int row);
    Color* getLineForeColorPtr(int row);
    Color* getLineBackColorPtr(int row);
    // Lowest and highest absolute external rows held: rowCount - svRowCount + 1 .. rowCount.
    int firstRow() const { return rowCount_ - svRowCount_ + 1; }
    int lastRow() const { return rowCount_; }

    // --- change tracking ------------------------------------------------------------------------
    // False if nothing is pending; else takes the union of everything pending.
    bool getInvalidRect(TermRect& rect);
    bool hasDisplayChanged() const { return invalidCount_ > 0; }
    // Returns the cursor-moved flag and clears it.
    bool hasCursorMoved();
    void registerTerminalHandle(TerminalWindowLink* window) { window_ = window; }
    void deregisterTerminalHandle() { window_ = nullptr; }
    TerminalWindowLink* terminalHandle() const { return window_; }
    // Invalidate cells of absolute external rows (for the view, e.g. a selection change).
    void invalidateCells(int leftCol, int topRow, int rightCol, int bottomRow);

    OnCursorMovedEvent onCursorMoved;
    ScrollRowsNotifyEvent onScrollRows;

    // The grids themselves, for painters and the VT100 emulator (internal row numbers).
    TerminalArray& charGrid() { return chars_; }
    TerminalArray& charSetGrid() { return charSets_; }
    TerminalArray& attrGrid() { return attrs_; }
    TerminalArray& foreColorGrid() { return foreColors_; }
    TerminalArray& backColorGrid() { return backColors_; }
    // Internal row of an absolute external row.
    int internalRow(int absRow) const { return absRow + svRowCount_ - rowCount_ - 1; }

  private:
    int screenTop() const { return svRowCount_ - rowCount_; }
    int regionRight() const { return regionLeft_ + regionWidth_ - 1; }
    int regionBottom() const { return regionTop_ + regionHeight_ - 1; }
    void cursorMovedTo(int row, int col);
    void fireCursorEvent();
    void invalidate(int r1, int c1, int r2, int c2); // internal rows and columns
    void invalidateRegion();
    void invalidateScreen();
    void scrollRows(int count, int top, int bottom); // internal rows, all grids, raises onScrollRows
    void scrollUpForNewLine();
    void fillCells(int row, int fromCol, int toCol);
    bool rowHasText(int row) const; // internal row
    void clearAllGrids();
    void defaultHorzTabStops();
    void applyRegion();
    void setFillValues();
    void resizeGrids(int rows, int cols);

    CharAttrs charAttrs_ = 0;
    Color backColor_ = kBlack;
    bool wrapPending_ = false;
    std::uint8_t charSet_ = 0;
    int colCount_ = 80;
    int curCol_ = 0;
    bool cursorMoved_ = false;
    int curRow_ = 0;
    std::uint16_t defAnsiChar_ = ' ';
    CharAttrs defCharAttrs_ = 0;
    std::uint8_t defCharSet_ = 0;
    Color defBackColor_ = kBlack;
    Color defForeColor_ = kSilver;
    int regionLeft_ = 0;
    int regionTop_ = 0;
    int regionWidth_ = 80;
    int regionHeight_ = 24;
    Color foreColor_ = kSilver;
    std::vector<bool> horzTabs_;
    // Pending rectangles are kept as their running union: the only reader takes the union anyway,
    // and a union costs nothing per written cell.
    TermRect invalidUnion_;
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
    TerminalArray chars_;
    TerminalArray charSets_;
    TerminalArray attrs_;
    TerminalArray foreColors_;
    TerminalArray backColors_;
    TerminalWindowLink* window_ = nullptr;
};

} // namespace brimwell::terminal
