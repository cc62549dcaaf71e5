// The terminal pane's keyboard path (raw key-down, key-down, character), mouse selection and the
// clipboard.
#include "terminal/widget/quav_terminal.h"

#include "terminal/widget/ansi_codec.h"
#include "terminal/widget/key_mapping.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

namespace brimwell {

// ---- Keyboard -----------------------------------------------------------------------------------

bool TQuavCustomTerminal::rawKeyDown(QKeyEvent* e) {
    rawKeyToEmulator_ = false;
    if (selecting_ && e->key() == Qt::Key_Escape) {
        HideSelection();
        selecting_ = false;
        return true;
    }
    const Qt::KeyboardModifiers mods = e->modifiers();
    const bool ctrlOnly = (mods & Qt::ControlModifier) && !(mods & (Qt::ShiftModifier | Qt::AltModifier));
    if (selectionMade_ && ctrlOnly && (e->key() == Qt::Key_C || e->key() == Qt::Key_Insert)) {
        CopyToClipboard();
        return true;
    }
    const TranslatedKey t = translateKey(*e);
    if (t.modifierOnly) return false;
    int key = applyKeypadRules(t, e->isAutoRepeat());
    if (key == 0 || !emulator_) return false;
    rawKeyToEmulator_ = true;
    emulator_->KeyDown(key, t.shift);
    return key == 0;
}

void TQuavCustomTerminal::keyPressEvent(QKeyEvent* e) {
    const TranslatedKey t = translateKey(*e);
    int key = t.key;
    if (OnKeyDown) OnKeyDown(key, t.shift);
    // The emulator has already seen every key the raw path handed it; only the keys that path let
    // by (modifiers alone) reach it here, so no key acts twice.
    if (!wantAllKeys_ && key != 0 && !rawKeyToEmulator_ && emulator_) emulator_->KeyDown(key, t.shift);
    rawKeyToEmulator_ = false;
    characterEvent(e->text());
    e->accept();
}

void TQuavCustomTerminal::characterEvent(const QString& text) {
    for (const QChar qc : text) {
        // Cells and the port carry bytes; a character outside the code page has none to become.
        const int byte = charToAnsi(qc);
        if (byte < 0) continue;
        char ch = char(byte);
        if (OnKeyPress) OnKeyPress(ch);
        if (ch == 0 || !emulator_) continue;
        try {
            emulator_->KeyPress(ch);
            if (!useLazyDisplay_ && emulator_->teGetNeedsUpdate()) immediateRepaint();
        } catch (const std::exception& ex) {
            qWarning("brimwell terminal: handling a typed character failed: %s", ex.what());
        }
    }
}

bool TQuavCustomTerminal::focusNextPrevChild(bool next) {
    // With WantAllKeys the terminal keeps Tab for itself.
    if (wantAllKeys_) return false;
    return QAbstractScrollArea::focusNextPrevChild(next);
}

// ---- Mouse selection ----------------------------------------------------------------------------

void TQuavCustomTerminal::cellAt(const QPoint& pos, int& col, int& row) const {
    col = pos.x() / std::max(1, metrics_.charWidth) + originCol_;
    row = pos.y() / std::max(1, metrics_.charHeight) + originRow_;
}

static QPoint clampInto(const QRect& area, QPoint p) {
    if (area.isEmpty()) return QPoint(0, 0);
    p.setX(std::clamp(p.x(), area.left(), area.right()));
    p.setY(std::clamp(p.y(), area.top(), area.bottom()));
    return p;
}

bool TQuavCustomTerminal::inRange(int col, int row, int sc, int sr, int ec, int er) {
    if (ec <= 0 || row < sr || row > er) return false;
    if (sr == er) return col >= sc && col <= ec;
    if (row == sr) return col >= sc;
    if (row == er) return col <= ec;
    return true;
}

void TQuavCustomTerminal::setSelection(int sc, int sr, int ec, int er) {
    TQuavTerminalBuffer* b = Buffer();
    // Cells carry the mark of the range as last marked, which a click alone does not mark.
    const int oSc = markStartCol_, oSr = markStartRow_, oEc = markEndCol_, oEr = markEndRow_;
    selStartCol_ = markStartCol_ = sc;
    selStartRow_ = markStartRow_ = sr;
    selEndCol_ = markEndCol_ = ec;
    selEndRow_ = markEndRow_ = er;
    if (!b) return;
    const bool oldAny = oEc > 0, newAny = ec > 0;
    if (!oldAny && !newAny) return;
    int first = oldAny ? oSr : sr, last = oldAny ? oEr : er;
    if (newAny) {
        first = std::min(first, sr);
        last = std::max(last, er);
    }
    first = std::max(first, b->FirstRow());
    last = std::min(last, b->LastRow());
    const int cols = b->ColCount();
    for (int row = first; row <= last; ++row) {
        TQuavTerminalCharAttrs* attrs = b->GetLineAttrPtr(row);
        if (!attrs) continue;
        bool changed = false;
        for (int col = 1; col <= cols; ++col) {
            const bool was = inRange(col, row, oSc, oSr, oEc, oEr);
            const bool now = inRange(col, row, sc, sr, ec, er);
            if (was == now) continue;
            if (now)
                attrs[col - 1] |= tcaSelected;
            else
                attrs[col - 1] &= TQuavTerminalCharAttrs(~tcaSelected);
            changed = true;
        }
        if (changed && row >= originRow_ && row < originRow_ + visibleRows_)
            invalidateView(
                QRect(0, (row - originRow_) * metrics_.charHeight, viewport()->width(), metrics_.charHeight));
    }
}

void TQuavCustomTerminal::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(e);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    selecting_ = true;
    const QPoint p = clampInto(charArea_, e->position().toPoint());
    if (!mouseSelect_) return;
    TQuavTerminalBuffer* b = Buffer();
    if (b && selEndCol_ > 0 && selStartRow_ >= b->FirstRow() && selEndRow_ <= b->LastRow()) HideSelection();
    int col = 0, row = 0;
    cellAt(p, col, row);
    anchorCol_ = selStartCol_ = selEndCol_ = col;
    anchorRow_ = selStartRow_ = selEndRow_ = row;
}

