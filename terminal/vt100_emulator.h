// Vt100Emulator: the VT100 (and vt52) terminal. Received bytes go through Vt100Parser into
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

namespace brimwell::terminal {

using Vt100LineAttr = std::uint8_t;
inline constexpr std::uint8_t kLineNormal = 0;
inline constexpr std::uint8_t kLineDoubleHeightTop = 1;
inline constexpr std::uint8_t kLineDoubleHeightBottom = 2;
inline constexpr std::uint8_t kLineDoubleWidth = 3;

// Character-set numbers stored per cell.
using Vt100CharSet = std::uint8_t;
inline constexpr std::uint8_t kCharSetUsAscii = 0;
inline constexpr std::uint8_t kCharSetUk = 1;
inline constexpr std::uint8_t kCharSetLineDraw = 2;
inline constexpr std::uint8_t kCharSetRom1 = 3;
inline constexpr std::uint8_t kCharSetRom2 = 4;
// The mapping's name of a character set.
const char* vt100CharSetName(std::uint8_t charSet);

class Vt100Emulator : public TerminalEmulator {
  public:
    Vt100Emulator();
    ~Vt100Emulator() override;

    std::string answerback = "QUAVterm";
    bool displayUpperAscii = false;

    bool needsUpdate() override;
    void clear() override;
    void clearAll() override;
    void blinkPaint(bool phaseOn) override;
    bool hasBlinkingText() override { return !blink_.empty(); }
    void keyDown(int& key, ShiftState shift) override;
    void keyPress(char& ch) override;
    void lazyPaint() override;
    void paint() override;
    void processBlock(const char* data, int count, CharSource source) override;
    void getCursorPos(int& row, int& col) override;

    // State, for the window, tools and tests.
    Vt100LineAttr lineAttr(int absRow) const;
    bool ansiMode() const { return ansi_; }
    bool cursorKeyApplication() const { return cursorKeyApp_; }
    bool keypadApplication() const { return keypadApp_; }
    bool autoRepeat() const { return autoRepeat_; }
    bool columns132() const { return col132_; }
    bool originMode() const { return origin_; }
    bool reverseScreen() const { return reverseScreen_; }
    bool smoothScroll() const { return smooth_; }
    bool interlace() const { return interlace_; }
    std::uint8_t g0() const { return g0_; }
    std::uint8_t g1() const { return g1_; }
    bool shiftOut() const { return shiftOut_; }
    bool led(int i) const { return i >= 1 && i <= 4 && leds_[std::size_t(i - 1)]; }
    struct BlinkSegment {
        int row, firstCol, lastCol;
    };
    const std::vector<BlinkSegment>& blinkSegments() const { return blink_; }
    KeyboardMapping& keyboardMapping() { return keyMap_; }
    CharSetMapping& charSetMapping() { return charMap_; }
    Vt100Parser& parser() { return parser_; }

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
    void setLineAttr(Vt100LineAttr a);
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

    Vt100Parser parser_;
    KeyboardMapping keyMap_;
    CharSetMapping charMap_;
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
    std::uint8_t g0_ = kCharSetUsAscii, g1_ = kCharSetUsAscii;
    bool shiftOut_ = false;
    std::array<bool, 4> leds_{};
    bool repaintAll_ = false;
    bool blinkWritten_ = false; // some cell may carry kAttrBlink
    std::vector<BlinkSegment> blink_;
    // One line attribute per buffer row (internal numbering), kept in step with the buffer's rows.
    mutable std::vector<std::uint8_t> lineAttrs_;
    std::string replaceWith_;
    std::vector<char32_t> glyphs_; // reused for every segment drawn
    std::string fontName_, segment_;
};

} // namespace brimwell::terminal
