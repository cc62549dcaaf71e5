// The emulator base: link management with terminals, sending characters, and the generic command
// interpreter that maps emulator commands onto the buffer.
#include "terminal/terminal_emulator.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <utility>
#include <vector>

namespace brimwell {

namespace {

// Linked (terminal, emulator) pairs of the process. The terminal's Emulator setter and the
// emulator's teSetTerminal call each other; finding the pair here ends that exchange. UI thread only.
std::vector<std::pair<TQuavTerminalHost*, TQuavTerminalEmulator*>>& linkRegistry() {
    static std::vector<std::pair<TQuavTerminalHost*, TQuavTerminalEmulator*>> pairs;
    return pairs;
}

bool isLinked(TQuavTerminalHost* t, TQuavTerminalEmulator* e) {
    auto& r = linkRegistry();
    return std::find(r.begin(), r.end(), std::make_pair(t, e)) != r.end();
}

void removeLink(TQuavTerminalHost* t, TQuavTerminalEmulator* e) {
    auto& r = linkRegistry();
    r.erase(std::remove(r.begin(), r.end(), std::make_pair(t, e)), r.end());
}

TQuavTerminalEmulator* emulatorLinkedTo(TQuavTerminalHost* t) {
    for (auto& [term, emu] : linkRegistry())
        if (term == t) return emu;
    return nullptr;
}

int intParam(const TQuavEmuCommandParams& p, std::string_view name, int position, int def) {
    long long v = p.GetIntegerValue(name, position, def);
    return static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

const TQuavEmuCommandParams& noParams() {
    static const TQuavEmuCommandParams empty;
    return empty;
}

} // namespace

TQuavTerminalEmulator::TQuavTerminalEmulator() = default;

TQuavTerminalEmulator::~TQuavTerminalEmulator() {
    unlink();
}

void TQuavTerminalEmulator::setBuffer(std::unique_ptr<TQuavTerminalBuffer> buffer) {
    buffer_ = std::move(buffer);
}

void TQuavTerminalEmulator::unlink() {
    if (internal_ || !terminal_) return;
    TQuavTerminalHost* old = terminal_;
    removeLink(old, this);
    terminal_ = nullptr; // before the call back, so that the terminal's teSetTerminal(nullptr) is a no-op
    old->SetEmulator(nullptr);
}

void TQuavTerminalEmulator::teSetTerminal(TQuavTerminalHost* terminal) {
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
    if (TQuavTerminalEmulator* other = emulatorLinkedTo(terminal)) other->teSetTerminal(nullptr);
    linkRegistry().emplace_back(terminal, this);
    terminal_ = terminal;
    terminal->SetEmulator(this);
}

void TQuavTerminalEmulator::TerminalRemoved(TQuavTerminalHost* terminal) {
    if (terminal != terminal_) return;
    removeLink(terminal, this);
    terminal_ = nullptr;
}

void TQuavTerminalEmulator::TerminalAdded(TQuavTerminalHost* terminal) {
    if (!terminal_ && terminal) teSetTerminal(terminal);
}

bool TQuavTerminalEmulator::teGetNeedsUpdate() {
    if (!buffer_) return false;
    return buffer_->HasDisplayChanged() || buffer_->HasCursorMoved();
}

void TQuavTerminalEmulator::teSendChar(char ch, bool echoAllowed, TQuavCharSource source) {
    if (!terminal_) return;
    if (echoAllowed && terminal_->HalfDuplex()) ProcessBlock(&ch, 1, source);
    // A closed or missing port drops the character without notice.
    if (terminal_ && terminal_->PortOpen()) terminal_->putChar(ch);
}

void TQuavTerminalEmulator::teHandleCursorMovement(TQuavTerminalBuffer* sender, int row, int col) {
    TQuavTerminalHost* t = terminal_;
    if (!t) return;
    if (!t->UseLazyDisplay()) t->QmTermNeedsUpdate();
    if (t->FollowCursor()) t->DoFollowCursor(row, col);
    if (t->HideScrollbars()) {
        bool beyondRows = row > t->FullRows();
        bool beyondCols = col > t->FullCols();
        if (beyondRows != t->CursorBeyondRows() || beyondCols != t->CursorBeyondCols()) {
            t->SetCursorBeyond(beyondRows, beyondCols);
            t->UpdateScrollBars();
        }
    }
    t->CursorMoved(sender, row, col);
}

void TQuavTerminalEmulator::lazyPaintRows(bool& repaintAll, const RowDrawer& drawRow) {
    TQuavTermRect r;
    if (repaintAll) {
        repaintAll = false;
        for (int row = 1; row <= buffer_->RowCount(); ++row)
            drawRow(row, 1, buffer_->ColCount());
        while (buffer_->GetInvalidRect(r)) {
        }
        return;
    }
    while (buffer_->GetInvalidRect(r)) {
        if (!terminal_->FreezeScrollBack()) {
            r.Top += terminal_->OriginRow() - 1;
            r.Bottom += terminal_->OriginRow();
        }
        for (int row = r.Top; row <= r.Bottom; ++row)
            drawRow(row, r.Left, r.Right);
    }
}

void TQuavTerminalEmulator::paintClipRows(const RowDrawer& drawRow) {
    TQuavTerminalCanvas* canvas = terminal_->Canvas();
    const int cw = terminal_->CharWidth();
    const int ch = terminal_->CharHeight();
    if (!canvas || cw <= 0 || ch <= 0) return;
    const TQuavTermRect clip = canvas->ClipRect();
    if (clip.Right <= clip.Left || clip.Bottom <= clip.Top) return;
    const int firstCol = clip.Left / cw + terminal_->OriginCol();
    const int lastCol = (clip.Right - 1) / cw + terminal_->OriginCol();
    int firstRow = clip.Top / ch + terminal_->OriginRow();
    int lastRow = (clip.Bottom - 1) / ch + terminal_->OriginRow();
    if (!terminal_->FreezeScrollBack()) {
        firstRow += terminal_->OriginRow() - 1;
        lastRow += terminal_->OriginRow();
    }
    for (int row = firstRow; row <= lastRow; ++row)
        drawRow(row, firstCol, lastCol);
}

void TQuavTerminalEmulator::teProcessCommandList(const TQuavEmuCommandList& list) {
    for (int i = 0; i < list.Count(); ++i)
        teProcessCommand(list[i].Command, &list[i].Params);
}

void TQuavTerminalEmulator::ExecuteTerminalCommands(const TQuavEmuCommandList& list) {
    teProcessCommandList(list);
    if (terminal_) terminal_->RepaintAll();
}

void TQuavTerminalEmulator::teProcessCommand(TQuavEmuCommand command, const TQuavEmuCommandParams* params) {
    TQuavTerminalBuffer* b = buffer_.get();
    if (!b) return;
    const TQuavEmuCommandParams& p = params ? *params : noParams();
    auto attrOp = [b](TQuavTerminalCharAttrs bit, int op) {
        TQuavTerminalCharAttrs a = b->GetCharAttrs();
        switch (op) {
        case 0:
            a |= bit;
            break; // add
        case 1:
            a = bit;
            break; // only
        case 2:
            a &= static_cast<TQuavTerminalCharAttrs>(~bit);
            break; // remove
        default:
            a ^= bit;
            break; // invert
        }
        b->SetCharAttrs(a);
    };
    auto deviceReportAllowed = [this] {
        return terminal_ && terminal_->HasPort() && terminal_->IsPrimaryTerminal();
    };

    switch (command) {
    case ecNone:
        break;
    case ecBell:
        if (terminal_) terminal_->Beep();
        break;
    case ecBackspace:
        b->DoBackspace();
        break;
    case ecTabHorz:
        b->DoHorzTab();
        break;
    case ecLF:
        b->DoLineFeed();
        break;
    case ecCR:
        b->DoCarriageReturn();
        break;
    case ecBackTabHorz:
        b->DoBackHorzTab();
        break;
    case ecCursorDown:
        b->MoveCursorDown(p.GetBooleanValue("Scroll", 0, false));
        break;
    case ecCursorLeft:
        b->MoveCursorLeft(p.GetBooleanValue("Wrap", 0, false), p.GetBooleanValue("Scroll", 1, false));
        break;
    case ecCursorRight:
        b->MoveCursorRight(p.GetBooleanValue("Wrap", 0, false), p.GetBooleanValue("Scroll", 1, false));
        break;
    case ecCursorUp:
        b->MoveCursorUp(p.GetBooleanValue("Scroll", 0, false));
        break;
    case ecCursorPos:
        b->SetCursorPosition(intParam(p, "Row", 0, 1), intParam(p, "Col", 1, 1));
        break;
    case ecDeleteChars:
        b->DeleteChars(intParam(p, "Count", 0, 1));
        break;
    case ecDeleteLines:
        b->DeleteLines(intParam(p, "Count", 0, 1));
        break;
    case ecInsertChars:
        b->InsertChars(intParam(p, "Count", 0, 1));
        break;
    case ecInsertLines:
        b->InsertLines(intParam(p, "Count", 0, 1));
        break;
    case ecEraseAll:
        b->EraseAll();
        break;
    case ecEraseChars:
        b->EraseChars(intParam(p, "Count", 0, 1));
        break;
    case ecEraseFromBOW:
        b->EraseFromBOW();
        break;
    case ecEraseFromBOL:
        b->EraseFromBOL();
        break;
    case ecEraseLine:
        b->EraseLine();
        break;
    case ecEraseScreen:
        b->EraseScreen();
        break;
    case ecEraseToEOL:
        b->EraseToEOL();
        break;
    case ecEraseToEOW:
        b->EraseToEOW();
        break;
    case ecSetHorzTabStop:
        b->SetHorzTabStop();
        break;
    case ecClearHorzTabStop:
        b->ClearHorzTabStop();
        break;
    case ecClearVertTabStop:
        b->ClearVertTabStop();
        break;
    case ecClearAllHorzTabStops:
        b->ClearAllHorzTabStops();
        break;
    case ecSetVertTabStop:
        b->SetVertTabStop();
        break;
    case ecClearAllVertTabStops:
        b->ClearAllVertTabStops();
        break;
    case ecSetScrollRegion:
        b->SetScrollRegion(intParam(p, "Top", 0, 1), intParam(p, "Bottom", 1, 1));
        break;
    case ecTabVert:
        b->DoVertTab();
        break;
    case ecBackTabVert:
        b->DoBackVertTab();
        break;
    case ecBackColor: {
        TColor c = p.GetTColorValue("Color", 0, clBlack);
        b->tbSetBackColor(c);
        if (p.GetBooleanValue("Persistent", 1, true) && terminal_) terminal_->SetColor(c);
        break;
    }
    case ecForeColor: {
        TColor c = p.GetTColorValue("Color", 0, clSilver);
        b->tbSetForeColor(c);
        if (p.GetBooleanValue("Persistent", 1, true) && terminal_) terminal_->SetFontColor(c);
        break;
    }
    case ecAbsAddress:
        b->SetUseAbsAddress(true);
        break;
    case ecNoAbsAddress:
        b->SetUseAbsAddress(false);
        break;
    case ecAutoWrap:
        b->SetUseAutoWrap(true);
        break;
    case ecNoAutoWrap:
        b->SetUseAutoWrap(false);
        break;
    case ecAutoWrapDelay:
        b->SetUseAutoWrapDelay(true);
        break;
    case ecNoAutoWrapDelay:
        b->SetUseAutoWrapDelay(false);
        break;
    case ecInsertMode:
        b->SetUseInsertMode(true);
        break;
    case ecNoInsertMode:
        b->SetUseInsertMode(false);
        break;
    case ecNewLineMode:
        b->SetUseNewLineMode(true);
        break;
    case ecNoNewLineMode:
        b->SetUseNewLineMode(false);
        break;
    case ecScrollRegion:
        b->tbSetUseScrollRegion(true);
        break;
    case ecNoScrollRegion:
        b->tbSetUseScrollRegion(false);
        break;
    case ecSetCharAttr: {
        static constexpr std::pair<const char*, TQuavTerminalCharAttr> kNamed[] = {
            {"Bold", tcaBold},        {"Underline", tcaUnderline}, {"Strikethrough", tcaStrikethrough},
            {"Blink", tcaBlink},      {"Reverse", tcaReverse},     {"Invisible", tcaInvisible},
            {"Selected", tcaSelected}};
        TQuavTerminalCharAttrs a = 0;
        for (int i = 0; i < 7; ++i)
            if (p.GetBooleanValue(kNamed[i].first, i, false)) a |= kNamed[i].second;
        b->SetCharAttrs(a);
        break;
    }
    case ecAddBold:
        attrOp(tcaBold, 0);
        break;
    case ecBoldOnly:
        attrOp(tcaBold, 1);
        break;
    case ecRemoveBold:
        attrOp(tcaBold, 2);
        break;
    case ecInvertBold:
        attrOp(tcaBold, 3);
        break;
    case ecAddUnderLine:
        attrOp(tcaUnderline, 0);
        break;
    case ecUnderlineOnly:
        attrOp(tcaUnderline, 1);
        break;
    case ecRemoveUnderline:
        attrOp(tcaUnderline, 2);
        break;
    case ecInvertUnderline:
        attrOp(tcaUnderline, 3);
        break;
    case ecAddStrikethrough:
        attrOp(tcaStrikethrough, 0);
        break;
    case ecStrikethroughOnly:
        attrOp(tcaStrikethrough, 1);
        break;
    case ecRemoveStrikethrough:
        attrOp(tcaStrikethrough, 2);
        break;
    case ecInvertStrikethrough:
        attrOp(tcaStrikethrough, 3);
        break;
    case ecAddBlink:
        attrOp(tcaBlink, 0);
        break;
    case ecBlinkOnly:
        attrOp(tcaBlink, 1);
        break;
    case ecRemoveBlink:
        attrOp(tcaBlink, 2);
        break;
    case ecInvertBlink:
        attrOp(tcaBlink, 3);
        break;
    case ecAddReverse:
        attrOp(tcaReverse, 0);
        break;
    case ecReverseOnly:
        attrOp(tcaReverse, 1);
        break;
    case ecRemoveReverse:
        attrOp(tcaReverse, 2);
        break;
    case ecInvertReverse:
        attrOp(tcaReverse, 3);
        break;
    case ecAddInvisible:
        attrOp(tcaInvisible, 0);
        break;
    case ecInvisibleOnly:
        attrOp(tcaInvisible, 1);
        break;
    case ecRemoveInvisible:
        attrOp(tcaInvisible, 2);
        break;
    case ecInvertInvisible:
        attrOp(tcaInvisible, 3);
        break;
    case ecAddSelected:
        attrOp(tcaSelected, 0);
        break;
    // These two do what their names say; they are not exchanged.
    case ecRemoveSelected:
        attrOp(tcaSelected, 2);
        break;
    case ecSelectedOnly:
        attrOp(tcaSelected, 1);
        break;
    case ecInvertSelected:
        attrOp(tcaSelected, 3);
        break;
    case ecRemoveAllAttr:
        b->SetCharAttrs(0);
        break;
    case ecRemoveAllAttrIgnoreSelect:
        b->SetCharAttrs(b->GetCharAttrs() & tcaSelected);
        break;
    case ecClearAndHome:
        b->EraseScreen();
        b->SetCursorPosition(1, 1);
        break;
    case ecHome:
        b->SetCursorPosition(1, 1);
        break;
    case ecCursorEOL:
        b->tbSetCol(b->ColCount());
        break;
    case ecCursorBOL:
        b->tbSetCol(1);
        break;
    case ecCursorTop:
        b->tbSetRow(1);
        break;
    case ecCursorBottom:
        b->tbSetRow(b->RowCount());
        break;
    case ecWriteString:
        b->WriteString(p.GetStringValue("String", 0, ""));
        break;
    case ecColor: {
        TColor fore = p.GetTColorValue("Fore", 0, clSilver);
        TColor back = p.GetTColorValue("Back", 1, clBlack);
        b->tbSetForeColor(fore);
        b->tbSetBackColor(back);
        if (p.GetBooleanValue("Persistent", 2, true) && terminal_) {
            terminal_->SetFontColor(fore);
            terminal_->SetColor(back);
        }
        break;
    }
    case ecSaveCursorPos:
        savedAttrs_ = b->GetCharAttrs();
        savedBackColor_ = b->BackColor();
        savedCharSet_ = b->CharSet();
        savedCol_ = b->tbGetCol();
        savedForeColor_ = b->ForeColor();
        savedRow_ = b->tbGetRow();
        break;
    case ecRestoreCursorPos:
        b->SetCharAttrs(savedAttrs_);
        b->tbSetBackColor(savedBackColor_);
        b->tbSetCharSet(savedCharSet_);
        b->tbSetCol(savedCol_);
        b->tbSetForeColor(savedForeColor_);
        b->tbSetRow(savedRow_);
        break;
    case ecDeviceAttributesReport:
        if (deviceReportAllowed()) {
            int type = intParam(p, "Type", 0, 0);
            if (type == 0)
                terminal_->putString("\033[?1;0c");
            else if (type == 52)
                terminal_->putString("\033/Z");
        }
        break;
    case ecNEL:
        b->DoLineFeed();
        if (!b->UseNewLineMode()) b->DoCarriageReturn();
        break;
    case ecReset:
        b->Reset();
        break;
    case ecAnswerback:
        break;
    case ecDECALN: {
        std::uint16_t saved = b->DefAnsiChar();
        b->tbSetDefAnsiChar('E');
        b->EraseScreen();
        b->tbSetDefAnsiChar(saved);
        break;
    }
    case ecDeviceStatusReport:
        if (deviceReportAllowed()) {
            int type = intParam(p, "Type", 0, 5);
            if (type == 5) {
                terminal_->putString("\033[0n");
            } else if (type == 6) {
                char report[48];
                int n = std::snprintf(report, sizeof report, "\033[%d;%dR", b->tbGetRow(), b->tbGetCol());
                terminal_->putString(std::string_view(report, static_cast<std::size_t>(n)));
            }
        }
        break;
    }
}

} // namespace brimwell
