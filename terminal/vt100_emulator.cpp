// The VT100 emulator: sequences into buffer operations, modes, replies, keys through the keyboard
// mapping, line attributes, blinking, and painting through the character-set mapping.
#include "terminal/vt100_emulator.h"

#include "terminal/vt100_glyphs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace brimwell::terminal {

namespace {

// The line-drawing character that stands in for each byte 0xB0..0xDA of a PC's box characters.
constexpr char kEightBitLineDraw[] = "aaaxuuukkuxkjjjkmvwtqnttmlvwtqnvvwwmmllnnjl";
static_assert(sizeof kEightBitLineDraw - 1 == 0xDA - 0xB0 + 1);

// The line in 132-column mode.
constexpr int kWideColumns = 132;

constexpr Color kAnsiColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                  0x800000, 0x800080, 0x808000, 0xC0C0C0};

Color brighten(Color c) {
    Color out = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        out |= std::min((c >> shift & 0xFFu) + 128u, 255u) << shift;
    return out;
}

int firstArg(const std::vector<int>& args, int def) {
    return args.empty() || args[0] < 0 ? def : args[0];
}

} // namespace

const char* vt100CharSetName(std::uint8_t charSet) {
    static const char* const kNames[] = {"VT100-USASCII", "VT100-UK", "VT100-linedraw", "VT100-ROM1",
                                         "VT100-ROM2"};
    return charSet < 5 ? kNames[charSet] : kNames[0];
}

Vt100Emulator::Vt100Emulator() {
    setBuffer(std::make_unique<TerminalBuffer>(false));
    buffer_->onCursorMoved = [this](TerminalBuffer* sender, int row, int col) {
        handleCursorMovement(sender, row, col);
    };
    buffer_->onScrollRows = [this](TerminalBuffer*, int count, int top, int bottom) {
        scrollLineAttrs(count, top, bottom);
    };
    TerminalEmulator::parser_ = &parser_;
    // A missing or broken resource leaves its mapping empty: keys then take the normal path and
    // characters are drawn in the terminal's font.
    keyMap_.loadFromRes("QVVT100KEYMAP");
    charMap_.loadFromRes("QVVT100CHARSET");
    keyboardMapping_ = &keyMap_;
    charSetMapping_ = &charMap_;
    syncLineAttrs();
}

Vt100Emulator::~Vt100Emulator() {
    buffer_->onCursorMoved = nullptr;
    buffer_->onScrollRows = nullptr;
    unlink();
}

// ---- Line attributes ----------------------------------------------------------------------------

void Vt100Emulator::syncLineAttrs() const {
    const std::size_t rows = std::size_t(buffer_->svRowCount());
    if (lineAttrs_.size() == rows) return;
    // Aligned at the bottom, as the buffer keeps its rows.
    std::vector<std::uint8_t> next(rows, kLineNormal);
    const std::size_t keep = std::min(rows, lineAttrs_.size());
    std::copy(lineAttrs_.end() - std::ptrdiff_t(keep), lineAttrs_.end(), next.end() - std::ptrdiff_t(keep));
    lineAttrs_.swap(next);
}

Vt100LineAttr Vt100Emulator::lineAttr(int absRow) const {
    syncLineAttrs();
    const int i = buffer_->internalRow(absRow);
    if (i < 0 || i >= int(lineAttrs_.size())) return kLineNormal;
    return static_cast<Vt100LineAttr>(lineAttrs_[std::size_t(i)]);
}

void Vt100Emulator::scrollLineAttrs(int count, int top, int bottom) {
    syncLineAttrs();
    int t = buffer_->internalRow(top), b = buffer_->internalRow(bottom);
    if (t > b) std::swap(t, b);
    t = std::max(t, 0);
    b = std::min(b, int(lineAttrs_.size()) - 1);
    if (count == 0 || t > b) return;
    auto first = lineAttrs_.begin() + t, last = lineAttrs_.begin() + b + 1;
    const int span = b - t + 1;
    if (std::abs(count) >= span) {
        std::fill(first, last, kLineNormal);
    } else if (count > 0) {
        std::move(first + count, last, first);
        std::fill(last - count, last, kLineNormal);
    } else {
        std::move_backward(first, last + count, last);
        std::fill(first, first - count, kLineNormal);
    }
}

