// The emulator base: link management with terminals, sending characters, and the generic command
// interpreter that maps emulator commands onto the buffer.
#include "terminal/terminal_emulator.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>
#include <vector>

namespace brimwell::terminal {

namespace {

// Linked (terminal, emulator) pairs of the process. The terminal's Emulator setter and the
// emulator's setTerminal call each other; finding the pair here ends that exchange. UI thread only.
std::vector<std::pair<TerminalHost*, TerminalEmulator*>>& linkRegistry() {
    static std::vector<std::pair<TerminalHost*, TerminalEmulator*>> pairs;
    return pairs;
}

bool isLinked(TerminalHost* t, TerminalEmulator* e) {
    auto& r = linkRegistry();
    return std::find(r.begin(), r.end(), std::make_pair(t, e)) != r.end();
}

void removeLink(TerminalHost* t, TerminalEmulator* e) {
    auto& r = linkRegistry();
    r.erase(std::remove(r.begin(), r.end(), std::make_pair(t, e)), r.end());
}

TerminalEmulator* emulatorLinkedTo(TerminalHost* t) {
    for (auto& [term, emu] : linkRegistry())
        if (term == t) return emu;
    return nullptr;
}

int intParam(const EmuCommandParams& p, std::string_view name, int position, int def) {
    long long v = p.getIntegerValue(name, position, def);
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

const EmuCommandParams& noParams() {
    static const EmuCommandParams empty;
    return empty;
}

} // namespace

TerminalEmulator::TerminalEmulator() = default;

TerminalEmulator::~TerminalEmulator() {
    unlink();
}

void TerminalEmulator::setBuffer(std::unique_ptr<TerminalBuffer> buffer) {
    buffer_ = std::move(buffer);
}

void TerminalEmulator::unlink() {
    if (internal_ || !terminal_) return;
    TerminalHost* old = terminal_;
    removeLink(old, this);
    terminal_ = nullptr; // before the call back, so that the terminal's setTerminal(nullptr) is a no-op
    old->setEmulator(nullptr);
}

void TerminalEmulator::setTerminal(TerminalHost* terminal) {
    if (internal_) {
        terminal_ = terminal;
        return;
    }
    if (terminal == terminal_) return;
    if (terminal && isLinked(terminal, this)) {
        terminal_ = terminal;
        return;
    }
    unlink();
    if (!terminal) return;
    if (TerminalEmulator* other = emulatorLinkedTo(terminal)) other->setTerminal(nullptr);
    linkRegistry().emplace_back(terminal, this);
    terminal_ = terminal;
    terminal->setEmulator(this);
}

void TerminalEmulator::terminalRemoved(TerminalHost* terminal) {
    if (terminal != terminal_) return;
    removeLink(terminal, this);
    terminal_ = nullptr;
}

void TerminalEmulator::terminalAdded(TerminalHost* terminal) {
    if (!terminal_ && terminal) setTerminal(terminal);
}

bool TerminalEmulator::needsUpdate() {
    if (!buffer_) return false;
    return buffer_->hasDisplayChanged() || buffer_->hasCursorMoved();
}

void TerminalEmulator::sendChar(char ch, bool echoAllowed, CharSource source) {
    if (!terminal_) return;
    if (echoAllowed && terminal_->halfDuplex()) processBlock(&ch, 1, source);
    // A closed or missing port drops the character without notice.
    if (terminal_ && terminal_->portOpen()) terminal_->putChar(ch);
}

void TerminalEmulator::handleCursorMovement(TerminalBuffer* sender, int row, int col) {
    TerminalHost* t = terminal_;
    if (!t) return;
    if (!t->useLazyDisplay()) t->termNeedsUpdate();
    if (t->followCursor()) t->doFollowCursor(row, col);
    if (t->hideScrollbars()) {
        bool beyondRows = row > t->fullRows();
        bool beyondCols = col > t->fullCols();
        if (beyondRows != t->cursorBeyondRows() || beyondCols != t->cursorBeyondCols()) {
            t->setCursorBeyond(beyondRows, beyondCols);
            t->updateScrollBars();
        }
    }
    t->cursorMoved(sender, row, col);
}

void TerminalEmulator::lazyPaintRows(bool& repaintAll, const RowDrawer& drawRow) {
    TermRect r;
    if (repaintAll) {
        repaintAll = false;
        for (int row = 1; row <= buffer_->rowCount(); ++row)
            drawRow(row, 1, buffer_->colCount());
        while (buffer_->getInvalidRect(r)) {
        }
        return;
    }
    while (buffer_->getInvalidRect(r)) {
        if (!terminal_->freezeScrollBack()) {
            r.top += terminal_->originRow() - 1;
            r.bottom += terminal_->originRow();
        }
        for (int row = r.top; row <= r.bottom; ++row)
            drawRow(row, r.left, r.right);
    }
}

void TerminalEmulator::paintClipRows(const RowDrawer& drawRow) {
    TerminalCanvas* canvas = terminal_->canvas();
    const int cw = terminal_->charWidth();
    const int ch = terminal_->charHeight();
    if (!canvas || cw <= 0 || ch <= 0) return;
    const TermRect clip = canvas->clipRect();
    if (clip.right <= clip.left || clip.bottom <= clip.top) return;
    const int firstCol = clip.left / cw + terminal_->originCol();
    const int lastCol = (clip.right - 1) / cw + terminal_->originCol();
    int firstRow = clip.top / ch + terminal_->originRow();
    int lastRow = (clip.bottom - 1) / ch + terminal_->originRow();
    if (!terminal_->freezeScrollBack()) {
        firstRow += terminal_->originRow() - 1;
        lastRow += terminal_->originRow();
    }
    for (int row = firstRow; row <= lastRow; ++row)
        drawRow(row, firstCol, lastCol);
}

void TerminalEmulator::processCommandList(const EmuCommandList& list) {
    for (int i = 0; i < list.count(); ++i)
        processCommand(list[i].command, &list[i].params);
}

void TerminalEmulator::executeTerminalCommands(const EmuCommandList& list) {
    processCommandList(list);
    if (terminal_) terminal_->repaintAll();
}

void TerminalEmulator::processCommand(EmuCommand command, const EmuCommandParams* params) {
    TerminalBuffer* b = buffer_.get();
    if (!b) return;
    const EmuCommandParams& p = params ? *params : noParams();
    auto attrOp = [b](CharAttrs bit, int op) {
        CharAttrs a = b->getCharAttrs();
        switch (op) {
        case 0:
            a |= bit;
            break; // add
        case 1:
            a = bit;
            break; // only
        case 2:
            a &= static_cast<CharAttrs>(~bit);
            break; // remove
        default:
            a ^= bit;
            break; // invert
        }
        b->setCharAttrs(a);
    };
    auto deviceReportAllowed = [this] {
        return terminal_ && terminal_->hasPort() && terminal_->isPrimaryTerminal();
    };

    switch (command) {
    case EmuCommand::None:
        break;
    case EmuCommand::Bell:
        if (terminal_) terminal_->beep();
        break;
    case EmuCommand::Backspace:
        b->doBackspace();
        break;
    case EmuCommand::TabHorz:
        b->doHorzTab();
        break;
    case EmuCommand::LF:
        b->doLineFeed();
        break;
    case EmuCommand::CR:
        b->doCarriageReturn();
        break;
    case EmuCommand::BackTabHorz:
        b->doBackHorzTab();
        break;
    case EmuCommand::CursorDown:
        b->moveCursorDown(p.getBooleanValue("Scroll", 0, false));
        break;
    case EmuCommand::CursorLeft:
        b->moveCursorLeft(p.getBooleanValue("Wrap", 0, false), p.getBooleanValue("Scroll", 1, false));
        break;
    case EmuCommand::CursorRight:
        b->moveCursorRight(p.getBooleanValue("Wrap", 0, false), p.getBooleanValue("Scroll", 1, false));
        break;
    case EmuCommand::CursorUp:
        b->moveCursorUp(p.getBooleanValue("Scroll", 0, false));
        break;
    case EmuCommand::CursorPos:
        b->setCursorPosition(intParam(p, "Row", 0, 1), intParam(p, "Col", 1, 1));
        break;
    case EmuCommand::DeleteChars:
        b->deleteChars(intParam(p, "Count", 0, 1));
        break;
    case EmuCommand::DeleteLines:
        b->deleteLines(intParam(p, "Count", 0, 1));
        break;
    case EmuCommand::InsertChars:
        b->insertChars(intParam(p, "Count", 0, 1));
        break;
    case EmuCommand::InsertLines:
        b->insertLines(intParam(p, "Count", 0, 1));
        break;
    case EmuCommand::EraseAll:
        b->eraseAll();
        break;
    case EmuCommand::EraseChars:
        b->eraseChars(intParam(p, "Count", 0, 1));
        break;
    case EmuCommand::EraseFromBOW:
        b->eraseFromBow();
        break;
    case EmuCommand::EraseFromBOL:
        b->eraseFromBol();
        break;
    case EmuCommand::EraseLine:
        b->eraseLine();
        break;
    case EmuCommand::EraseScreen:
        b->eraseScreen();
        break;
    case EmuCommand::EraseToEOL:
        b->eraseToEol();
        break;
    case EmuCommand::EraseToEOW:
        b->eraseToEow();
        break;
    case EmuCommand::SetHorzTabStop:
        b->setHorzTabStop();
        break;
    case EmuCommand::ClearHorzTabStop:
        b->clearHorzTabStop();
        break;
    case EmuCommand::ClearVertTabStop:
        b->clearVertTabStop();
        break;
    case EmuCommand::ClearAllHorzTabStops:
        b->clearAllHorzTabStops();
        break;
    case EmuCommand::SetVertTabStop:
        b->setVertTabStop();
        break;
    case EmuCommand::ClearAllVertTabStops:
        b->clearAllVertTabStops();
        break;
    case EmuCommand::SetScrollRegion:
        b->setScrollRegion(intParam(p, "Top", 0, 1), intParam(p, "Bottom", 1, 1));
        break;
    case EmuCommand::TabVert:
        b->doVertTab();
        break;
    case EmuCommand::BackTabVert:
        b->doBackVertTab();
        break;
    case EmuCommand::BackColor: {
        Color c = p.getTColorValue("Color", 0, kBlack);
        b->setBackColor(c);
        if (p.getBooleanValue("Persistent", 1, true) && terminal_) terminal_->setColor(c);
        break;
    }
    case EmuCommand::ForeColor: {
        Color c = p.getTColorValue("Color", 0, kSilver);
        b->setForeColor(c);
        if (p.getBooleanValue("Persistent", 1, true) && terminal_) terminal_->setFontColor(c);
        break;
    }
    case EmuCommand::AbsAddress:
        b->setUseAbsAddress(true);
        break;
    case EmuCommand::NoAbsAddress:
        b->setUseAbsAddress(false);
        break;
    case EmuCommand::AutoWrap:
        b->setUseAutoWrap(true);
        break;
    case EmuCommand::NoAutoWrap:
        b->setUseAutoWrap(false);
        break;
    case EmuCommand::AutoWrapDelay:
        b->setUseAutoWrapDelay(true);
        break;
    case EmuCommand::NoAutoWrapDelay:
        b->setUseAutoWrapDelay(false);
        break;
    case EmuCommand::InsertMode:
        b->setUseInsertMode(true);
        break;
    case EmuCommand::NoInsertMode:
        b->setUseInsertMode(false);
        break;
    case EmuCommand::NewLineMode:
        b->setUseNewLineMode(true);
        break;
    case EmuCommand::NoNewLineMode:
        b->setUseNewLineMode(false);
        break;
    case EmuCommand::ScrollRegion:
        b->setUseScrollRegion(true);
        break;
    case EmuCommand::NoScrollRegion:
        b->setUseScrollRegion(false);
        break;
    case EmuCommand::SetCharAttr: {
        static constexpr std::pair<const char*, CharAttrs> kNamed[] = {
            {"Bold", kAttrBold},        {"Underline", kAttrUnderline}, {"Strikethrough", kAttrStrikethrough},
            {"Blink", kAttrBlink},      {"Reverse", kAttrReverse},     {"Invisible", kAttrInvisible},
            {"Selected", kAttrSelected}};
        CharAttrs a = 0;
        for (int i = 0; i < 7; ++i)
            if (p.getBooleanValue(kNamed[i].first, i, false)) a |= kNamed[i].second;
        b->setCharAttrs(a);
        break;
    }
    case EmuCommand::AddBold:
        attrOp(kAttrBold, 0);
        break;
    case EmuCommand::BoldOnly:
        attrOp(kAttrBold, 1);
        break;
    case EmuCommand::RemoveBold:
        attrOp(kAttrBold, 2);
        break;
    case EmuCommand::InvertBold:
        attrOp(kAttrBold, 3);
        break;
    case EmuCommand::AddUnderLine:
        attrOp(kAttrUnderline, 0);
        break;
    case EmuCommand::UnderlineOnly:
        attrOp(kAttrUnderline, 1);
        break;
    case EmuCommand::RemoveUnderline:
        attrOp(kAttrUnderline, 2);
        break;
    case EmuCommand::InvertUnderline:
        attrOp(kAttrUnderline, 3);
        break;
    case EmuCommand::AddStrikethrough:
        attrOp(kAttrStrikethrough, 0);
        break;
    case EmuCommand::StrikethroughOnly:
        attrOp(kAttrStrikethrough, 1);
        break;
    case EmuCommand::RemoveStrikethrough:
        attrOp(kAttrStrikethrough, 2);
        break;
    case EmuCommand::InvertStrikethrough:
        attrOp(kAttrStrikethrough, 3);
        break;
    case EmuCommand::AddBlink:
        attrOp(kAttrBlink, 0);
        break;
    case EmuCommand::BlinkOnly:
        attrOp(kAttrBlink, 1);
        break;
    case EmuCommand::RemoveBlink:
        attrOp(kAttrBlink, 2);
        break;
    case EmuCommand::InvertBlink:
        attrOp(kAttrBlink, 3);
        break;
    case EmuCommand::AddReverse:
        attrOp(kAttrReverse, 0);
        break;
    case EmuCommand::ReverseOnly:
        attrOp(kAttrReverse, 1);
        break;
    case EmuCommand::RemoveReverse:
        attrOp(kAttrReverse, 2);
        break;
    case EmuCommand::InvertReverse:
        attrOp(kAttrReverse, 3);
        break;
    case EmuCommand::AddInvisible:
        attrOp(kAttrInvisible, 0);
        break;
    case EmuCommand::InvisibleOnly:
        attrOp(kAttrInvisible, 1);
        break;
    case EmuCommand::RemoveInvisible:
        attrOp(kAttrInvisible, 2);
        break;
    case EmuCommand::InvertInvisible:
        attrOp(kAttrInvisible, 3);
        break;
    case EmuCommand::AddSelected:
        attrOp(kAttrSelected, 0);
        break;
    // These two do what their names say; they are not exchanged.
    case EmuCommand::RemoveSelected:
        attrOp(kAttrSelected, 2);
        break;
    case EmuCommand::SelectedOnly:
        attrOp(kAttrSelected, 1);
        break;
    case EmuCommand::InvertSelected:
        attrOp(kAttrSelected, 3);
        break;
    case EmuCommand::RemoveAllAttr:
        b->setCharAttrs(0);
        break;
    case EmuCommand::RemoveAllAttrIgnoreSelect:
        b->setCharAttrs(b->getCharAttrs() & kAttrSelected);
        break;
    case EmuCommand::ClearAndHome:
        b->eraseScreen();
        b->setCursorPosition(1, 1);
        break;
    case EmuCommand::Home:
        b->setCursorPosition(1, 1);
        break;
    case EmuCommand::CursorEOL:
        b->setCursorCol(b->colCount());
        break;
    case EmuCommand::CursorBOL:
        b->setCursorCol(1);
        break;
    case EmuCommand::CursorTop:
        b->setCursorRow(1);
        break;
    case EmuCommand::CursorBottom:
        b->setCursorRow(b->rowCount());
        break;
    case EmuCommand::WriteString:
        b->writeString(p.getStringValue("String", 0, ""));
        break;
    case EmuCommand::Color: {
        Color fore = p.getTColorValue("Fore", 0, kSilver);
        Color back = p.getTColorValue("Back", 1, kBlack);
        b->setForeColor(fore);
        b->setBackColor(back);
        if (p.getBooleanValue("Persistent", 2, true) && terminal_) {
            terminal_->setFontColor(fore);
            terminal_->setColor(back);
        }
        break;
    }
    case EmuCommand::SaveCursorPos:
        savedAttrs_ = b->getCharAttrs();
        savedBackColor_ = b->backColor();
        savedCharSet_ = b->charSet();
        savedCol_ = b->cursorCol();
        savedForeColor_ = b->foreColor();
        savedRow_ = b->cursorRow();
        break;
    case EmuCommand::RestoreCursorPos:
        b->setCharAttrs(savedAttrs_);
        b->setBackColor(savedBackColor_);
        b->setCharSet(savedCharSet_);
        b->setCursorCol(savedCol_);
        b->setForeColor(savedForeColor_);
        b->setCursorRow(savedRow_);
        break;
    case EmuCommand::DeviceAttributesReport:
        if (deviceReportAllowed()) {
            int type = intParam(p, "Type", 0, 0);
            if (type == 0)
                terminal_->putString("\033[?1;0c");
            else if (type == 52)
                terminal_->putString("\033/Z");
        }
        break;
    case EmuCommand::NEL:
        b->doLineFeed();
        if (!b->useNewLineMode()) b->doCarriageReturn();
        break;
    case EmuCommand::Reset:
        b->Reset();
        break;
    case EmuCommand::Answerback:
        break;
    case EmuCommand::DECALN: {
        std::uint16_t saved = b->defAnsiChar();
        b->setDefAnsiChar('E');
        b->eraseScreen();
        b->setDefAnsiChar(saved);
        break;
    }
    case EmuCommand::DeviceStatusReport:
        if (deviceReportAllowed()) {
            int type = intParam(p, "Type", 0, 5);
            if (type == 5) {
                terminal_->putString("\033[0n");
            } else if (type == 6) {
                char report[48];
                int n = std::snprintf(report, sizeof report, "\033[%d;%dR", b->cursorRow(), b->cursorCol());
                terminal_->putString(std::string_view(report, static_cast<std::size_t>(n)));
            }
        }
        break;
    }
}

} // namespace brimwell::terminal
