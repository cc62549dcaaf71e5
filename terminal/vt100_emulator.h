// TQuavVT100Emulator: the VT100 (and VT52) terminal. Received bytes go through TQuavVT100Parser into
// the buffer; keys go out through the keyboard mapping; characters of the designated sets are drawn
// through the character-set mapping; rows may be double width or height; text may blink.
#pragma once

#include "terminal/terminal_emulator.h"
#include "terminal/vt100_mappings.h"
#include "terminal/vt100_parser.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace brimwell {

enum TQuavVT100LineAttr : std::uint8_t {
    ltNormal = 0,
    ltDblHeightTop = 1,
    ltDblHeightBottom = 2,
    ltDblWidth = 3,
};

// Character-set numbers stored per cell.
enum TQuavVT100CharSet : std::uint8_t {
    vcsUSASCII = 0,
    vcsUK = 1,
    vcsLineDraw = 2,
    vcsROM1 = 3,
    vcsROM2 = 4,
};
// The mapping's name of a character set.
const char* VT100CharSetName(std::uint8_t charSet);

class TQuavVT100Emulator : public TQuavTerminalEmulator {
  public:
    TQuavVT100Emulator();
    ~TQuavVT100Emulator() override;

    std::string Answerback = "QUAVterm";
    bool DisplayUpperASCII = false;

    bool teGetNeedsUpdate() override;
    void teClear() override;
    void teClearAll() override;
    void BlinkPaint(bool phaseOn) override;
    bool HasBlinkingText() override { return !blink_.empty(); }
    void KeyDown(int& key, TQuavShiftState shift) override;
    void KeyPress(char& ch) override;
    void LazyPaint() override;
    void Paint() override;
    void ProcessBlock(const char* data, int count, TQuavCharSource source) override;
    void GetCursorPos(int& row, int& col) override;

    // State, for the window, tools and tests.
    TQuavVT100LineAttr LineAttr(int absRow) const;
    bool AnsiMode() const { return ansi_; }
    bool CursorKeyApplication() const { return cursorKeyApp_; }
    bool KeypadApplication() const { return keypadApp_; }
    bool AutoRepeat() const { return autoRepeat_; }
    bool Columns132() const { return col132_; }
    bool OriginMode() const { return origin_; }
    bool ReverseScreen() const { return reverseScreen_; }
    bool SmoothScroll() const { return smooth_; }
    bool Interlace() const { return interlace_; }
    std::uint8_t G0() const { return g0_; }
    std::uint8_t G1() const { return g1_; }
    bool ShiftOut() const { return shiftOut_; }
    bool Led(int i) const { return i >= 1 && i <= 4 && leds_[std::size_t(i - 1)]; }
    struct BlinkSegment {
        int row, firstCol, lastCol;
    };
    const std::vector<BlinkSegment>& BlinkSegments() const { return blink_; }
    TQuavKeyboardMapping& KeyboardMapping() { return keyMap_; }
    TQuavCharSetMapping& CharSetMapping() { return charMap_; }
    TQuavVT100Parser& Parser() { return parser_; }

  private:
    void processChar(std::uint8_t ch);
    // Writes one character, keeping to the last position of a double-width or double-height row.
    void print(std::uint8_t ch);
    // The last column a row shows: half the line on a double-width or double-height row.
    int lineEnd(int absRow) const;
    // Brings a cursor beyond its row's last column back to it.
    void holdCursorToLine();
    bool wrapHeld() const;
    // 132-column mode on or off; the tab stops of the columns that come and go are remembered.
    void setWideLine(bool on);
    void execute();
    void executeCommand();
    void csi(std::uint8_t final, const std::vector<int>& args);
    void setMode(const std::vector<int>& args, bool on);
    void setAttributes(const std::vector<int>& args);
    void designate(bool g1, int code);
    void selectCharSet();
    void setLineAttr(TQuavVT100LineAttr a);
    void fullReset();
    void reply(std::string_view s);
    bool replyAllowed() const;
    void sendKeyText(const std::string& text);
    void scrollLineAttrs(int count, int top, int bottom);
    void syncLineAttrs() const;
    void findBlinkSegments();
    void syncColors();
    void repaintAll();
    void drawRow(int row, int firstCol, int lastCol, bool blinkOff = false);

    TQuavVT100Parser parser_;
    TQuavKeyboardMapping keyMap_;
    TQuavCharSetMapping charMap_;
    bool ansi_ = true;
    bool cursorKeyApp_ = false;
    bool keypadApp_ = false;
    bool autoRepeat_ = true;
    bool col132_ = false;
    bool insert_ = false;
    bool newLine_ = false;
    bool origin_ = false;
    bool reverseScreen_ = false;
    bool smooth_ = false;
    bool interlace_ = false;
    bool autoWrap_ = true;
    // A character went into the last position of a double-size row: the next one wraps, as after
    // the last column of a normal row. Any cursor control ends the wait.
    bool heldWrap_ = false;
    int heldRow_ = 0;
    // Tab stops of the columns not on the line: a VT100 keeps them for all 132 columns whatever
    // the width shown. A column never recorded has the stop of a reset, every 8 columns.
    std::vector<bool> tabMemory_;
    int regionTop_ = 1, regionBottom_ = 24; // as last set, for origin-mode addressing
    std::uint8_t g0_ = vcsUSASCII, g1_ = vcsUSASCII;
    bool shiftOut_ = false;
    std::array<bool, 4> leds_{};
    bool repaintAll_ = false;
    bool blinkWritten_ = false; // some cell may carry tcaBlink
    std::vector<BlinkSegment> blink_;
    // One line attribute per buffer row (internal numbering), kept in step with the buffer's rows.
    mutable std::vector<std::uint8_t> lineAttrs_;
    std::string replaceWith_;
    std::vector<char32_t> glyphs_; // reused for every segment drawn
    std::string fontName_, segment_;
};

} // namespace brimwell