void Vt100Emulator::setLineAttr(Vt100LineAttr a) {
    syncLineAttrs();
    const int abs = buffer_->absCursorRow();
    const int i = buffer_->internalRow(abs);
    if (i < 0 || i >= int(lineAttrs_.size())) return;
    lineAttrs_[std::size_t(i)] = a;
    buffer_->invalidateCells(1, abs, buffer_->colCount(), abs);
}

// ---- Bytes in -----------------------------------------------------------------------------------

void Vt100Emulator::processBlock(const char* data, int count, CharSource source) {
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (!onProcessChar) {
            if (byte >= 0x20 && byte <= 0x7E && parser_.idle() && !wrapHeld() &&
                lineEnd(buffer_->absCursorRow()) == buffer_->colCount()) {
                // Plain text between sequences goes into the row in one piece; no more is looked
                // at than a row takes.
                const int most = std::min(count - i, buffer_->colCount());
                int n = 1;
                while (n < most && std::uint8_t(data[i + n]) >= 0x20 && std::uint8_t(data[i + n]) <= 0x7E)
                    ++n;
                const int written = buffer_->writeRun(data + i, n);
                if (written > 0) {
                    i += written - 1;
                    continue;
                }
            }
            if (byte == 0x1B) {
                ParserResult result = ParserResult::None;
                const int taken = parser_.processCsi(data + i, count - i, result);
                if (taken > 0) {
                    i += taken - 1;
                    if (result == ParserResult::Complete) execute();
                    continue;
                }
            }
            if (parser_.state() == ParserState::ParsingANSI) {
                const int taken = parser_.processArguments(data + i, count - i);
                if (taken > 0) {
                    i += taken - 1;
                    continue;
                }
            }
            processChar(byte);
            continue;
        }
        replaceWith_.assign(1, static_cast<char>(byte));
        commands_.clear();
        onProcessChar(this, byte, replaceWith_, commands_, source);
        processCommandList(commands_);
        for (char c : replaceWith_)
            processChar(static_cast<std::uint8_t>(c));
    }
    if (blinkWritten_ && buffer_->hasDisplayChanged()) findBlinkSegments();
}

void Vt100Emulator::processChar(std::uint8_t ch) {
    switch (parser_.processChar(ch)) {
    case ParserResult::Char:
        print(ch);
        break;
    case ParserResult::EightBitChar:
        if (displayUpperAscii) {
            print(ch);
        } else if (ch >= 0xB0 && ch <= 0xDA) {
            const std::uint8_t saved = buffer_->charSet();
            buffer_->setCharSet(kCharSetLineDraw);
            print(static_cast<std::uint8_t>(kEightBitLineDraw[ch - 0xB0]));
            buffer_->setCharSet(saved);
        }
        break;
    case ParserResult::Complete:
        execute();
        break;
    default:
        break;
    }
}

bool Vt100Emulator::replyAllowed() const {
    return terminal_ && terminal_->hasPort() && terminal_->isPrimaryTerminal();
}

void Vt100Emulator::reply(std::string_view s) {
    if (replyAllowed()) terminal_->putString(s);
}

int Vt100Emulator::lineEnd(int absRow) const {
    return lineAttr(absRow) == kLineNormal ? buffer_->colCount() : buffer_->colCount() / 2;
}

void Vt100Emulator::holdCursorToLine() {
    TerminalBuffer& b = *buffer_;
    const int end = lineEnd(b.absCursorRow());
    // Columns count from the screen's left edge in either addressing mode.
    if (b.absCursorCol() > end) b.setCursorCol(end);
}

bool Vt100Emulator::wrapHeld() const {
    const TerminalBuffer& b = *buffer_;
    // Only where it was left: whatever moved the cursor since (the window, a command) ended it.
    return heldWrap_ && b.absCursorRow() == heldRow_ && b.absCursorCol() == lineEnd(heldRow_) &&
           lineEnd(heldRow_) < b.colCount();
}

