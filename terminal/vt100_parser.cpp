// VT100/vt52 escape-sequence parser: states, control characters inside sequences, argument lists
// and their validation.
#include "terminal/vt100_parser.h"

#include <algorithm>
#include <climits>

namespace brimwell::terminal {

namespace {

// Argument rules of the CSI finals the terminal knows: minimum and maximum count and the default
// that replaces an omitted argument. maxCount -1: any number, not validated.
struct CsiRule {
    int minCount, maxCount, def;
};

bool csiRule(std::uint8_t final, CsiRule& r) {
    switch (final) {
    case '@':
    case 'A':
    case 'B':
    case 'C':
    case 'D':
    case 'L':
    case 'M':
    case 'P':
    case 'X':
        r = {1, 1, 1};
        return true;
    case 'H':
    case 'f':
        r = {2, 2, 1};
        return true;
    case 'J':
    case 'K':
    case 'c':
    case 'g':
        r = {1, 1, 0};
        return true;
    case 'm':
    case 'q':
        r = {1, 30000, 0};
        return true;
    case 'n':
    case 'x':
        r = {1, 1, -1};
        return true;
    case 'h':
    case 'l':
    case 'r':
        r = {0, -1, -1};
        return true;
    case 's':
    case 'u':
    case 'y':
        r = {0, 0, -1};
        return true;
    default:
        return false;
    }
}

} // namespace

Vt100Parser::Vt100Parser() {
    args_.reserve(16);
    sequence_.reserve(kMaxSequence);
    savedSequence_.reserve(kMaxSequence);
}

int Vt100Parser::processArguments(const char* data, int count) {
    if (state_ != ParserState::ParsingANSI || interrupted_) return 0;
    // Only as many as the sequence may still collect; the rest goes byte by byte, which drops it.
    const int room = int(kMaxSequence - std::min(kMaxSequence, sequence_.size()));
    count = std::min(count, room);
    int i = 0;
    for (; i < count; ++i) {
        const auto b = static_cast<std::uint8_t>(data[i]);
        if (b >= '0' && b <= '9' && !intermediate_) {
            current_ = current_ < 0
                           ? b - '0'
                           : (current_ > kMaxArgument / 10 ? kMaxArgument : current_ * 10 + (b - '0'));
            argumentBegun_ = true;
            afterSeparator_ = false;
        } else if (b < 0x20 || b > 0x3F) {
            break;
        } else {
            argumentByte(b, sequence_.size() + std::size_t(i) == 2); // appended below, after the loop
        }
    }
    sequence_.append(data, std::size_t(i));
    return i;
}

void Vt100Parser::beginCSI() {
    state_ = ParserState::ParsingANSI;
    intermediate_ = badArguments_ = argumentBegun_ = afterSeparator_ = false;
    current_ = -1;
}

int Vt100Parser::processCsi(const char* data, int count, ParserResult& result) {
    if (!idle() || vt52_ || count < 2 || data[0] != '\x1b' || data[1] != '[') return 0;
    sequence_.assign(data, 2);
    args_.clear();
    overlong_ = false;
    beginCSI();
    int i = 2 + processArguments(data + 2, count - 2);
    result = ParserResult::Pending;
    const auto b = i < count ? static_cast<std::uint8_t>(data[i]) : 0;
    if (b >= 0x40 && b <= 0x7E) {
        if (sequence_.size() < kMaxSequence)
            sequence_ += static_cast<char>(b);
        else
            overlong_ = true;
        result = csiFinal(b);
        ++i;
    }
    return i;
}

void Vt100Parser::clear() {
    command_ = Vt100Command::None;
    final_ = 0;
    args_.clear();
    sequence_.clear();
    savedSequence_.clear();
    state_ = savedState_ = ParserState::Idle;
    interrupted_ = false;
    overlong_ = false;
}

void Vt100Parser::forceCommand(int command) {
    command_ = static_cast<Vt100Command>(command);
    state_ = ParserState::Idle;
}

int Vt100Parser::argumentAt(int index) const {
    return index >= 0 && index < int(args_.size()) ? args_[std::size_t(index)] : -1;
}

ParserResult Vt100Parser::complete(Vt100Command c) {
    command_ = c;
    state_ = ParserState::Idle;
    return ParserResult::Complete;
}

ParserResult Vt100Parser::processChar(std::uint8_t ch) {
    if (interrupted_) {
        sequence_ = savedSequence_;
        args_ = savedArgs_;
        state_ = savedState_;
        interrupted_ = false;
    }
    if (ch < 0x20) return control(ch);
    if (state_ == ParserState::Idle) {
        sequence_.clear();
        return ch <= 0x7E ? ParserResult::Char : ParserResult::EightBitChar;
    }
    if (sequence_.size() < kMaxSequence)
        sequence_ += static_cast<char>(ch);
    else
        overlong_ = true;

    switch (state_) {
    case ParserState::GotEscape:
        return vt52_ ? escape52(ch) : escape(ch);
    case ParserState::ParsingANSI:
        if (ch >= 0x40 && ch <= 0x7E) return csiFinal(ch);
        argumentByte(ch, sequence_.size() == 3);
        return ParserResult::Pending;
    case ParserState::ParsingHash:
        state_ = ParserState::Idle;
        switch (ch) {
        case '3':
            return complete(Vt100Command::DblHeightTop);
        case '4':
            return complete(Vt100Command::DblHeightBottom);
        case '5':
            return complete(Vt100Command::SingleWidth);
        case '6':
            return complete(Vt100Command::DblWidth);
        case '8':
            return complete(Vt100Command::Alignment);
        default:
            return ParserResult::None;
        }
    case ParserState::ParsingLeftParen:
    case ParserState::ParsingRightParen: {
        const bool g0 = state_ == ParserState::ParsingLeftParen;
        if (sequence_.size() == 3 && (ch == '0' || ch == '1' || ch == '2' || ch == 'A' || ch == 'B')) {
            args_.assign(1, ch);
            return complete(g0 ? Vt100Command::DesignateG0 : Vt100Command::DesignateG1);
        }
        if (ch >= '0') {
            state_ = ParserState::Idle;
            return ParserResult::None;
        }
        return ParserResult::Pending;
    }
    case ParserState::ParsingCharSet:
        if (ch >= '0') {
            state_ = ParserState::Idle;
            return ParserResult::None;
        }
        return ParserResult::Pending;
    case ParserState::ParsingCUP52:
        if (sequence_.size() == 3) {
            cup52Row_ = ch;
            return ParserResult::Pending;
        }
        args_.assign({int(cup52Row_) - 31, int(ch) - 31});
        final_ = 'H';
        return complete(Vt100Command::CSI);
    default:
        state_ = ParserState::Idle;
        return ParserResult::None;
    }
}

ParserResult Vt100Parser::control(std::uint8_t ch) {
    Vt100Command c = Vt100Command::None;
    switch (ch) {
    case 0x1B:
        sequence_.assign(1, '\x1b');
        args_.clear();
        overlong_ = false;
        state_ = ParserState::GotEscape;
        return ParserResult::Pending;
    case 0x05:
        c = Vt100Command::Answerback;
        break;
    case 0x07:
        c = Vt100Command::Bell;
        break;
    case 0x08:
        c = Vt100Command::Backspace;
        break;
    case 0x09:
        c = Vt100Command::Tab;
        break;
    case 0x0A:
        c = Vt100Command::LineFeed;
        break;
    case 0x0B:
        c = Vt100Command::VertTab;
        break;
    case 0x0C:
        c = Vt100Command::FormFeed;
        break;
    case 0x0D:
        c = Vt100Command::CarriageReturn;
        break;
    case 0x0E:
        c = Vt100Command::ShiftOut;
        break;
    case 0x0F:
        c = Vt100Command::ShiftIn;
        break;
    default:
        return ParserResult::None; // CAN, SUB and the rest leave a sequence in progress alone
    }
    if (state_ != ParserState::Idle) {
        savedSequence_ = sequence_;
        savedArgs_ = args_;
        savedState_ = state_;
        interrupted_ = true;
    }
    sequence_.assign(1, static_cast<char>(ch));
    command_ = c;
    state_ = ParserState::Idle;
    if (c == Vt100Command::FormFeed)
        args_.assign(1, 2);
    else if (c == Vt100Command::Tab || c == Vt100Command::VertTab)
        args_.assign(1, 1);
    return ParserResult::Complete;
}

ParserResult Vt100Parser::escape(std::uint8_t ch) {
    args_.clear();
    switch (ch) {
    case '[':
        beginCSI();
        return ParserResult::Pending;
    case '#':
        state_ = ParserState::ParsingHash;
        return ParserResult::Pending;
    case '(':
        state_ = ParserState::ParsingLeftParen;
        return ParserResult::Pending;
    case ')':
        state_ = ParserState::ParsingRightParen;
        return ParserResult::Pending;
    case '*':
    case '+':
    case '-':
    case '.':
    case '/':
        state_ = ParserState::ParsingCharSet;
        return ParserResult::Pending;
    case '7':
        return complete(Vt100Command::SaveCursor);
    case '8':
        return complete(Vt100Command::RestoreCursor);
    case '=':
        return complete(Vt100Command::KeypadApplication);
    case '>':
        return complete(Vt100Command::KeypadNumeric);
    case 'D':
        return complete(Vt100Command::Index);
    case 'E':
        return complete(Vt100Command::NextLine);
    case 'H':
        return complete(Vt100Command::SetTab);
    case 'M':
        return complete(Vt100Command::ReverseIndex);
    case 'Z':
        return complete(Vt100Command::Identify);
    case 'c':
        return complete(Vt100Command::FullReset);
    case '1':
    case '2':
        return complete(Vt100Command::None);
    default:
        state_ = ParserState::Idle;
        return ParserResult::None;
    }
}

ParserResult Vt100Parser::escape52(std::uint8_t ch) {
    args_.clear();
    final_ = 0;
    auto csi = [this](std::uint8_t final, int arg) {
        final_ = final;
        args_.assign(1, arg);
        return complete(Vt100Command::CSI);
    };
    switch (ch) {
    case '<':
        return complete(Vt100Command::EnterANSI);
    case '=':
        return complete(Vt100Command::KeypadApplication);
    case '>':
        return complete(Vt100Command::KeypadNumeric);
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        return csi(ch, 1);
    case 'F':
        return complete(Vt100Command::EnterGraphics);
    case 'G':
        return complete(Vt100Command::ExitGraphics);
    case 'H':
        final_ = 'H';
        args_.assign({1, 1});
        return complete(Vt100Command::CSI);
    case 'I':
        return complete(Vt100Command::ReverseIndex);
    case 'J':
        return csi('J', 0);
    case 'K':
        return csi('K', 0);
    case 'Y':
        state_ = ParserState::ParsingCUP52;
        return ParserResult::Pending;
    case 'Z':
        return complete(Vt100Command::Identify52);
    default:
        state_ = ParserState::Idle;
        return ParserResult::None;
    }
}

// Arguments are read as their bytes arrive: a "?" right after "[" is the private marker (-2), digits
// make a number, ";" ends an argument (an empty one is -1, the default), an intermediate byte ends
// the list, and any other byte makes the sequence invalid.
void Vt100Parser::argumentByte(std::uint8_t b, bool first) {
    if (intermediate_ || overlong_) return;
    if (b >= '0' && b <= '9') {
        current_ = current_ < 0 ? b - '0'
                                : (current_ > kMaxArgument / 10 ? kMaxArgument : current_ * 10 + (b - '0'));
        argumentBegun_ = true;
        afterSeparator_ = false;
    } else if (b == ';') {
        args_.push_back(current_);
        current_ = -1;
        argumentBegun_ = afterSeparator_ = true;
    } else if (b == '?' && first) {
        args_.push_back(-2);
    } else if (b >= 0x20 && b <= 0x2F) {
        endArguments();
        intermediate_ = true;
    } else {
        badArguments_ = true;
    }
}

void Vt100Parser::endArguments() {
    if (argumentBegun_ && (current_ >= 0 || afterSeparator_)) args_.push_back(current_);
    argumentBegun_ = false;
}

bool Vt100Parser::validate(int minCount, int maxCount, int def) {
    if (maxCount >= 0 && int(args_.size()) > maxCount) return false;
    while (int(args_.size()) < minCount)
        args_.push_back(-1);
    for (int& a : args_)
        if (a == -1) a = def;
    return true;
}

ParserResult Vt100Parser::csiFinal(std::uint8_t ch) {
    state_ = ParserState::Idle;
    final_ = ch;
    if (!intermediate_) endArguments();
    if (overlong_ || badArguments_) return ParserResult::None;
    if (intermediate_) {
        // Of the sequences with intermediate bytes the terminal knows only the soft reset ESC [ 6 1 " p.
        if (ch == 'p' && sequence_ == "\x1b[61\"p") return complete(Vt100Command::FullReset);
        return ParserResult::None;
    }
    CsiRule rule{};
    if (!csiRule(ch, rule)) return ParserResult::None;
    if (!validate(rule.minCount, rule.maxCount, rule.def)) return ParserResult::None;
    return complete(Vt100Command::CSI);
}

} // namespace brimwell::terminal
