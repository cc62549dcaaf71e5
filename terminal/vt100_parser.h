// The escape-sequence parser of the VT100 emulator. It is fed one byte at a time and says whether the
// byte is to be shown, is part of a sequence still being read, or completes a command, whose code
// and validated arguments it then holds. TerminalParser is the interface an emulator sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimwell::terminal {

enum class ParserResult { None, Char, EightBitChar, Pending, Complete };

enum class ParserState {
    Idle,
    GotEscape,
    ParsingANSI,
    ParsingHash,
    ParsingLeftParen,
    ParsingRightParen,
    ParsingCharSet,
    GotCommand,
    GotInterCommand,
    ParsingCUP52,
};

// What a complete sequence asks for. CSI sequences carry their final byte (Final()).
enum class Vt100Command : int {
    None,
    // control characters
    Answerback,
    Bell,
    Backspace,
    Tab,
    LineFeed,
    VertTab,
    FormFeed, // erase display, argument 2
    CarriageReturn,
    ShiftOut,
    ShiftIn,
    // ESC x
    SaveCursor,
    RestoreCursor,
    KeypadApplication,
    KeypadNumeric,
    Index,
    NextLine,
    SetTab,
    ReverseIndex,
    Identify,
    FullReset,
    // ESC # x
    DblHeightTop,
    DblHeightBottom,
    SingleWidth,
    DblWidth,
    Alignment,
    // ESC ( x, ESC ) x: argument 0 is the set's designating byte
    DesignateG0,
    DesignateG1,
    // ESC [ ... final
    CSI,
    // vt52 only
    EnterANSI,
    Identify52,
    EnterGraphics,
    ExitGraphics,
};

class TerminalParser {
  public:
    virtual ~TerminalParser() = default;
    virtual ParserResult processChar(std::uint8_t ch) = 0;
    virtual ParserResult processWideChar(char16_t ch) {
        return ch > 0xFF ? ParserResult::None : processChar(static_cast<std::uint8_t>(ch));
    }
    virtual void clear() = 0;
    // Makes `command` the parser's complete command, as if a sequence had asked for it.
    virtual void forceCommand(int command) = 0;
    virtual int argumentAt(int index) const = 0;
    virtual std::string sequenceText() const = 0;
};

class Vt100Parser : public TerminalParser {
  public:
    // A sequence never collects more bytes than this; a longer one is read to its end and dropped.
    static constexpr std::size_t kMaxSequence = 256;
    // Numbers larger than this are held at it (no argument of the terminal means more).
    static constexpr int kMaxArgument = 99999;

    Vt100Parser();

    ParserResult processChar(std::uint8_t ch) override;
    void clear() override;
    // Inside a CSI sequence: takes the parameter and intermediate bytes (0x20..0x3F) that follow, as
    // processChar would one by one, and returns how many it took.
    int processArguments(const char* data, int count);
    // Between sequences: a whole ESC [ ... final at the front of `data` at once, the commonest thing a
    // full-screen program sends. Returns the bytes taken (0 when data does not begin one) and in
    // `result` what the last of them gave.
    int processCsi(const char* data, int count, ParserResult& result);
    void forceCommand(int command) override;
    int argumentAt(int index) const override;
    std::string sequenceText() const override { return sequence_; }

    Vt100Command command() const { return command_; }
    std::uint8_t finalByte() const { return final_; }
    int argumentCount() const { return int(args_.size()); }
    const std::vector<int>& arguments() const { return args_; }
    bool isPrivate() const { return !args_.empty() && args_[0] == -2; }
    bool vt52() const { return vt52_; }
    void setVt52(bool on) { vt52_ = on; }
    ParserState state() const { return state_; }
    // Between sequences: the next printable byte is text (no sequence waits to resume).
    bool idle() const { return state_ == ParserState::Idle && !interrupted_; }

  private:
    ParserResult complete(Vt100Command c);
    ParserResult control(std::uint8_t ch);
    ParserResult escape(std::uint8_t ch);
    ParserResult escape52(std::uint8_t ch);
    ParserResult csiFinal(std::uint8_t ch);
    // `first`: the byte right after "[".
    void argumentByte(std::uint8_t b, bool first);
    void endArguments();
    bool validate(int minCount, int maxCount, int def);
    void beginCSI();

    Vt100Command command_ = Vt100Command::None;
    std::uint8_t final_ = 0;
    bool vt52_ = false;
    std::vector<int> args_;
    std::string sequence_;
    std::string savedSequence_;
    std::vector<int> savedArgs_;
    ParserState state_ = ParserState::Idle;
    ParserState savedState_ = ParserState::Idle;
    bool interrupted_ = false; // a control character completed inside a sequence
    bool overlong_ = false;
    // Reading a CSI sequence's arguments.
    bool intermediate_ = false; // a byte 0x20..0x2F came: the list has ended
    bool badArguments_ = false;
    bool argumentBegun_ = false;
    bool afterSeparator_ = false;
    int current_ = -1;
    std::uint8_t cup52Row_ = 0;
};

} // namespace brimwell::terminal