void Vt100Emulator::print(std::uint8_t ch) {
    TerminalBuffer& b = *buffer_;
    if (wrapHeld() && b.useAutoWrap()) {
        b.doCarriageReturn();
        b.moveCursorDown(true);
    }
    heldWrap_ = false;
    const int end = lineEnd(b.absCursorRow());
    b.writeChar(ch);
    if (end < b.colCount() && b.absCursorCol() > end) {
        b.setCursorCol(end);
        heldWrap_ = true;
        heldRow_ = b.absCursorRow();
    }
}

void Vt100Emulator::execute() {
    const int row = buffer_->absCursorRow(), col = buffer_->absCursorCol();
    executeCommand();
    holdCursorToLine();
    if (!heldWrap_) return;
    const Vt100Command c = parser_.command();
    const bool moves = c == Vt100Command::Tab || (c == Vt100Command::CSI && parser_.finalByte() != 0 &&
                                                  std::strchr("ABCDHfr", parser_.finalByte()));
    if (moves || row != buffer_->absCursorRow() || col != buffer_->absCursorCol()) heldWrap_ = false;
}

void Vt100Emulator::executeCommand() {
    TerminalBuffer& b = *buffer_;
    switch (parser_.command()) {
    case Vt100Command::None:
        break;
    case Vt100Command::Answerback:
        reply(answerback);
        break;
    case Vt100Command::Bell:
        processCommand(EmuCommand::Bell);
        break;
    case Vt100Command::Backspace:
        b.doBackspace();
        break;
    case Vt100Command::Tab:
        b.doHorzTab();
        break;
    case Vt100Command::LineFeed:
        b.doLineFeed();
        break;
    case Vt100Command::VertTab:
        b.doVertTab();
        break;
    case Vt100Command::FormFeed:
        b.eraseScreen();
        break;
    case Vt100Command::CarriageReturn:
        b.doCarriageReturn();
        break;
    case Vt100Command::ShiftOut:
    case Vt100Command::EnterGraphics:
        shiftOut_ = true;
        selectCharSet();
        break;
    case Vt100Command::ShiftIn:
    case Vt100Command::ExitGraphics:
        shiftOut_ = false;
        selectCharSet();
        break;
    case Vt100Command::SaveCursor:
        processCommand(EmuCommand::SaveCursorPos);
        break;
    case Vt100Command::RestoreCursor:
        processCommand(EmuCommand::RestoreCursorPos);
        break;
    case Vt100Command::KeypadApplication:
        keypadApp_ = true;
        break;
    case Vt100Command::KeypadNumeric:
        keypadApp_ = false;
        break;
    case Vt100Command::Index:
        b.moveCursorDown(true);
        break;
    case Vt100Command::NextLine:
        processCommand(EmuCommand::NEL);
        break;
    case Vt100Command::SetTab:
        b.setHorzTabStop();
        break;
    case Vt100Command::ReverseIndex:
        b.moveCursorUp(true);
        break;
    case Vt100Command::Identify:
        if (replyAllowed()) processCommand(EmuCommand::DeviceAttributesReport);
        break;
    case Vt100Command::Identify52:
        reply("\033/Z");
        break;
    case Vt100Command::FullReset:
        fullReset();
        break;
    case Vt100Command::DblHeightTop:
        setLineAttr(kLineDoubleHeightTop);
        break;
    case Vt100Command::DblHeightBottom:
        setLineAttr(kLineDoubleHeightBottom);
        break;
    case Vt100Command::SingleWidth:
        setLineAttr(kLineNormal);
        break;
    case Vt100Command::DblWidth:
        setLineAttr(kLineDoubleWidth);
        break;
    case Vt100Command::Alignment:
        processCommand(EmuCommand::DECALN);
        break;
    case Vt100Command::DesignateG0:
    case Vt100Command::DesignateG1:
        designate(parser_.command() == Vt100Command::DesignateG1, parser_.argumentAt(0));
        break;
    case Vt100Command::CSI:
        csi(parser_.finalByte(), parser_.arguments());
        break;
    case Vt100Command::EnterANSI:
        ansi_ = true;
        parser_.setVt52(false);
        break;
    }
}

