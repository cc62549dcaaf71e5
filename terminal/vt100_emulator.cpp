// The VT100 emulator: sequences into buffer operations, modes, replies, keys through the keyboard
// mapping, line attributes, blinking, and painting through the character-set mapping.
#include "terminal/vt100_emulator.h"

#include "terminal/vt100_glyphs.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace brimwell {

namespace {

// The line-drawing character that stands in for each byte 0xB0..0xDA of a PC's box characters.
constexpr char kEightBitLineDraw[] = "aaaxuuukkuxkjjjkmvwtqnttmlvwtqnvvwwmmllnnjl";
static_assert(sizeof kEightBitLineDraw - 1 == 0xDA - 0xB0 + 1);

// The line in 132-column mode.
constexpr int kWideColumns = 132;

constexpr TColor kAnsiColors[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                   0x800000, 0x800080, 0x808000, 0xC0C0C0};

TColor brighten(TColor c) {
    TColor out = 0;
    for (int shift = 0; shift <= 16; shift += 8)
        out |= std::min((c >> shift & 0xFFu) + 128u, 255u) << shift;
    return out;
}

int firstArg(const std::vector<int>& args, int def) {
    return args.empty() || args[0] < 0 ? def : args[0];
}

} // namespace

const char* VT100CharSetName(std::uint8_t charSet) {
    static const char* const kNames[] = {"VT100-USASCII", "VT100-UK", "VT100-linedraw", "VT100-ROM1",
                                         "VT100-ROM2"};
    return charSet < 5 ? kNames[charSet] : kNames[0];
}

TQuavVT100Emulator::TQuavVT100Emulator() {
    setBuffer(std::make_unique<TQuavTerminalBuffer>(false));
    buffer_->OnCursorMoved = [this](TQuavTerminalBuffer* sender, int row, int col) {
        teHandleCursorMovement(sender, row, col);
    };
    buffer_->OnScrollRows = [this](TQuavTerminalBuffer*, int count, int top, int bottom) {
        scrollLineAttrs(count, top, bottom);
    };
    TQuavTerminalEmulator::parser_ = &parser_;
    // A missing or broken resource leaves its mapping empty: keys then take the normal path and
    // characters are drawn in the terminal's font.
    keyMap_.LoadFromRes("QVVT100KEYMAP");
    charMap_.LoadFromRes("QVVT100CHARSET");
    keyboardMapping_ = &keyMap_;
    charSetMapping_ = &charMap_;
    syncLineAttrs();
}

TQuavVT100Emulator::~TQuavVT100Emulator() {
    buffer_->OnCursorMoved = nullptr;
    buffer_->OnScrollRows = nullptr;
    unlink();
}

// ---- Line attributes ----------------------------------------------------------------------------

void TQuavVT100Emulator::syncLineAttrs() const {
    const std::size_t rows = std::size_t(buffer_->SVRowCount());
    if (lineAttrs_.size() == rows) return;
    // Aligned at the bottom, as the buffer keeps its rows.
    std::vector<std::uint8_t> next(rows, ltNormal);
    const std::size_t keep = std::min(rows, lineAttrs_.size());
    std::copy(lineAttrs_.end() - std::ptrdiff_t(keep), lineAttrs_.end(), next.end() - std::ptrdiff_t(keep));
    lineAttrs_.swap(next);
}

TQuavVT100LineAttr TQuavVT100Emulator::LineAttr(int absRow) const {
    syncLineAttrs();
    const int i = buffer_->InternalRow(absRow);
    if (i < 0 || i >= int(lineAttrs_.size())) return ltNormal;
    return static_cast<TQuavVT100LineAttr>(lineAttrs_[std::size_t(i)]);
}

void TQuavVT100Emulator::scrollLineAttrs(int count, int top, int bottom) {
    syncLineAttrs();
    int t = buffer_->InternalRow(top), b = buffer_->InternalRow(bottom);
    if (t > b) std::swap(t, b);
    t = std::max(t, 0);
    b = std::min(b, int(lineAttrs_.size()) - 1);
    if (count == 0 || t > b) return;
    auto first = lineAttrs_.begin() + t, last = lineAttrs_.begin() + b + 1;
    const int span = b - t + 1;
    if (std::abs(count) >= span) {
        std::fill(first, last, ltNormal);
    } else if (count > 0) {
        std::move(first + count, last, first);
        std::fill(last - count, last, ltNormal);
    } else {
        std::move_backward(first, last + count, last);
        std::fill(first, first - count, ltNormal);
    }
}

