// The escape-sequence parser of the VT100 emulator. It is fed one byte at a time and says whether the
// byte is to be shown, is part of a sequence still being read, or completes a command, whose code
// and validated arguments it then holds. TQuavTerminalParser is the interface an emulator sees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brimwell {

enum TQuavParserCmdType { pctNone, pctChar, pct8bitChar, pctPending, pctComplete };

enum TQuavVTParserState {
    psIdle,
    psGotEscape,
    psParsingANSI,
    psParsingHash,
    psParsingLeftParen,
    psParsingRightParen,
    psParsingCharSet,
    psGotCommand,
    psGotInterCommand,
    psParsingCUP52,
};

// What a complete sequence asks for. CSI sequences carry their final byte (Final()).
enum TQuavVT100Command : int {
    vcNone,
    // control characters
    vcAnswerback,
    vcBell,
    vcBackspace,
    vcTab,
    vcLineFeed,
    vcVertTab,
    vcFormFeed, // erase display, argument 2
    vcCarriageReturn,
    vcShiftOut,
    vcShiftIn,
    // ESC x
    vcSaveCursor,
    vcRestoreCursor,
    vcKeypadApplication,
    vcKeypadNumeric,
    vcIndex,
    vcNextLine,
    vcSetTab,
    vcReverseIndex,
    vcIdentify,
    vcFullReset,
    // ESC # x
    vcDblHeightTop,
    vcDblHeightBottom,
    vcSingleWidth,
    vcDblWidth,
    vcAlignment,
    // ESC ( x, ESC ) x: argument 0 is the set's designating byte
    vcDesignateG0,
    vcDesignateG1,
    // ESC [ ... final
    vcCSI,
    // VT52 only
    vcEnterANSI,
    vcIdentify52,
    vcEnterGraphics,
    vcExitGraphics,
};

class TQuavTerminalParser {
  public:
    virtual ~TQuavTerminalParser() = default;
    virtual TQuavParserCmdType ProcessChar(std::uint8_t ch) = 0;
    virtual TQuavParserCmdType ProcessWideChar(char16_t ch) {
        return ch > 0xFF ? pctNone : ProcessChar(static_cast<std::uint8_t>(ch));
    }
    virtual void clear() = 0;
    // Makes `command` the parser's complete command, as if a sequence had asked for it.
    virtual void ForceCommand(int command) = 0;
    virtual int tpGetArgument(int index) const = 0;
    virtual std::string tpGetSequence() const = 0;
};

class TQuavVT100Parser : public TQuavTerminalParser {
  public:
    // A sequence never collects more bytes than this; a longer one is read to its end and dropped.
    static constexpr std::size_t kMaxSequence = 256;
    // Numbers larger than this are held at it (no argument of the terminal means more).
    static constexpr int kMaxArgument = 99999;

    TQuavVT100Parser();

    TQuavParserCmdType ProcessChar(std::uint8_t ch) override;
    void clear() override;
    // Inside a CSI sequence: takes the parameter and intermediate bytes (0x20..0x3F) that follow, as
    // ProcessChar would one by one, and returns how many it took.
    int ProcessArguments(const char* data, int count);
    // Between sequences: a whole ESC [ ... final at the front of `data` at once, the commonest thing a
    // full-screen program sends. Returns the bytes taken (0 when data does not begin one) and in
    // `result` what the last of them gave.
    int ProcessCSI(const char* data, int count, TQuavParserCmdType& result);
    void ForceCommand(int command) override;
    int tpGetArgument(int index) const override;
    std::string tpGetSequence() const override { return sequence_; }

    TQuavVT100Command Command() const { return command_; }
    std::uint8_t Final() const { return final_; }
    int ArgumentCount() const { return int(args_.size()); }
    const std::vector<int>& Arguments() const { return args_; }
    bool Private() const { return !args_.empty() && args_[0] == -2; }
    bool VT52() const { return vt52_; }
    void SetVT52(bool on) { vt52_ = on; }
    TQuavVTParserState State() const { return state_; }
    // Between sequences: the next printable byte is text (no sequence waits to resume).
    bool Idle() const { return state_ == psIdle && !interrupted_; }

  private:
    TQuavParserCmdType complete(TQuavVT100Command c);
    TQuavParserCmdType control(std::uint8_t ch);
    TQuavParserCmdType escape(std::uint8_t ch);
    TQuavParserCmdType escape52(std::uint8_t ch);
    TQuavParserCmdType csiFinal(std::uint8_t ch);
    // `first`: the byte right after "[".
    void argumentByte(std::uint8_t b, bool first);
    void endArguments();
    bool validate(int minCount, int maxCount, int def);
    void beginCSI();

    TQuavVT100Command command_ = vcNone;
    std::uint8_t final_ = 0;
    bool vt52_ = false;
    std::vector<int> args_;
    std::string sequence_;
    std::string savedSequence_;
    std::vector<int> savedArgs_;
    TQuavVTParserState state_ = psIdle;
    TQuavVTParserState savedState_ = psIdle;
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

} // namespace brimwell