void Vt100Emulator::selectCharSet() {
    std::uint8_t set = shiftOut_ ? g1_ : g0_;
    if (!ansi_) set = shiftOut_ ? kCharSetLineDraw : kCharSetUsAscii;
    buffer_->setCharSet(set);
}

void Vt100Emulator::designate(bool g1, int code) {
    std::uint8_t set = kCharSetUsAscii;
    switch (code) {
    case '0':
        set = kCharSetLineDraw;
        break;
    case '1':
        set = kCharSetRom1;
        break;
    case '2':
        set = kCharSetRom2;
        break;
    case 'A':
        set = kCharSetUk;
        break;
    default:
        break;
    }
    (g1 ? g1_ : g0_) = set;
    if (g1 == shiftOut_) selectCharSet();
}

void Vt100Emulator::csi(std::uint8_t final, const std::vector<int>& args) {
    TerminalBuffer& b = *buffer_;
    const int n = firstArg(args, 1);
    // A count of 0 means 1, as for the terminal it copies; counts are held at the screen's size,
    // which is as far as any of these moves or edits can reach.
    const int count = std::max(1, std::min(n, std::max(b.colCount(), b.svRowCount())));
    switch (final) {
    case '@':
        b.insertChars(count);
        break;
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        for (int i = 0; i < count; ++i) {
            if (final == 'A')
                b.moveCursorUp(false);
            else if (final == 'B')
                b.moveCursorDown(false);
            else if (final == 'C')
                b.moveCursorRight(false, false);
            else
                b.moveCursorLeft(false, false);
        }
        break;
    case 'H':
    case 'f':
        // Row or column 0 is the first, not a scrollback row; in origin mode the cursor stays
        // inside the region.
        b.setCursorPosition(
            origin_
                ? std::clamp(args[0], 1, b.useScrollRegion() ? regionBottom_ - regionTop_ + 1 : b.rowCount())
                : std::max(1, args[0]),
            std::max(1, args[1]));
        break;
    case 'J':
        if (n == 0)
            b.eraseToEow();
        else if (n == 1)
            b.eraseFromBow();
        else if (n == 2)
            b.eraseScreen();
        break;
    case 'K':
        if (n == 0)
            b.eraseToEol();
        else if (n == 1)
            b.eraseFromBol();
        else if (n == 2)
            b.eraseLine();
        break;
    case 'L':
        b.insertLines(count);
        break;
    case 'M':
        b.deleteLines(count);
        break;
    case 'P':
        b.deleteChars(count);
        break;
    case 'X':
        b.eraseChars(count);
        break;
    case 'c':
        if (n == 0 && replyAllowed()) processCommand(EmuCommand::DeviceAttributesReport);
        break;
    case 'g':
        if (n == 0) {
            b.clearHorzTabStop();
        } else if (n == 3) {
            b.clearAllHorzTabStops();
            tabMemory_.assign(std::max<std::size_t>(tabMemory_.size(), kWideColumns), false);
        }
        break;
    case 'h':
    case 'l':
        setMode(args, final == 'h');
        break;
    case 'm':
        setAttributes(args);
        break;
    case 'n':
        if ((n == 5 || n == 6) && replyAllowed()) {
            EmuCommandParams p;
            p.addIntegerArg(n);
            processCommand(EmuCommand::DeviceStatusReport, &p);
        }
        break;
    case 'q':
        for (int a : args) {
            if (a == 0)
                leds_.fill(false);
            else if (a >= 1 && a <= 4)
                leds_[std::size_t(a - 1)] = true;
        }
        break;
    case 'r': {
        const int rows = b.rowCount();
        int top = args.size() > 0 && args[0] > 0 ? args[0] : 1;
        int bottom = args.size() > 1 && args[1] > 0 ? args[1] : rows;
        // A region reaching past the screen would address rows the buffer does not have.
        top = std::min(top, rows);
        bottom = std::min(bottom, rows);
        b.setScrollRegion(top, bottom);
        regionTop_ = std::min(top, bottom);
        regionBottom_ = std::max(top, bottom);
        // The cursor goes home: the screen's top-left, or the region's in origin mode.
        b.setCursorPosition(1, 1);
        break;
    }
    case 's':
        processCommand(EmuCommand::SaveCursorPos);
        break;
    case 'u':
        processCommand(EmuCommand::RestoreCursorPos);
        break;
    case 'x':
        if (replyAllowed()) {
            const int kind = std::clamp(args[0], 0, 1) + 2;
            const char parity = terminal_->portParity();
            const int par = parity == 'O' ? 4 : parity == 'E' ? 5 : 1;
            const int bits = terminal_->portDataBits() == 8 ? 1 : 2;
            int speed = 120;
            switch (terminal_->portBaud()) {
            case 150:
                speed = 32;
                break;
            case 300:
                speed = 48;
                break;
            case 600:
                speed = 56;
                break;
            case 1200:
                speed = 64;
                break;
            case 2400:
                speed = 88;
                break;
            case 4800:
                speed = 104;
                break;
            case 9600:
                speed = 112;
                break;
            default:
                break;
            }
            char text[64];
            const int len = std::snprintf(text, sizeof text, "\033[%d;%d;%d;%d;%d;%d;%dx", kind, par, bits,
                                          speed, speed, 1, 0);
            terminal_->putString(std::string_view(text, std::size_t(len)));
        }
        break;
    default:
        break; // 'y' and anything else: nothing
    }
}

