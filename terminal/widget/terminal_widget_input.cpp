// The terminal pane's keyboard path (raw key-down, key-down, character), mouse selection and the
// clipboard.
#include "terminal/widget/terminal_widget.h"

#include "terminal/widget/ansi_codec.h"
#include "terminal/widget/key_mapping.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

namespace brimwell::terminal {

// ---- Keyboard -----------------------------------------------------------------------------------

bool TerminalWidget::rawKeyDown(QKeyEvent* e) {
    rawKeyToEmulator_ = false;
    if (selecting_ && e->key() == Qt::Key_Escape) {
        hideSelection();
        selecting_ = false;
        return true;
    }
    const Qt::KeyboardModifiers mods = e->modifiers();
    const bool ctrlOnly = (mods & Qt::ControlModifier) && !(mods & (Qt::ShiftModifier | Qt::AltModifier));
    if (selectionMade_ && ctrlOnly && (e->key() == Qt::Key_C || e->key() == Qt::Key_Insert)) {
        copyToClipboard();
        return true;
    }
    const TranslatedKey t = translateKey(*e);
    if (t.modifierOnly) return false;
    int key = applyKeypadRules(t, e->isAutoRepeat());
    if (key == 0 || !emulator_) return false;
    rawKeyToEmulator_ = true;
    emulator_->keyDown(key, t.shift);
    return key == 0;
}

void TerminalWidget::keyPressEvent(QKeyEvent* e) {
    const TranslatedKey t = translateKey(*e);
    int key = t.key;
    if (onKeyDown) onKeyDown(key, t.shift);
    // The emulator has already seen every key the raw path handed it; only the keys that path let
    // by (modifiers alone) reach it here, so no key acts twice.
    if (!wantAllKeys_ && key != 0 && !rawKeyToEmulator_ && emulator_) emulator_->keyDown(key, t.shift);
    rawKeyToEmulator_ = false;
    characterEvent(e->text());
    e->accept();
}

void TerminalWidget::characterEvent(const QString& text) {
    for (const QChar qc : text) {
        // Cells and the port carry bytes; a character outside the code page has none to become.
        const int byte = charToAnsi(qc);
        if (byte < 0) continue;
        char ch = char(byte);
        if (onKeyPress) onKeyPress(ch);
        if (ch == 0 || !emulator_) continue;
        try {
            emulator_->keyPress(ch);
            if (!useLazyDisplay_ && emulator_->needsUpdate()) immediateRepaint();
        } catch (const std::exception& ex) {
            qWarning("brimwell terminal: handling a typed character failed: %s", ex.what());
        }
    }
}

bool TerminalWidget::focusNextPrevChild(bool next) {
    // With wantAllKeys the terminal keeps Tab for itself.
    if (wantAllKeys_) return false;
    return QAbstractScrollArea::focusNextPrevChild(next);
}

// ---- Mouse selection ----------------------------------------------------------------------------

void TerminalWidget::cellAt(const QPoint& pos, int& col, int& row) const {
    col = pos.x() / std::max(1, metrics_.charWidth) + view_.originCol;
    row = pos.y() / std::max(1, metrics_.charHeight) + view_.originRow;
}

static QPoint clampInto(const QRect& area, QPoint p) {
    if (area.isEmpty()) return QPoint(0, 0);
    p.setX(std::clamp(p.x(), area.left(), area.right()));
    p.setY(std::clamp(p.y(), area.top(), area.bottom()));
    return p;
}

void TerminalWidget::selectionRowChanged(int row) {
    if (row >= view_.originRow && row < view_.originRow + view_.visibleRows)
        invalidateView(QRect(0, (row - view_.originRow) * metrics_.charHeight, viewport()->width(),
                             metrics_.charHeight));
}

void TerminalWidget::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(e);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    selecting_ = true;
    const QPoint p = clampInto(charArea_, e->position().toPoint());
    if (!mouseSelect_) return;
    TerminalBuffer* b = buffer();
    if (b && sel_.endCol > 0 && sel_.startRow >= b->firstRow() && sel_.endRow <= b->lastRow())
        hideSelection();
    int col = 0, row = 0;
    cellAt(p, col, row);
    sel_.begin(col, row);
}

void TerminalWidget::selectionMouseMove(const QPoint& pos) {
    const QPoint p = clampInto(charArea_, pos);
    TerminalBuffer* b = buffer();
    if (!mouseSelect_ || !b) return;
    selectionMade_ = true;
    int col = 0, row = 0;
    cellAt(p, col, row);
    sel_.dragTo(*b, col, row, [this](int r) { selectionRowChanged(r); });
}

void TerminalWidget::mouseMoveEvent(QMouseEvent* e) {
    if (!selecting_) {
        QAbstractScrollArea::mouseMoveEvent(e);
        return;
    }
    selectionMouseMove(e->position().toPoint());
}

void TerminalWidget::mouseReleaseEvent(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || !selecting_) {
        QAbstractScrollArea::mouseReleaseEvent(e);
        return;
    }
    if (mouseSelect_ && autoCopy_) copyToClipboard();
    selecting_ = false;
}

void TerminalWidget::wheelEvent(QWheelEvent* e) {
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

void TerminalWidget::hideSelection() {
    sel_.drop(buffer(), [this](int r) { selectionRowChanged(r); });
    selectionMade_ = false;
}

// ---- Clipboard ----------------------------------------------------------------------------------

std::string TerminalWidget::selectionText() const {
    TerminalBuffer* b = buffer();
    return b ? sel_.text(*b) : std::string();
}

void TerminalWidget::copyToClipboard() {
    const std::string text = selectionText();
    if (text.empty()) return;
    QGuiApplication::clipboard()->setText(ansiToString(text));
}

void TerminalWidget::pasteFromClipboard() {
    const QString text = QGuiApplication::clipboard()->text();
    if (text.isEmpty()) return;
    const std::string bytes = stringToAnsi(text);
    if (pasteToScreen_ && pasteToPort_ && comPort_) {
        for (const char ch : bytes) {
            writeChar(ch);
            putChar(ch);
        }
        return;
    }
    if (pasteToScreen_) writeString(bytes);
    if (pasteToPort_ && comPort_) putString(bytes);
}

} // namespace brimwell::terminal
