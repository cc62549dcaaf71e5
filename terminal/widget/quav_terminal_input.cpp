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
    col = pos.x() / std::max(1, metrics_.charWidth) + view_.OriginCol;
    row = pos.y() / std::max(1, metrics_.charHeight) + view_.OriginRow;
}

static QPoint clampInto(const QRect& area, QPoint p) {
    if (area.isEmpty()) return QPoint(0, 0);
    p.setX(std::clamp(p.x(), area.left(), area.right()));
    p.setY(std::clamp(p.y(), area.top(), area.bottom()));
    return p;
}

void TQuavCustomTerminal::selectionRowChanged(int row) {
    if (row >= view_.OriginRow && row < view_.OriginRow + view_.VisibleRows)
        invalidateView(QRect(0, (row - view_.OriginRow) * metrics_.charHeight, viewport()->width(),
                             metrics_.charHeight));
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
    if (b && sel_.EndCol > 0 && sel_.StartRow >= b->FirstRow() && sel_.EndRow <= b->LastRow())
        HideSelection();
    int col = 0, row = 0;
    cellAt(p, col, row);
    sel_.Begin(col, row);
}

void TQuavCustomTerminal::selectionMouseMove(const QPoint& pos) {
    const QPoint p = clampInto(charArea_, pos);
    TQuavTerminalBuffer* b = Buffer();
    if (!mouseSelect_ || !b) return;
    selectionMade_ = true;
    int col = 0, row = 0;
    cellAt(p, col, row);
    sel_.DragTo(*b, col, row, [this](int r) { selectionRowChanged(r); });
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
    sel_.Drop(Buffer(), [this](int r) { selectionRowChanged(r); });
    selectionMade_ = false;
}

// ---- Clipboard ----------------------------------------------------------------------------------

std::string TQuavCustomTerminal::SelectionText() const {
    TQuavTerminalBuffer* b = Buffer();
    return b ? sel_.text(*b) : std::string();
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
            putChar(ch);
        }
        return;
    }
    if (pasteToScreen_) WriteString(bytes);
    if (pasteToPort_ && comPort_) putString(bytes);
}

} // namespace brimwell