void Vt100Emulator::setMode(const std::vector<int>& args, bool on) {
    TerminalBuffer& b = *buffer_;
    const bool priv = !args.empty() && args[0] == -2;
    for (std::size_t i = priv ? 1 : 0; i < args.size(); ++i) {
        const int m = args[i];
        if (!priv) {
            if (m == 4) {
                insert_ = on;
                b.setUseInsertMode(on);
            } else if (m == 20) {
                newLine_ = on;
                b.setUseNewLineMode(on);
            }
            continue;
        }
        switch (m) {
        case 1:
            cursorKeyApp_ = on;
            break;
        case 2:
            if (!on) {
                ansi_ = false;
                parser_.setVt52(true);
            }
            break;
        case 3:
            setWideLine(on);
            break;
        case 4:
            smooth_ = on;
            break;
        case 5:
            if (reverseScreen_ != on) {
                reverseScreen_ = on;
                repaintAll();
            }
            break;
        case 6:
            origin_ = on;
            b.setUseAbsAddress(!on);
            // The cursor goes home, which origin mode has just moved.
            b.setCursorPosition(1, 1);
            break;
        case 7:
            autoWrap_ = on;
            b.setUseAutoWrap(on);
            break;
        case 8:
            autoRepeat_ = on;
            break;
        case 9:
            interlace_ = on;
            break;
        case 999:
            keypadApp_ = on;
            break;
        default:
            break;
        }
    }
}

void Vt100Emulator::setAttributes(const std::vector<int>& args) {
    TerminalBuffer& b = *buffer_;
    CharAttrs a = b.getCharAttrs();
    for (int m : args) {
        switch (m) {
        case 0:
            a = 0;
            b.setForeColor(b.defForeColor());
            b.setBackColor(b.defBackColor());
            break;
        case 1:
            a |= kAttrBold;
            break;
        case 4:
            a |= kAttrUnderline;
            break;
        case 5:
            a |= kAttrBlink;
            blinkWritten_ = true;
            break;
        case 7:
            a |= kAttrReverse;
            break;
        case 8:
            a |= kAttrInvisible;
            break;
        case 22:
            a &= CharAttrs(~kAttrBold);
            break;
        case 24:
            a &= CharAttrs(~kAttrUnderline);
            break;
        case 25:
            a &= CharAttrs(~kAttrBlink);
            break;
        case 27:
            a &= CharAttrs(~kAttrReverse);
            break;
        case 28:
            a &= CharAttrs(~kAttrInvisible);
            break;
        default:
            if (m >= 30 && m <= 37) b.setForeColor(kAnsiColors[m - 30]);
            if (m >= 40 && m <= 47) b.setBackColor(kAnsiColors[m - 40]);
            break;
        }
    }
    b.setCharAttrs(a);
}