void TQuavVT100Emulator::setLineAttr(TQuavVT100LineAttr a) {
    syncLineAttrs();
    const int abs = buffer_->AbsCursorRow();
    const int i = buffer_->InternalRow(abs);
    if (i < 0 || i >= int(lineAttrs_.size())) return;
    lineAttrs_[std::size_t(i)] = a;
    buffer_->InvalidateCells(1, abs, buffer_->ColCount(), abs);
}

// ---- Bytes in -----------------------------------------------------------------------------------

void TQuavVT100Emulator::ProcessBlock(const char* data, int count, TQuavCharSource source) {
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(data[i]);
        if (!OnProcessChar) {
            if (byte >= 0x20 && byte <= 0x7E && parser_.Idle() && !wrapHeld() &&
                lineEnd(buffer_->AbsCursorRow()) == buffer_->ColCount()) {
                // Plain text between sequences goes into the row in one piece; no more is looked
                // at than a row takes.
                const int most = std::min(count - i, buffer_->ColCount());
                int n = 1;
                while (n < most && std::uint8_t(data[i + n]) >= 0x20 && std::uint8_t(data[i + n]) <= 0x7E)
                    ++n;
                const int written = buffer_->WriteRun(data + i, n);
                if (written > 0) {
                    i += written - 1;
                    continue;
                }
            }
            if (byte == 0x1B) {
                TQuavParserCmdType result = pctNone;
                const int taken = parser_.ProcessCSI(data + i, count - i, result);
                if (taken > 0) {
                    i += taken - 1;
                    if (result == pctComplete) execute();
                    continue;
                }
            }
            if (parser_.State() == psParsingANSI) {
                const int taken = parser_.ProcessArguments(data + i, count - i);
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
        OnProcessChar(this, byte, replaceWith_, commands_, source);
        teProcessCommandList(commands_);
        for (char c : replaceWith_)
            processChar(static_cast<std::uint8_t>(c));
    }
    if (blinkWritten_ && buffer_->HasDisplayChanged()) findBlinkSegments();
}

void TQuavVT100Emulator::processChar(std::uint8_t ch) {
    switch (parser_.ProcessChar(ch)) {
    case pctChar:
        print(ch);
        break;
    case pct8bitChar:
        if (DisplayUpperASCII) {
            print(ch);
        } else if (ch >= 0xB0 && ch <= 0xDA) {
            const std::uint8_t saved = buffer_->CharSet();
            buffer_->tbSetCharSet(vcsLineDraw);
            print(static_cast<std::uint8_t>(kEightBitLineDraw[ch - 0xB0]));
            buffer_->tbSetCharSet(saved);
        }
        break;
    case pctComplete:
        execute();
        break;
    default:
        break;
    }
}

bool TQuavVT100Emulator::replyAllowed() const {
    return terminal_ && terminal_->HasPort() && terminal_->IsPrimaryTerminal();
}

void TQuavVT100Emulator::reply(std::string_view s) {
    if (replyAllowed()) terminal_->putString(s);
}

int TQuavVT100Emulator::lineEnd(int absRow) const {
    return LineAttr(absRow) == ltNormal ? buffer_->ColCount() : buffer_->ColCount() / 2;
}

void TQuavVT100Emulator::holdCursorToLine() {
    TQuavTerminalBuffer& b = *buffer_;
    const int end = lineEnd(b.AbsCursorRow());
    // Columns count from the screen's left edge in either addressing mode.
    if (b.AbsCursorCol() > end) b.tbSetCol(end);
}

bool TQuavVT100Emulator::wrapHeld() const {
    const TQuavTerminalBuffer& b = *buffer_;
    // Only where it was left: whatever moved the cursor since (the window, a command) ended it.
    return heldWrap_ && b.AbsCursorRow() == heldRow_ && b.AbsCursorCol() == lineEnd(heldRow_) &&
           lineEnd(heldRow_) < b.ColCount();
}

void TQuavVT100Emulator::print(std::uint8_t ch) {
    TQuavTerminalBuffer& b = *buffer_;
    if (wrapHeld() && b.UseAutoWrap()) {
        b.DoCarriageReturn();
        b.MoveCursorDown(true);
    }
    heldWrap_ = false;
    const int end = lineEnd(b.AbsCursorRow());
    b.WriteChar(ch);
    if (end < b.ColCount() && b.AbsCursorCol() > end) {
        b.tbSetCol(end);
        heldWrap_ = true;
        heldRow_ = b.AbsCursorRow();
    }
}

void TQuavVT100Emulator::execute() {
    const int row = buffer_->AbsCursorRow(), col = buffer_->AbsCursorCol();
    executeCommand();
    holdCursorToLine();
    if (!heldWrap_) return;
    const TQuavVT100Command c = parser_.Command();
    const bool moves =
        c == vcTab || (c == vcCSI && parser_.Final() != 0 && std::strchr("ABCDHfr", parser_.Final()));
    if (moves || row != buffer_->AbsCursorRow() || col != buffer_->AbsCursorCol()) heldWrap_ = false;
}

void TQuavVT100Emulator::executeCommand() {
    TQuavTerminalBuffer& b = *buffer_;
    switch (parser_.Command()) {
    case vcNone:
        break;
    case vcAnswerback:
        reply(Answerback);
        break;
    case vcBell:
        teProcessCommand(ecBell);
        break;
    case vcBackspace:
        b.DoBackspace();
        break;
    case vcTab:
        b.DoHorzTab();
        break;
    case vcLineFeed:
        b.DoLineFeed();
        break;
    case vcVertTab:
        b.DoVertTab();
        break;
    case vcFormFeed:
        b.EraseScreen();
        break;
    case vcCarriageReturn:
        b.DoCarriageReturn();
        break;
    case vcShiftOut:
    case vcEnterGraphics:
        shiftOut_ = true;
        selectCharSet();
        break;
    case vcShiftIn:
    case vcExitGraphics:
        shiftOut_ = false;
        selectCharSet();
        break;
    case vcSaveCursor:
        teProcessCommand(ecSaveCursorPos);
        break;
    case vcRestoreCursor:
        teProcessCommand(ecRestoreCursorPos);
        break;
    case vcKeypadApplication:
        keypadApp_ = true;
        break;
    case vcKeypadNumeric:
        keypadApp_ = false;
        break;
    case vcIndex:
        b.MoveCursorDown(true);
        break;
    case vcNextLine:
        teProcessCommand(ecNEL);
        break;
    case vcSetTab:
        b.SetHorzTabStop();
        break;
    case vcReverseIndex:
        b.MoveCursorUp(true);
        break;
    case vcIdentify:
        if (replyAllowed()) teProcessCommand(ecDeviceAttributesReport);
        break;
    case vcIdentify52:
        reply("\033/Z");
        break;
    case vcFullReset:
        fullReset();
        break;
    case vcDblHeightTop:
        setLineAttr(ltDblHeightTop);
        break;
    case vcDblHeightBottom:
        setLineAttr(ltDblHeightBottom);
        break;
    case vcSingleWidth:
        setLineAttr(ltNormal);
        break;
    case vcDblWidth:
        setLineAttr(ltDblWidth);
        break;
    case vcAlignment:
        teProcessCommand(ecDECALN);
        break;
    case vcDesignateG0:
    case vcDesignateG1:
        designate(parser_.Command() == vcDesignateG1, parser_.tpGetArgument(0));
        break;
    case vcCSI:
        csi(parser_.Final(), parser_.Arguments());
        break;
    case vcEnterANSI:
        ansi_ = true;
        parser_.SetVT52(false);
        break;
    }
}

void TQuavVT100Emulator::selectCharSet() {
    std::uint8_t set = shiftOut_ ? g1_ : g0_;
    if (!ansi_) set = shiftOut_ ? vcsLineDraw : vcsUSASCII;
    buffer_->tbSetCharSet(set);
}

void TQuavVT100Emulator::designate(bool g1, int code) {
    std::uint8_t set = vcsUSASCII;
    switch (code) {
    case '0':
        set = vcsLineDraw;
        break;
    case '1':
        set = vcsROM1;
        break;
    case '2':
        set = vcsROM2;
        break;
    case 'A':
        set = vcsUK;
        break;
    default:
        break;
    }
    (g1 ? g1_ : g0_) = set;
    if (g1 == shiftOut_) selectCharSet();
}

void TQuavVT100Emulator::csi(std::uint8_t final, const std::vector<int>& args) {
    TQuavTerminalBuffer& b = *buffer_;
    const int n = firstArg(args, 1);
    // A count of 0 means 1, as for the terminal it copies; counts are held at the screen's size,
    // which is as far as any of these moves or edits can reach.
    const int count = std::max(1, std::min(n, std::max(b.ColCount(), b.SVRowCount())));
    switch (final) {
    case '@':
        b.InsertChars(count);
        break;
    case 'A':
    case 'B':
    case 'C':
    case 'D':
        for (int i = 0; i < count; ++i) {
            if (final == 'A')
                b.MoveCursorUp(false);
            else if (final == 'B')
                b.MoveCursorDown(false);
            else if (final == 'C')
                b.MoveCursorRight(false, false);
            else
                b.MoveCursorLeft(false, false);
        }
        break;
    case 'H':
    case 'f':
        // Row or column 0 is the first, not a scrollback row; in origin mode the cursor stays
        // inside the region.
        b.SetCursorPosition(
            origin_
                ? std::clamp(args[0], 1, b.UseScrollRegion() ? regionBottom_ - regionTop_ + 1 : b.RowCount())
                : std::max(1, args[0]),
            std::max(1, args[1]));
        break;
    case 'J':
        if (n == 0)
            b.EraseToEOW();
        else if (n == 1)
            b.EraseFromBOW();
        else if (n == 2)
            b.EraseScreen();
        break;
    case 'K':
        if (n == 0)
            b.EraseToEOL();
        else if (n == 1)
            b.EraseFromBOL();
        else if (n == 2)
            b.EraseLine();
        break;
    case 'L':
        b.InsertLines(count);
        break;
    case 'M':
        b.DeleteLines(count);
        break;
    case 'P':
        b.DeleteChars(count);
        break;
    case 'X':
        b.EraseChars(count);
        break;
    case 'c':
        if (n == 0 && replyAllowed()) teProcessCommand(ecDeviceAttributesReport);
        break;
    case 'g':
        if (n == 0) {
            b.ClearHorzTabStop();
        } else if (n == 3) {
            b.ClearAllHorzTabStops();
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
            TQuavEmuCommandParams p;
            p.AddIntegerArg(n);
            teProcessCommand(ecDeviceStatusReport, &p);
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
        const int rows = b.RowCount();
        int top = args.size() > 0 && args[0] > 0 ? args[0] : 1;
        int bottom = args.size() > 1 && args[1] > 0 ? args[1] : rows;
        // A region reaching past the screen would address rows the buffer does not have.
        top = std::min(top, rows);
        bottom = std::min(bottom, rows);
        b.SetScrollRegion(top, bottom);
        regionTop_ = std::min(top, bottom);
        regionBottom_ = std::max(top, bottom);
        // The cursor goes home: the screen's top-left, or the region's in origin mode.
        b.SetCursorPosition(1, 1);
        break;
    }
    case 's':
        teProcessCommand(ecSaveCursorPos);
        break;
    case 'u':
        teProcessCommand(ecRestoreCursorPos);
        break;
    case 'x':
        if (replyAllowed()) {
            const int kind = std::clamp(args[0], 0, 1) + 2;
            const char parity = terminal_->PortParity();
            const int par = parity == 'O' ? 4 : parity == 'E' ? 5 : 1;
            const int bits = terminal_->PortDataBits() == 8 ? 1 : 2;
            int speed = 120;
            switch (terminal_->PortBaud()) {
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

void TQuavVT100Emulator::setMode(const std::vector<int>& args, bool on) {
    TQuavTerminalBuffer& b = *buffer_;
    const bool priv = !args.empty() && args[0] == -2;
    for (std::size_t i = priv ? 1 : 0; i < args.size(); ++i) {
        const int m = args[i];
        if (!priv) {
            if (m == 4) {
                insert_ = on;
                b.SetUseInsertMode(on);
            } else if (m == 20) {
                newLine_ = on;
                b.SetUseNewLineMode(on);
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
                parser_.SetVT52(true);
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
            b.SetUseAbsAddress(!on);
            // The cursor goes home, which origin mode has just moved.
            b.SetCursorPosition(1, 1);
            break;
        case 7:
            autoWrap_ = on;
            b.SetUseAutoWrap(on);
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

void TQuavVT100Emulator::setAttributes(const std::vector<int>& args) {
    TQuavTerminalBuffer& b = *buffer_;
    TQuavTerminalCharAttrs a = b.GetCharAttrs();
    for (int m : args) {
        switch (m) {
        case 0:
            a = 0;
            b.tbSetForeColor(b.DefForeColor());
            b.tbSetBackColor(b.DefBackColor());
            break;
        case 1:
            a |= tcaBold;
            break;
        case 4:
            a |= tcaUnderline;
            break;
        case 5:
            a |= tcaBlink;
            blinkWritten_ = true;
            break;
        case 7:
            a |= tcaReverse;
            break;
        case 8:
            a |= tcaInvisible;
            break;
        case 22:
            a &= TQuavTerminalCharAttrs(~tcaBold);
            break;
        case 24:
            a &= TQuavTerminalCharAttrs(~tcaUnderline);
            break;
        case 25:
            a &= TQuavTerminalCharAttrs(~tcaBlink);
            break;
        case 27:
            a &= TQuavTerminalCharAttrs(~tcaReverse);
            break;
        case 28:
            a &= TQuavTerminalCharAttrs(~tcaInvisible);
            break;
        default:
            if (m >= 30 && m <= 37) b.tbSetForeColor(kAnsiColors[m - 30]);
            if (m >= 40 && m <= 47) b.tbSetBackColor(kAnsiColors[m - 40]);
            break;
        }
    }
    b.SetCharAttrs(a);
}

void TQuavVT100Emulator::setWideLine(bool on) {
    TQuavTerminalBuffer& b = *buffer_;
    col132_ = on;
    const int before = b.ColCount();
    auto remembered = [this](int col) {
        return col <= int(tabMemory_.size()) ? bool(tabMemory_[std::size_t(col - 1)]) : (col - 1) % 8 == 0;
    };
    for (int c = before; c > (on ? kWideColumns : 80); --c) {
        if (c > int(tabMemory_.size())) tabMemory_.resize(std::size_t(c), false);
        tabMemory_[std::size_t(c - 1)] = b.HasHorzTabStop(c);
    }
    if (terminal_)
        terminal_->SetTerminalColumns(on ? kWideColumns : 80);
    else
        b.tbSetColCount(on ? kWideColumns : 80);
    for (int c = before + 1; c <= b.ColCount(); ++c)
        b.SetHorzTabStopAt(c, remembered(c));
}

void TQuavVT100Emulator::fullReset() {
    TQuavTerminalBuffer& b = *buffer_;
    if (col132_) setWideLine(false);
    tabMemory_.clear();
    b.Reset();
    regionTop_ = 1;
    regionBottom_ = b.RowCount();
    ansi_ = true;
    parser_.SetVT52(false);
    cursorKeyApp_ = keypadApp_ = false;
    autoRepeat_ = true;
    insert_ = newLine_ = origin_ = smooth_ = interlace_ = false;
    autoWrap_ = true;
    g0_ = g1_ = vcsUSASCII;
    shiftOut_ = false;
    leds_.fill(false);
    std::fill(lineAttrs_.begin(), lineAttrs_.end(), ltNormal);
    blink_.clear();
    blinkWritten_ = false;
    if (reverseScreen_) reverseScreen_ = false;
    repaintAll();
}

void TQuavVT100Emulator::teClear() {
    buffer_->EraseScreen();
}

void TQuavVT100Emulator::teClearAll() {
    buffer_->EraseAll();
    std::fill(lineAttrs_.begin(), lineAttrs_.end(), ltNormal);
    blink_.clear();
}

bool TQuavVT100Emulator::teGetNeedsUpdate() {
    return buffer_->HasDisplayChanged() || repaintAll_ || buffer_->HasCursorMoved();
}

void TQuavVT100Emulator::GetCursorPos(int& row, int& col) {
    row = buffer_->tbGetRow();
    col = buffer_->tbGetCol();
}

// ---- Keys ---------------------------------------------------------------------------------------

void TQuavVT100Emulator::KeyDown(int& key, TQuavShiftState shift) {
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
    std::string name = keyMap_.Get(code);
    if (name.empty()) return;
    if (shift & ssAlt) name = "alt+" + name;
    if (shift & ssCtrl) name = "ctrl+" + name;
    if (shift & ssShift) name = "shift+" + name;
    std::string termKey = keyMap_.Get(name);
    if (termKey.empty()) return;
    char& last = termKey.back();
    if (last == 'c')
        last = !ansi_ ? '0' : cursorKeyApp_ ? '2' : '1';
    else if (last == 'k')
        last = !ansi_ ? (keypadApp_ ? '4' : '3') : (keypadApp_ ? '6' : '5');
    const std::string text = keyMap_.Get(termKey);
    if (text.empty()) return;
    sendKeyText(text);
    key = 0;
}

void TQuavVT100Emulator::sendKeyText(const std::string& text) {
    bool echo = true;
    auto send = [&](char c) {
        teSendChar(c, echo, csKeyboard);
        if (c == '\x1b') echo = false;
        if (c == '\r' && newLine_) teSendChar('\n', echo, csKeyboard);
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

void TQuavVT100Emulator::KeyPress(char& ch) {
    teSendChar(ch, true, csKeyboard);
    if (ch == '\r' && newLine_) teSendChar('\n', true, csKeyboard);
}

// ---- Painting -----------------------------------------------------------------------------------

void TQuavVT100Emulator::repaintAll() {
    repaintAll_ = true;
    if (terminal_) terminal_->RepaintAll();
}

void TQuavVT100Emulator::syncColors() {
    if (!terminal_) return;
    // Compared with the defaults, not the current colours: a colour the stream chose is not a
    // change of the terminal's colours.
    TQuavTerminalBuffer& b = *buffer_;
    const TColor back = terminal_->Color(), fore = terminal_->FontColor();
    if (back == b.DefBackColor() && fore == b.DefForeColor()) return;
    const bool curBack = b.BackColor() == b.DefBackColor(), curFore = b.ForeColor() == b.DefForeColor();
    b.tbSetDefBackColor(back);
    b.tbSetDefForeColor(fore);
    if (curBack) b.tbSetBackColor(back);
    if (curFore) b.tbSetForeColor(fore);
    repaintAll_ = true;
}

void TQuavVT100Emulator::findBlinkSegments() {
    TQuavTerminalBuffer& b = *buffer_;
    blink_.clear();
    const int cols = b.ColCount();
    for (int row = 1; row <= b.RowCount(); ++row) {
        const TQuavTerminalCharAttrs* a = b.GetLineAttrPtr(row);
        if (!a) continue;
        for (int c = 0; c < cols; ++c) {
            if (!(a[c] & tcaBlink)) continue;
            if (!blink_.empty() && blink_.back().row == row && blink_.back().lastCol == c)
                blink_.back().lastCol = c + 1;
            else
                blink_.push_back({row, c + 1, c + 1});
        }
    }
    blinkWritten_ = !blink_.empty() || (b.GetCharAttrs() & tcaBlink);
}

void TQuavVT100Emulator::BlinkPaint(bool phaseOn) {
    if (!terminal_) return;
    for (const BlinkSegment& s : blink_)
        drawRow(s.row, s.firstCol, s.lastCol, !phaseOn);
}

void TQuavVT100Emulator::LazyPaint() {
    if (!terminal_) return;
    syncColors();
    lazyPaintRows(repaintAll_, [this](int row, int first, int last) { drawRow(row, first, last); });
}

void TQuavVT100Emulator::Paint() {
    if (!terminal_) return;
    syncColors();
    paintClipRows([this](int row, int first, int last) { drawRow(row, first, last); });
}

void TQuavVT100Emulator::drawRow(int row, int firstCol, int lastCol, bool blinkOff) {
    TQuavTerminalHost& t = *terminal_;
    TQuavTerminalCanvas* canvas = t.Canvas();
    TQuavTerminalBuffer& b = *buffer_;
    if (!canvas) return;
    const int originCol = t.OriginCol(), originRow = t.OriginRow(), visibleCols = t.VisibleCols();
    if (row < originRow || row > originRow + t.VisibleRows() - 1) return;
    const TQuavVT100LineAttr la = LineAttr(row);
    const int scaleX = la == ltNormal ? 1 : 2;
    const int scaleY = la == ltDblHeightTop || la == ltDblHeightBottom ? 2 : 1;
    if (scaleX == 2) {
        // Half as many columns, from the one under the view's left edge.
        firstCol = std::max(firstCol, 1);
        const int from = (originCol - 1) / 2 + 1;
        const int to = std::min((b.ColCount() + 1) / 2, (originCol - 1 + visibleCols) / 2 + 1);
        firstCol = std::max(from, (firstCol - 1) / 2 + 1);
        lastCol = std::min(to, std::max(firstCol, lastCol));
        if (lastCol < firstCol) return;
    } else {
        if (lastCol < originCol || firstCol >= originCol + visibleCols) return;
        firstCol = std::max({firstCol, originCol, 1});
        lastCol = std::min({lastCol, originCol + visibleCols - 1, b.ColCount()});
        if (firstCol > lastCol) return;
    }
    const char* chars = b.GetLineCharPtr(row);
    const std::uint8_t* sets = b.GetLineCharSetPtr(row);
    const TQuavTerminalCharAttrs* attrs = b.GetLineAttrPtr(row);
    const TColor* fore = b.GetLineForeColorPtr(row);
    const TColor* back = b.GetLineBackColorPtr(row);
    if (!chars || !sets || !attrs || !fore || !back) return;

    const int cw = t.CharWidth(), chh = t.CharHeight();
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
        const TQuavTerminalCharAttrs a = attrs[i];
        TColor text = fore[i], fill = back[i];
        const bool swapped = (((a & tcaReverse) != 0) != reverseScreen_) != ((a & tcaSelected) != 0);
        if (swapped) std::swap(text, fill);
        if (a & tcaInvisible)
            text = fill;
        else if (a & tcaBold)
            (swapped ? fill : text) = brighten(swapped ? fill : text);
        const int len = c - start + 1;
        const int x = xOf(start);
        const TQuavTermRect cell{x, y, x + len * cellW, y + chh};
        if (blinkOff && (a & tcaBlink)) {
            canvas->FillRect(cell, fill);
            c = start - 1;
            continue;
        }
        const std::string_view run(chars + (start - 1), std::size_t(len));
        const bool plain =
            scaleX == 1 && (sets[i] == vcsUSASCII || sets[i] == vcsROM1) &&
            std::none_of(run.begin(), run.end(), [](char ch) { return std::uint8_t(ch) > 0x7E; });
        if (plain || charMap_.Count() == 0) {
            if (scaleX == 1) {
                canvas->TextRun(cell, run.data(), len, cw, text, fill);
            } else {
                glyphs_.assign(run.begin(), run.end());
                canvas->GlyphRun(cell, glyphs_.data(), len, cellW, text, fill, scaleX, scaleY,
                                 la == ltDblHeightBottom);
            }
        } else {
            charMap_.GenerateDrawScript(VT100CharSetName(sets[i]), run);
            int segX = x;
            while (charMap_.GetNextDrawCommand(fontName_, segment_)) {
                const int n = int(segment_.size());
                const TQuavTermRect segCell{segX, y, segX + n * cellW, y + chh};
                const bool own = fontName_ == TQuavCharSetMapping::kDefaultFont;
                if (own && scaleX == 1) {
                    canvas->TextRun(segCell, segment_.data(), n, cw, text, fill);
                } else {
                    glyphs_.clear();
                    for (char g : segment_)
                        glyphs_.push_back(own ? char32_t(std::uint8_t(g)) : Cp437ToUnicode(std::uint8_t(g)));
                    canvas->GlyphRun(segCell, glyphs_.data(), n, cellW, text, fill, scaleX, scaleY,
                                     la == ltDblHeightBottom);
                }
                segX += n * cellW;
            }
        }
        if (a & tcaUnderline) canvas->Line(cell.Left, cell.Bottom - 2, cell.Right, cell.Bottom - 2, text);
        if (a & tcaStrikethrough)
            canvas->Line(cell.Left, cell.Top + chh / 2, cell.Right, cell.Top + chh / 2, text);
        c = start - 1;
    }
}

} // namespace brimwell