void TQuavCustomTerminal::selectionMouseMove(const QPoint& pos) {
    const QPoint p = clampInto(charArea_, pos);
    TQuavTerminalBuffer* b = Buffer();
    if (!mouseSelect_ || !b) return;
    selectionMade_ = true;
    int col = 0, row = 0;
    cellAt(p, col, row);
    col = std::clamp(col, 1, b->ColCount());
    row = std::clamp(row, b->FirstRow(), b->LastRow());
    if (row < anchorRow_ || (row == anchorRow_ && col < anchorCol_))
        setSelection(col, row, anchorCol_, anchorRow_);
    else
        setSelection(anchorCol_, anchorRow_, col, row);
}

void TQuavCustomTerminal::mouseMoveEvent(QMouseEvent* e) {
    if (!selecting_) {
        QAbstractScrollArea::mouseMoveEvent(e);
        return;
    }
    selectionMouseMove(e->position().toPoint());
}

void TQuavCustomTerminal::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !selecting_) {
        QAbstractScrollArea::mouseReleaseEvent(e);
        return;
    }
    if (mouseSelect_ && autoCopy_) CopyToClipboard();
    selecting_ = false;
}

void TQuavCustomTerminal::wheelEvent(QWheelEvent* e) {
    // The wheel works the scroll bars that are shown, never a hidden one.
    const bool vertical = std::abs(e->angleDelta().y()) >= std::abs(e->angleDelta().x());
    const bool shown = vertical ? verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn
                                : horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    if (!shown) {
        e->ignore();
        return;
    }
    QAbstractScrollArea::wheelEvent(e);
}

void TQuavCustomTerminal::HideSelection() {
    setSelection(0, 0, 0, 0);
    anchorCol_ = anchorRow_ = 0;
    selectionMade_ = false;
}

// ---- Clipboard ----------------------------------------------------------------------------------

std::string TQuavCustomTerminal::SelectionText() const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || selEndCol_ <= 0 || b->WideChars()) return {};
    const int cols = b->ColCount();
    std::string text;
    auto addRow = [&](int row, int from, int to) {
        const char* p = b->GetLineCharPtr(row);
        from = std::max(from, 1);
        to = std::min(to, cols);
        if (p && from <= to) text.append(p + from - 1, size_t(to - from + 1));
        text += "\r\n";
    };
    for (int row = selStartRow_; row < selEndRow_; ++row)
        addRow(row, row == selStartRow_ ? selStartCol_ : 1, cols);
    addRow(selEndRow_, selStartRow_ == selEndRow_ ? selStartCol_ : 1, selEndCol_);
    return text;
}

void TQuavCustomTerminal::CopyToClipboard() {
    const std::string text = SelectionText();
    if (text.empty()) return;
    QGuiApplication::clipboard()->setText(ansiToString(text));
}

void TQuavCustomTerminal::PasteFromClipboard() {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty()) return;
    const std::string bytes = stringToAnsi(text);
    if (pasteToScreen_ && pasteToPort_ && comPort_) {
        for (const char ch : bytes) {
            WriteChar(ch);
            PutChar(ch);
        }
        return;
    }
    if (pasteToScreen_) WriteString(bytes);
    if (pasteToPort_ && comPort_) PutString(bytes);
}

} // namespace brimwell