void Vt100Emulator::setWideLine(bool on) {
    TerminalBuffer& b = *buffer_;
    col132_ = on;
    const int before = b.colCount();
    auto remembered = [this](int col) {
        return col <= int(tabMemory_.size()) ? bool(tabMemory_[std::size_t(col - 1)]) : (col - 1) % 8 == 0;
    };
    for (int c = before; c > (on ? kWideColumns : 80); --c) {
        if (c > int(tabMemory_.size())) tabMemory_.resize(std::size_t(c), false);
        tabMemory_[std::size_t(c - 1)] = b.hasHorzTabStop(c);
    }
    if (terminal_)
        terminal_->setTerminalColumns(on ? kWideColumns : 80);
    else
        b.setColCount(on ? kWideColumns : 80);
    for (int c = before + 1; c <= b.colCount(); ++c)
        b.setHorzTabStopAt(c, remembered(c));
}

void Vt100Emulator::fullReset() {
    TerminalBuffer& b = *buffer_;
    if (col132_) setWideLine(false);
    tabMemory_.clear();
    b.Reset();
    regionTop_ = 1;
    regionBottom_ = b.rowCount();
    ansi_ = true;
    parser_.setVt52(false);
    cursorKeyApp_ = keypadApp_ = false;
    autoRepeat_ = true;
    insert_ = newLine_ = origin_ = smooth_ = interlace_ = false;
    autoWrap_ = true;
    g0_ = g1_ = kCharSetUsAscii;
    shiftOut_ = false;
    leds_.fill(false);
    std::fill(lineAttrs_.begin(), lineAttrs_.end(), kLineNormal);
    blink_.clear();
    blinkWritten_ = false;
    if (reverseScreen_) reverseScreen_ = false;
    repaintAll();
}

void Vt100Emulator::clear() {
    buffer_->eraseScreen();
}

void Vt100Emulator::clearAll() {
    buffer_->eraseAll();
    std::fill(lineAttrs_.begin(), lineAttrs_.end(), kLineNormal);
    blink_.clear();
}

bool Vt100Emulator::needsUpdate() {
    return buffer_->hasDisplayChanged() || repaintAll_ || buffer_->hasCursorMoved();
}

void Vt100Emulator::getCursorPos(int& row, int& col) {
    row = buffer_->cursorRow();
    col = buffer_->cursorCol();
}

// ---- Keys ---------------------------------------------------------------------------------------

void Vt100Emulator::keyDown(int& key, ShiftState shift) {
    if (key & 0x8000) {
        if (!autoRepeat_) {
            key = 0;
            return;
        }
        key &= ~0x8000;
    }
    if (key <= 0 || key > 0xFF) return;
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02X", unsigned(key));
    std::string name = keyMap_.get(code);
    if (name.empty()) return;
    if (shift & kModAlt) name = "alt+" + name;
    if (shift & kModCtrl) name = "ctrl+" + name;
    if (shift & kModShift) name = "shift+" + name;
    std::string termKey = keyMap_.get(name);
    if (termKey.empty()) return;
    char& last = termKey.back();
    if (last == 'c')
        last = !ansi_ ? '0' : cursorKeyApp_ ? '2' : '1';
    else if (last == 'k')
        last = !ansi_ ? (keypadApp_ ? '4' : '3') : (keypadApp_ ? '6' : '5');
    const std::string text = keyMap_.get(termKey);
    if (text.empty()) return;
    sendKeyText(text);
    key = 0;
}

