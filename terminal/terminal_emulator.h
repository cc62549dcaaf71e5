// Emulators turn received bytes into buffer operations and typed keys into bytes for the port, and
// draw the buffer on the terminal's canvas. TQuavTerminalEmulator is the contract between a terminal
// and any emulator plus the generic command interpreter; TQuavTTYEmulator is the plain teletype.
#pragma once

#include "terminal/emu_commands.h"
#include "terminal/terminal_buffer.h"
#include "terminal/terminal_canvas.h"
#include "terminal/terminal_host.h"
#include "terminal/terminal_types.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace brimwell {

class TQuavCharSetMapping;  // VT100 emulator only
class TQuavKeyboardMapping; // VT100 emulator only
class TQuavTerminalParser;  // VT100 emulator only
class TQuavTerminalEmulator;

// Shift state of a key-down: any combination of these bits.
using TQuavShiftState = unsigned;
inline constexpr TQuavShiftState ssShift = 0x01;
inline constexpr TQuavShiftState ssAlt = 0x02;
inline constexpr TQuavShiftState ssCtrl = 0x04;

// Called once per received byte before the emulator acts on it; may replace the byte's text (also
// by nothing) and add commands, which run before the text.
using TQuavOnProcessChar =
    std::function<void(TQuavTerminalEmulator* Sender, std::uint8_t Character, std::string& ReplaceWith,
                       TQuavEmuCommandList& Commands, TQuavCharSource CharSource)>;

class TQuavTerminalEmulator {
  public:
    TQuavTerminalEmulator();
    virtual ~TQuavTerminalEmulator();
    TQuavTerminalEmulator(const TQuavTerminalEmulator&) = delete;
    TQuavTerminalEmulator& operator=(const TQuavTerminalEmulator&) = delete;

    TQuavTerminalBuffer* Buffer() const { return buffer_.get(); }
    TQuavTerminalHost* Terminal() const { return terminal_; }
    // A terminal's own emulator: never goes through the link registry.
    bool Internal() const { return internal_; }
    void SetInternal(bool internal) { internal_ = internal; }

    virtual bool teGetNeedsUpdate();
    bool NeedsUpdate() { return teGetNeedsUpdate(); }
    virtual void teSetTerminal(TQuavTerminalHost* terminal);
    virtual void teClear() {}
    virtual void teClearAll() {}
    virtual void teSendChar(char ch, bool echoAllowed, TQuavCharSource source);
    virtual void BlinkPaint(bool /*phaseOn*/) {}
    virtual bool HasBlinkingText() { return false; }
    virtual void KeyDown(int& /*key*/, TQuavShiftState /*shift*/) {}
    virtual void KeyPress(char& /*ch*/) {}
    virtual void LazyPaint() {}
    virtual void Paint() {}
    virtual void ProcessBlock(const char* /*data*/, int /*count*/, TQuavCharSource /*source*/) {}
    virtual void GetCursorPos(int& /*row*/, int& /*col*/) {}

    // Runs one command against the buffer; with no parameters every value is its default.
    void teProcessCommand(TQuavEmuCommand command, const TQuavEmuCommandParams* params = nullptr);
    void teProcessCommandList(const TQuavEmuCommandList& list);
    void teClearCommandList() { commands_.clear(); }
    // The list, then an immediate full repaint of the linked terminal.
    void ExecuteTerminalCommands(const TQuavEmuCommandList& list);
    // Installed by concrete emulators as their buffer's OnCursorMoved.
    void teHandleCursorMovement(TQuavTerminalBuffer* sender, int row, int col);

    // Component notifications: a terminal going away is forgotten; a terminal appearing while none is
    // linked gets linked.
    void TerminalRemoved(TQuavTerminalHost* terminal);
    void TerminalAdded(TQuavTerminalHost* terminal);

    TQuavEmuCommandList& CommandList() { return commands_; }
    TQuavOnProcessChar OnProcessChar;

  protected:
    using RowDrawer = std::function<void(int row, int firstCol, int lastCol)>;
    // The row walks every painting emulator shares. LazyPaint: with repaintAll (which it clears) the
    // whole screen and nothing of what is pending, else the rows of the pending changes. Paint: the
    // cells inside the canvas's clip.
    void lazyPaintRows(bool& repaintAll, const RowDrawer& drawRow);
    void paintClipRows(const RowDrawer& drawRow);
    // Concrete emulators create their buffer first and hand it over here.
    void setBuffer(std::unique_ptr<TQuavTerminalBuffer> buffer);
    void unlink();

    std::unique_ptr<TQuavTerminalBuffer> buffer_;
    TQuavCharSetMapping* charSetMapping_ = nullptr;
    bool internal_ = false;
    TQuavKeyboardMapping* keyboardMapping_ = nullptr;
    TQuavTerminalParser* parser_ = nullptr;
    TQuavTerminalHost* terminal_ = nullptr;
    // Saved by ecSaveCursorPos.
    TQuavTerminalCharAttrs savedAttrs_ = 0;
    TColor savedBackColor_ = clBlack;
    std::uint8_t savedCharSet_ = 0;
    int savedCol_ = 1;
    TColor savedForeColor_ = clSilver;
    int savedRow_ = 1;
    TQuavEmuCommandList commands_;
};

// The teletype: printable bytes are written as they are, BEL BS HT LF CR act, other control bytes
// are ignored. Typed Backspace goes out as DEL.
class TQuavTTYEmulator : public TQuavTerminalEmulator {
  public:
    TQuavTTYEmulator();
    ~TQuavTTYEmulator() override;

    bool teGetNeedsUpdate() override;
    void teClear() override;
    void teClearAll() override;
    void KeyPress(char& ch) override;
    void LazyPaint() override;
    void Paint() override;
    void ProcessBlock(const char* data, int count, TQuavCharSource source) override;
    void GetCursorPos(int& row, int& col) override;

    bool RepaintAllPending() const { return repaintAll_; }

  private:
    struct PaintRun {
        int firstCol;
        int lastCol;
        TColor fore;
        TColor back;
        TQuavTerminalCharAttrs attrs;
    };
    void syncColors();
    void processString(const std::string& s);
    void drawRow(int row, int firstCol, int lastCol);

    std::vector<PaintRun> runs_; // reused for every row drawn
    bool repaintAll_ = false;
    std::string replaceWith_; // reused for OnProcessChar
};

} // namespace brimwell
