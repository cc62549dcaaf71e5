// VT100/VT52 escape-sequence parser: states, control characters inside sequences, argument lists
// and their validation.
#include "terminal/vt100_parser.h"

#include <algorithm>
#include <climits>

namespace brimwell {

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

TQuavVT100Parser::TQuavVT100Parser() {
    args_.reserve(16);
    sequence_.reserve(kMaxSequence);
    savedSequence_.reserve(kMaxSequence);
}

int TQuavVT100Parser::ProcessArguments(const char* data, int count) {
    if (state_ != psParsingANSI || interrupted_) return 0;
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

void TQuavVT100Parser::beginCSI() {
    state_ = psParsingANSI;
    intermediate_ = badArguments_ = argumentBegun_ = afterSeparator_ = false;
    current_ = -1;
}

int TQuavVT100Parser::ProcessCSI(const char* data, int count, TQuavParserCmdType& result) {
    if (!Idle() || vt52_ || count < 2 || data[0] != '\x1b' || data[1] != '[') return 0;
    sequence_.assign(data, 2);
    args_.clear();
    overlong_ = false;
    beginCSI();
    int i = 2 + ProcessArguments(data + 2, count - 2);
    result = pctPending;
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

void TQuavVT100Parser::clear() {
    command_ = vcNone;
    final_ = 0;
    args_.clear();
    sequence_.clear();
    savedSequence_.clear();
    state_ = savedState_ = psIdle;
    interrupted_ = false;
    overlong_ = false;
}

void TQuavVT100Parser::ForceCommand(int command) {
    command_ = static_cast<TQuavVT100Command>(command);
    state_ = psIdle;
}

int TQuavVT100Parser::tpGetArgument(int index) const {
    return index >= 0 && index < int(args_.size()) ? args_[std::size_t(index)] : -1;
}

TQuavParserCmdType TQuavVT100Parser::complete(TQuavVT100Command c) {
    command_ = c;
    state_ = psIdle;
    return pctComplete;
}

TQuavParserCmdType TQuavVT100Parser::ProcessChar(std::uint8_t ch) {
    if (interrupted_) {
        sequence_ = savedSequence_;
        args_ = savedArgs_;
        state_ = savedState_;
        interrupted_ = false;
    }
    if (ch < 0x20) return control(ch);
    if (state_ == psIdle) {
        sequence_.clear();
        return ch <= 0x7E ? pctChar : pct8bitChar;
    }
    if (sequence_.size() < kMaxSequence)
        sequence_ += static_cast<char>(ch);
    else
        overlong_ = true;

    switch (state_) {
    case psGotEscape:
        return vt52_ ? escape52(ch) : escape(ch);
    case psParsingANSI:
        if (ch >= 0x40 && ch <= 0x7E) return csiFinal(ch);
        argumentByte(ch, sequence_.size() == 3);
        return pctPending;
    case psParsingHash:
        state_ = psIdle;
        switch (ch) {
        case '3':
            return complete(vcDblHeightTop);
        case '4':
            return complete(vcDblHeightBottom);
        case '5':
            return complete(vcSingleWidth);
        case '6':
            return complete(vcDblWidth);
        case '8':
            return complete(vcAlignment);
        default:
            return pctNone;
        }
    case psParsingLeftParen:
    case psParsingRightParen: {
        const bool g0 = state_ == psParsingLeftParen;
        if (sequence_.size() == 3 && (ch == '0' || ch == '1' || ch == '2' || ch == 'A' || ch == 'B')) {
            args_.assign(1, ch);
            return complete(g0 ? vcDesignateG0 : vcDesignateG1);
        }
        if (ch >= '0') {
            state_ = psIdle;
            return pctNone;
        }
        return pctPending;
    }
    case psParsingCharSet:
        if (ch >= '0') {
            state_ = psIdle;
            return pctNone;
        }
        return pctPending;
    case psParsingCUP52:
        if (sequence_.size() == 3) {
            cup52Row_ = ch;
            return pctPending;
        }
        args_.assign({int(cup52Row_) - 31, int(ch) - 31});
        final_ = 'H';
        return complete(vcCSI);
    default:
        state_ = psIdle;
        return pctNone;
    }
}

TQuavParserCmdType TQuavVT100Parser::control(std::uint8_t ch) {
    TQuavVT100Command c = vcNone;
    switch (ch) {
    case 0x1B:
        sequence_.assign(1, '\x1b');
        args_.clear();
        overlong_ = false;
        state_ = psGotEscape;
        return pctPending;
    case 0x05:
        c = vcAnswerback;
        break;
    case 0x07:
        c = vcBell;
        break;
    case 0x08:
        c = vcBackspace;
        break;
    case 0x09:
        c = vcTab;
        break;
    case 0x0A:
        c = vcLineFeed;
        break;
    case 0x0B:
        c = vcVertTab;
        break;
    case 0x0C:
        c = vcFormFeed;
        break;
    case 0x0D:
        c = vcCarriageReturn;
        break;
    case 0x0E:
        c = vcShiftOut;
        break;
    case 0x0F:
        c = vcShiftIn;
        break;
    default:
        return pctNone; // CAN, SUB and the rest leave a sequence in progress alone
    }
    if (state_ != psIdle) {
        savedSequence_ = sequence_;
        savedArgs_ = args_;
        savedState_ = state_;
        interrupted_ = true;
    }
    sequence_.assign(1, static_cast<char>(ch));
    command_ = c;
    state_ = psIdle;
    if (c == vcFormFeed)
        args_.assign(1, 2);
    else if (c == vcTab || c == vcVertTab)
        args_.assign(1, 1);
    return pctComplete;
}

TQuavParserCmdType TQuavVT100Parser::escape(std::uint8_t ch) {
    args_.clear();
    switch (ch) {
    case '[':
        beginCSI();
        return pctPending;
    case '#':
        state_ = psParsingHash;
        return pctPending;
    case '(':
        state_ = psParsingLeftParen;
        return pctPending;
    case ')':
        state_ = psParsingRightParen;
        return pctPending;
    case '*':
    case '+':
    case '-':
    case '.':
    case '/':
        state_ = psParsingCharSet;
        return pctPending;
    case '7':
        return complete(vcSaveCursor);
    case '8':
        return complete(vcRestoreCursor);
    case '=':
        return complete(vcKeypadApplication);
    case '>':
        return complete(vcKeypadNumeric);
    case 'D':
        return complete(vcIndex);
    case 'E':
        return complete(vcNextLine);
    case 'H':
        return complete(vcSetTab);
    case 'M':
        return complete(vcReverseIndex);
    case 'Z':
        return complete(vcIdentify);
    case 'c':
        return complete(vcFullReset);
    case '1':
    case '2':
        return complete(vcNone);
    default:
        state_ = psIdle;
        return pctNone;
    }
}

TQuavParserCmdType TQuavVT100Parser::escape52(std::uint8_t ch) {
    args_.clear();
    final_ = 0;
    auto csi = [this](std::uint8_t final, int arg) {
        final_ = final;
        args_.assign(1, arg);
        return complete(vcCSI);
    };
    switch (ch) {
    case '<':
        return complete(vcEnterANSI);
    case '=':
        return complete(vcKeypadApplication);
    case '>':
        return complete(vcKeypadNumeric);
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        return csi(ch, 1);
    case 'F':
        return complete(vcEnterGraphics);
    case 'G':
        return complete(vcExitGraphics);
    case 'H':
        final_ = 'H';
        args_.assign({1, 1});
        return complete(vcCSI);
    case 'I':
        return complete(vcReverseIndex);
    case 'J':
        return csi('J', 0);
    case 'K':
        return csi('K', 0);
    case 'Y':
        state_ = psParsingCUP52;
        return pctPending;
    case 'Z':
        return complete(vcIdentify52);
    default:
        state_ = psIdle;
        return pctNone;
    }
}

// Arguments are read as their bytes arrive: a "?" right after "[" is the private marker (-2), digits
// make a number, ";" ends an argument (an empty one is -1, the default), an intermediate byte ends
// the list, and any other byte makes the sequence invalid.
void TQuavVT100Parser::argumentByte(std::uint8_t b, bool first) {
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

void TQuavVT100Parser::endArguments() {
    if (argumentBegun_ && (current_ >= 0 || afterSeparator_)) args_.push_back(current_);
    argumentBegun_ = false;
}

bool TQuavVT100Parser::validate(int minCount, int maxCount, int def) {
    if (maxCount >= 0 && int(args_.size()) > maxCount) return false;
    while (int(args_.size()) < minCount)
        args_.push_back(-1);
    for (int& a : args_)
        if (a == -1) a = def;
    return true;
}

TQuavParserCmdType TQuavVT100Parser::csiFinal(std::uint8_t ch) {
    state_ = psIdle;
    final_ = ch;
    if (!intermediate_) endArguments();
    if (overlong_ || badArguments_) return pctNone;
    if (intermediate_) {
        // Of the sequences with intermediate bytes the terminal knows only the soft reset ESC [ 6 1 " p.
        if (ch == 'p' && sequence_ == "\x1b[61\"p") return complete(vcFullReset);
        return pctNone;
    }
    CsiRule rule{};
    if (!csiRule(ch, rule)) return pctNone;
    if (!validate(rule.minCount, rule.maxCount, rule.def)) return pctNone;
    return complete(vcCSI);
}

} // namespace brimwell