void Vt100Emulator::sendKeyText(const std::string& text) {
    bool echo = true;
    auto send = [&](char c) {
        sendChar(c, echo, CharSource::Keyboard);
        if (c == '\x1b') echo = false;
        if (c == '\r' && newLine_) sendChar('\n', echo, CharSource::Keyboard);
    };
    auto hex = [](char c) {
        return c >= '0' && c <= '9'   ? c - '0'
               : c >= 'a' && c <= 'f' ? c - 'a' + 10
               : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                      : -1;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            send(text[i]);
            continue;
        }
        const char next = text[i + 1];
        if (next == 'e') {
            send('\x1b');
            ++i;
        } else if (next == 'x' && i + 3 < text.size() && hex(text[i + 2]) >= 0 && hex(text[i + 3]) >= 0) {
            send(static_cast<char>(hex(text[i + 2]) * 16 + hex(text[i + 3])));
            i += 3;
        } else {
            send('\\');
            send(next);
            ++i;
        }
    }
}

void Vt100Emulator::keyPress(char& ch) {
    sendChar(ch, true, CharSource::Keyboard);
    if (ch == '\r' && newLine_) sendChar('\n', true, CharSource::Keyboard);
}

// ---- Painting -----------------------------------------------------------------------------------

void Vt100Emulator::repaintAll() {
    repaintAll_ = true;
    if (terminal_) terminal_->repaintAll();
}

void Vt100Emulator::syncColors() {
    if (!terminal_) return;
    // Compared with the defaults, not the current colours: a colour the stream chose is not a
    // change of the terminal's colours.
    TerminalBuffer& b = *buffer_;
    const Color back = terminal_->color(), fore = terminal_->fontColor();
    if (back == b.defBackColor() && fore == b.defForeColor()) return;
    const bool curBack = b.backColor() == b.defBackColor(), curFore = b.foreColor() == b.defForeColor();
    b.setDefBackColor(back);
    b.setDefForeColor(fore);
    if (curBack) b.setBackColor(back);
    if (curFore) b.setForeColor(fore);
    repaintAll_ = true;
}

void Vt100Emulator::findBlinkSegments() {
    TerminalBuffer& b = *buffer_;
    blink_.clear();
    const int cols = b.colCount();
    for (int row = 1; row <= b.rowCount(); ++row) {
        const CharAttrs* a = b.getLineAttrPtr(row);
        if (!a) continue;
        for (int c = 0; c < cols; ++c) {
            if (!(a[c] & kAttrBlink)) continue;
            if (!blink_.empty() && blink_.back().row == row && blink_.back().lastCol == c)
                blink_.back().lastCol = c + 1;
            else
                blink_.push_back({row, c + 1, c + 1});
        }
    }
    blinkWritten_ = !blink_.empty() || (b.getCharAttrs() & kAttrBlink);
}

void Vt100Emulator::blinkPaint(bool phaseOn) {
    if (!terminal_) return;
    for (const BlinkSegment& s : blink_)
        drawRow(s.row, s.firstCol, s.lastCol, !phaseOn);
}

void Vt100Emulator::lazyPaint() {
    if (!terminal_) return;
    syncColors();
    lazyPaintRows(repaintAll_, [this](int row, int first, int last) { drawRow(row, first, last); });
}

void Vt100Emulator::paint() {
    if (!terminal_) return;
    syncColors();
    paintClipRows([this](int row, int first, int last) { drawRow(row, first, last); });
}

