// Emulators turn received bytes into buffer operations and typed keys into bytes for the port, and
// draw the buffer on the terminal's canvas. TerminalEmulator is the contract between a terminal
// and any emulator plus the generic command interpreter; TtyEmulator is the plain teletype.
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

namespace brimwell::terminal {

class CharSetMapping;  // VT100 emulator only
class KeyboardMapping; // VT100 emulator only
class TerminalParser;  // VT100 emulator only
class TerminalEmulator;

// Shift state of a key-down: any combination of these bits.
using ShiftState = unsigned;
inline constexpr ShiftState kModShift = 0x01;
inline constexpr ShiftState kModAlt = 0x02;
inline constexpr ShiftState kModCtrl = 0x04;

// Called once per received byte before the emulator acts on it; may replace the byte's text (also
// by nothing) and add commands, which run before the text.
using OnProcessChar =
    std::function<void(TerminalEmulator* Sender, std::uint8_t Character, std::string& ReplaceWith,
                       EmuCommandList& Commands, CharSource CharSource)>;

class TerminalEmulator {
  public:
    TerminalEmulator();
    virtual ~TerminalEmulator();
    TerminalEmulator(const TerminalEmulator&) = delete;
    TerminalEmulator& operator=(const TerminalEmulator&) = delete;

    TerminalBuffer* buffer() const { return buffer_.get(); }
    TerminalHost* terminal() const { return terminal_; }
    // A terminal's own emulator: never goes through the link registry.
    bool internal() const { return internal_; }
    void setInternal(bool internal) { internal_ = internal; }

    virtual bool needsUpdate();
    virtual void setTerminal(TerminalHost* terminal);
    virtual void clear() {}
    virtual void clearAll() {}
    virtual void sendChar(char ch, bool echoAllowed, CharSource source);
    virtual void blinkPaint(bool /*phaseOn*/) {}
    virtual bool hasBlinkingText() { return false; }
    virtual void keyDown(int& /*key*/, ShiftState /*shift*/) {}
    virtual void keyPress(char& /*ch*/) {}
    virtual void lazyPaint() {}
    virtual void paint() {}
    virtual void processBlock(const char* /*data*/, int /*count*/, CharSource /*source*/) {}
    virtual void getCursorPos(int& /*row*/, int& /*col*/) {}

    // Runs one command against the buffer; with no parameters every value is its default.
    void processCommand(EmuCommand command, const EmuCommandParams* params = nullptr);
    void processCommandList(const EmuCommandList& list);
    void clearCommandList() { commands_.clear(); }
    // The list, then an immediate full repaint of the linked terminal.
    void executeTerminalCommands(const EmuCommandList& list);
    // Installed by concrete emulators as their buffer's onCursorMoved.
    void handleCursorMovement(TerminalBuffer* sender, int row, int col);

    // Component notifications: a terminal going away is forgotten; a terminal appearing while none is
    // linked gets linked.
    void terminalRemoved(TerminalHost* terminal);
    void terminalAdded(TerminalHost* terminal);

    EmuCommandList& commandList() { return commands_; }
    OnProcessChar onProcessChar;

  protected:
    using RowDrawer = std::function<void(int row, int firstCol, int lastCol)>;
    // The row walks every painting emulator shares. lazyPaint: with repaintAll (which it clears) the
    // whole screen and nothing of what is pending, else the rows of the pending changes. Paint: the
    // cells inside the canvas's clip.
    void lazyPaintRows(bool& repaintAll, const RowDrawer& drawRow);
    void paintClipRows(const RowDrawer& drawRow);
    // Concrete emulators create their buffer first and hand it over here.
    void setBuffer(std::unique_ptr<TerminalBuffer> buffer);
    void unlink();

    std::unique_ptr<TerminalBuffer> buffer_;
    CharSetMapping* charSetMapping_ = nullptr;
    bool internal_ = false;
    KeyboardMapping* keyboardMapping_ = nullptr;
    TerminalParser* parser_ = nullptr;
    TerminalHost* terminal_ = nullptr;
    // Saved by EmuCommand::SaveCursorPos.
    CharAttrs savedAttrs_ = 0;
    Color savedBackColor_ = kBlack;
    std::uint8_t savedCharSet_ = 0;
    int savedCol_ = 1;
    Color savedForeColor_ = kSilver;
    int savedRow_ = 1;
    EmuCommandList commands_;
};

// The teletype: printable bytes are written as they are, BEL BS HT LF CR act, other control bytes
// are ignored. Typed Backspace goes out as DEL.
class TtyEmulator : public TerminalEmulator {
  public:
    TtyEmulator();
    ~TtyEmulator() override;

    bool needsUpdate() override;
    void clear() override;
    void clearAll() override;
    void keyPress(char& ch) override;
    void lazyPaint() override;
    void paint() override;
    void processBlock(const char* data, int count, CharSource source) override;
    void getCursorPos(int& row, int& col) override;

    bool repaintAllPending() const { return repaintAll_; }

  private:
    struct PaintRun {
        int firstCol;
        int lastCol;
        Color fore;
        Color back;
        CharAttrs attrs;
    };
    void syncColors();
    void processString(const std::string& s);
    void drawRow(int row, int firstCol, int lastCol);

    std::vector<PaintRun> runs_; // reused for every row drawn
    bool repaintAll_ = false;
    std::string replaceWith_; // reused for onProcessChar
};

} // namespace brimwell::terminal