void Vt100Emulator::drawRow(int row, int firstCol, int lastCol, bool blinkOff) {
    TerminalHost& t = *terminal_;
    TerminalCanvas* canvas = t.canvas();
    TerminalBuffer& b = *buffer_;
    if (!canvas) return;
    const int originCol = t.originCol(), originRow = t.originRow(), visibleCols = t.visibleCols();
    if (row < originRow || row > originRow + t.visibleRows() - 1) return;
    const Vt100LineAttr la = lineAttr(row);
    const int scaleX = la == kLineNormal ? 1 : 2;
    const int scaleY = la == kLineDoubleHeightTop || la == kLineDoubleHeightBottom ? 2 : 1;
    if (scaleX == 2) {
        // Half as many columns, from the one under the view's left edge.
        firstCol = std::max(firstCol, 1);
        const int from = (originCol - 1) / 2 + 1;
        const int to = std::min((b.colCount() + 1) / 2, (originCol - 1 + visibleCols) / 2 + 1);
        firstCol = std::max(from, (firstCol - 1) / 2 + 1);
        lastCol = std::min(to, std::max(firstCol, lastCol));
        if (lastCol < firstCol) return;
    } else {
        if (lastCol < originCol || firstCol >= originCol + visibleCols) return;
        firstCol = std::max({firstCol, originCol, 1});
        lastCol = std::min({lastCol, originCol + visibleCols - 1, b.colCount()});
        if (firstCol > lastCol) return;
    }
    const char* chars = b.getLineCharPtr(row);
    const std::uint8_t* sets = b.getLineCharSetPtr(row);
    const CharAttrs* attrs = b.getLineAttrPtr(row);
    const Color* fore = b.getLineForeColorPtr(row);
    const Color* back = b.getLineBackColorPtr(row);
    if (!chars || !sets || !attrs || !fore || !back) return;

    const int cw = t.charWidth(), chh = t.charHeight();
    const int cellW = cw * scaleX;
    const int y = (row - originRow) * chh;
    auto xOf = [&](int col) {
        return scaleX == 1 ? (col - originCol) * cw : (2 * (col - 1) - (originCol - 1)) * cw;
    };

    int c = lastCol;
    while (c >= firstCol) {
        // The run ending at c, walked leftwards: equal colours, attributes and character set.
        const int i = c - 1;
        int start = c;
        while (start > firstCol && fore[start - 2] == fore[i] && back[start - 2] == back[i] &&
               attrs[start - 2] == attrs[i] && sets[start - 2] == sets[i])
            --start;
        const CharAttrs a = attrs[i];
        Color text = fore[i], fill = back[i];
        const bool swapped = (((a & kAttrReverse) != 0) != reverseScreen_) != ((a & kAttrSelected) != 0);
        if (swapped) std::swap(text, fill);
        if (a & kAttrInvisible)
            text = fill;
        else if (a & kAttrBold)
            (swapped ? fill : text) = brighten(swapped ? fill : text);
        const int len = c - start + 1;
        const int x = xOf(start);
        const TermRect cell{x, y, x + len * cellW, y + chh};
        if (blinkOff && (a & kAttrBlink)) {
            canvas->fillRect(cell, fill);
            c = start - 1;
            continue;
        }
        const std::string_view run(chars + (start - 1), std::size_t(len));
        const bool plain =
            scaleX == 1 && (sets[i] == kCharSetUsAscii || sets[i] == kCharSetRom1) &&
            std::none_of(run.begin(), run.end(), [](char ch) { return std::uint8_t(ch) > 0x7E; });
        if (plain || charMap_.count() == 0) {
            if (scaleX == 1) {
                canvas->textRun(cell, run.data(), len, cw, text, fill);
            } else {
                glyphs_.assign(run.begin(), run.end());
                canvas->glyphRun(cell, glyphs_.data(), len, cellW, text, fill, scaleX, scaleY,
                                 la == kLineDoubleHeightBottom);
            }
        } else {
            charMap_.generateDrawScript(vt100CharSetName(sets[i]), run);
            int segX = x;
            while (charMap_.getNextDrawCommand(fontName_, segment_)) {
                const int n = int(segment_.size());
                const TermRect segCell{segX, y, segX + n * cellW, y + chh};
                const bool own = fontName_ == CharSetMapping::kDefaultFont;
                if (own && scaleX == 1) {
                    canvas->textRun(segCell, segment_.data(), n, cw, text, fill);
                } else {
                    glyphs_.clear();
                    for (char g : segment_)
                        glyphs_.push_back(own ? char32_t(std::uint8_t(g)) : cp437ToUnicode(std::uint8_t(g)));
                    canvas->glyphRun(segCell, glyphs_.data(), n, cellW, text, fill, scaleX, scaleY,
                                     la == kLineDoubleHeightBottom);
                }
                segX += n * cellW;
            }
        }
        if (a & kAttrUnderline) canvas->line(cell.left, cell.bottom - 2, cell.right, cell.bottom - 2, text);
        if (a & kAttrStrikethrough)
            canvas->line(cell.left, cell.top + chh / 2, cell.right, cell.top + chh / 2, text);
        c = start - 1;
    }
}

} // namespace brimwell::terminal
