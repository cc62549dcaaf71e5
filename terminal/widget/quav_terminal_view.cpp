// The terminal pane's view: font metrics, extent and scroll bars, view origin and follow-cursor,
// the drawing surface with its repaints, the timer, and the caret.
#include "terminal/widget/quav_terminal.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyleHints>
#include <QTimerEvent>

#include <algorithm>

#include "serial/exception_report.h"

namespace brimwell {

// ---- Geometry -----------------------------------------------------------------------------------

void TQuavCustomTerminal::measureFont() {
    const QSize cell(metrics_.charWidth, metrics_.charHeight);
    metrics_ = TerminalFontMetrics::measure(font());
    if (constructed_) {
        computeExtent();
        setOrigin(view_.OriginCol, view_.OriginRow);
        RepaintAll();
        if (cell != QSize(metrics_.charWidth, metrics_.charHeight)) emit screenSizeChanged();
    }
}

QSize TQuavCustomTerminal::wholeScreenSize() const {
    const int frame = 2 * frameWidth();
    QSize size(Columns() * metrics_.charWidth + frame, Rows() * metrics_.charHeight + frame);
    // Scroll bars shown now take room until the pane finds it no longer needs them; it says so.
    if (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        size.rwidth() += verticalScrollBar()->sizeHint().width();
    if (horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        size.rheight() += horizontalScrollBar()->sizeHint().height();
    return size;
}

void TQuavCustomTerminal::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange) measureFont();
    QAbstractScrollArea::changeEvent(e);
}

void TQuavCustomTerminal::computeExtent() {
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    view_.SetBuffer(Columns(), Rows(), ScrollbackRows());
    if (!emulator_ || !Buffer() || cw <= 0 || ch <= 0) {
        view_.clear();
        return;
    }
    const int w = viewport()->width(), h = viewport()->height();
    view_.ComputeExtent(w, h, cw, ch);

    const QRect oldArea = charArea_;
    charArea_ = QRect(0, 0, std::min(view_.VisibleCols * cw, w), std::min(view_.VisibleRows * ch, h));
    rightGap_ = QRect(charArea_.width(), 0, w - charArea_.width(), charArea_.height());
    bottomGap_ = QRect(0, charArea_.height(), w, h - charArea_.height());
    if (oldArea != charArea_) {
        stale_ += rightGap_;
        stale_ += bottomGap_;
        viewport()->update();
    }

    auto setBar = [](QScrollBar* bar, const TQuavScrollRange& r) {
        const QSignalBlocker block(bar);
        bar->setRange(r.Min, r.Max);
        bar->setPageStep(r.Page);
        bar->setSingleStep(1);
        bar->setValue(r.Position);
        bar->setEnabled(bar->maximum() > bar->minimum());
    };
    if (view_.HBarNeeded()) setBar(horizontalScrollBar(), view_.HBarRange());
    if (view_.VBarNeeded()) setBar(verticalScrollBar(), view_.VBarRange());
    const bool hShown = horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    const bool vShown = verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    if (hShown != view_.HBarNeeded() || vShown != view_.VBarNeeded()) postForceSize();
}

void TQuavCustomTerminal::setOrigin(int col, int row) {
    view_.SetBuffer(Columns(), Rows(), ScrollbackRows());
    const int oldCol = view_.OriginCol, oldRow = view_.OriginRow;
    if (!view_.SetOrigin(col, row)) return;
    const int dx = (oldCol - view_.OriginCol) * metrics_.charWidth;
    const int dy = (oldRow - view_.OriginRow) * metrics_.charHeight;
    scrollSurface(dx, dy);
    computeExtent();
    stale_ += rightGap_;
    stale_ += bottomGap_;
    showCaret();
}

void TQuavCustomTerminal::SetOriginCol(int col) {
    setOrigin(col, view_.OriginRow);
}
void TQuavCustomTerminal::SetOriginRow(int row) {
    setOrigin(view_.OriginCol, row);
}

void TQuavCustomTerminal::DoFollowCursor(int, int) {
    if (!followCursor_ || !Buffer()) return;
    // The view origin is absolute, so the cursor is taken absolute whatever the addressing mode.
    int newCol = 0, newRow = 0;
    view_.FollowTarget(Buffer()->AbsCursorRow(), Buffer()->AbsCursorCol(), newCol, newRow);
    if (newCol != view_.OriginCol || newRow != view_.OriginRow) setOrigin(newCol, newRow);
}

void TQuavCustomTerminal::SetCursorBeyond(bool rows, bool cols) {
    view_.CursorBeyondRows = rows;
    view_.CursorBeyondCols = cols;
}

void TQuavCustomTerminal::UpdateScrollBars() {
    computeExtent();
}

void TQuavCustomTerminal::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    if (cw > 0) computeExtent();
    int col = 0, row = 0;
    view_.ResizeTarget(viewport()->width(), viewport()->height(), cw, ch, col, row);
    setOrigin(col, row);
    ensureSurface();
    RepaintAll();
}

void TQuavCustomTerminal::scrollContentsBy(int, int) {
    // The view origin follows the scroll-bar actions (see horizontalAction/verticalAction), not
    // the bars' values, so the area's own scrolling has nothing to do.
}

void TQuavCustomTerminal::horizontalAction(int action) {
    QScrollBar* hb = horizontalScrollBar();
    int col = view_.OriginCol;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        col -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        col += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        col -= view_.FullCols;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        col += view_.FullCols;
        break;
    case QAbstractSlider::SliderMove:
        col = hb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(col, view_.OriginRow);
    hb->setSliderPosition(view_.OriginCol - 1);
}

void TQuavCustomTerminal::verticalAction(int action) {
    QScrollBar* vb = verticalScrollBar();
    if (view_.VertTooSmall && autoScrollback_) {
        if (!view_.Scrollback && action == QAbstractSlider::SliderSingleStepSub && view_.OriginRow == 1) {
            view_.Scrollback = true;
            computeExtent();
        } else if (view_.Scrollback && view_.OriginRow > 1) {
            view_.Scrollback = false;
            computeExtent();
        }
    }
    int row = view_.OriginRow;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        row -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        row += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        row -= view_.FullRows;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        row += view_.FullRows;
        break;
    case QAbstractSlider::SliderMove:
        row = vb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(view_.OriginCol, row);
    vb->setSliderPosition(view_.OriginRow - 1);
}

// ---- Painting -----------------------------------------------------------------------------------

void TQuavCustomTerminal::ensureSurface() {
    const QSize size = viewport()->size();
    if (surface_.size() == size) return;
    surface_ = QImage(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    surface_.fill(toQColor(color_));
    stale_ = QRegion(surface_.rect());
}

void TQuavCustomTerminal::scrollSurface(int dx, int dy) {
    // The contents are redrawn rather than moved: with the cursor followed sideways the origin can
    // change with every character, and one full redraw per frame costs less than a move per change.
    if (dx == 0 && dy == 0) return;
    RepaintAll();
}

void TQuavCustomTerminal::invalidateView(const QRect& r) {
    stale_ += r;
    viewport()->update(r);
}

void TQuavCustomTerminal::RepaintAll() {
    invalidateView(viewport()->rect());
}

void TQuavCustomTerminal::paintStale() {
    if (stale_.isEmpty()) return;
    const QRegion region = stale_;
    stale_ = QRegion();
    QPainter p(&surface_);
    const QColor back = toQColor(color_);
    for (const QRect& r : region&(QRegion(rightGap_) + bottomGap_))
        p.fillRect(r, back);
    if (!emulator_ || charArea_.isEmpty()) return;
    for (const QRect& r : region& charArea_) {
        TQuavPainterCanvas canvas(p, metrics_, r);
        canvas_ = &canvas;
        try {
            emulator_->Paint();
        } catch (const std::exception&) {
            serial::reportException("painting the terminal", std::current_exception());
        }
        canvas_ = nullptr;
    }
}

void TQuavCustomTerminal::paintEvent(QPaintEvent* e) {
    ensureSurface();
    paintStale();
    QPainter p(viewport());
    for (const QRect& r : e->region())
        p.drawImage(r.topLeft(), surface_, r);
    if (caretShown_ && caretBlinkOn_ && e->region().intersects(caretRect_)) {
        // Inverting what lies beneath, as a system caret does.
        p.setCompositionMode(QPainter::CompositionMode_Difference);
        p.fillRect(caretRect_, Qt::white);
    }
}

void TQuavCustomTerminal::immediateRepaint() {
    if (!emulator_ || metrics_.charWidth <= 0) return;
    ensureSurface();
    hideCaret();
    const QRect clip(0, 0, view_.VisibleCols * metrics_.charWidth, view_.VisibleRows * metrics_.charHeight);
    QRect touched;
    {
        QPainter p(&surface_);
        TQuavPainterCanvas canvas(p, metrics_, clip);
        canvas_ = &canvas;
        try {
            emulator_->LazyPaint();
        } catch (const std::exception&) {
            serial::reportException("painting the terminal", std::current_exception());
        }
        canvas_ = nullptr;
        touched = canvas.touched();
    }
    if (!touched.isEmpty()) viewport()->update(touched);
    showCaret();
}

void TQuavCustomTerminal::blinkRepaint() {
    ensureSurface();
    hideCaret();
    QRect touched;
    {
        QPainter p(&surface_);
        TQuavPainterCanvas canvas(p, metrics_, charArea_);
        canvas_ = &canvas;
        try {
            emulator_->BlinkPaint(blinkPhase_);
        } catch (const std::exception&) {
            serial::reportException("painting blinking text", std::current_exception());
        }
        canvas_ = nullptr;
        touched = canvas.touched();
    }
    if (!touched.isEmpty()) viewport()->update(touched);
    showCaret();
}

void TQuavCustomTerminal::timerEvent(QTimerEvent* e) {
    if (e->timerId() != timer_.timerId()) {
        QAbstractScrollArea::timerEvent(e);
        return;
    }
    if (selecting_) {
        const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
        const int w = viewport()->width(), h = viewport()->height();
        if (view_.HorzTooSmall && (pos.x() < 0 || pos.x() >= w))
            SetOriginCol(view_.OriginCol + (pos.x() < 0 ? -1 : 1));
        if (pos.y() < 0 || pos.y() >= h) SetOriginRow(view_.OriginRow + (pos.y() < 0 ? -1 : 1));
        selectionMouseMove(pos);
    }
    if (blinkTime_ > 0 && emulator_) {
        blinkAccum_ += kTimerMs;
        if (blinkAccum_ > blinkTime_) {
            blinkPhase_ = !blinkPhase_;
            if (emulator_->HasBlinkingText()) blinkRepaint();
            blinkAccum_ = 0;
        }
    }
    if (useLazyDisplay_ && emulator_) {
        lazyTime_ += kTimerMs;
        // The delays are looked at first: asking the emulator clears its cursor-moved note.
        if ((lazyTime_ > lazyTimeDelay_ || lazyBytes_ > lazyByteDelay_) && emulator_->teGetNeedsUpdate()) {
            immediateRepaint();
            lazyTime_ = 0;
            lazyBytes_ = 0;
        }
    }
    const int flash = QGuiApplication::styleHints()->cursorFlashTime();
    if (caretShown_ && flash > 0) {
        caretBlinkAccum_ += kTimerMs;
        if (caretBlinkAccum_ >= flash / 2) {
            caretBlinkAccum_ = 0;
            caretBlinkOn_ = !caretBlinkOn_;
            viewport()->update(caretRect_);
        }
    }
}

// ---- Caret --------------------------------------------------------------------------------------

void TQuavCustomTerminal::createCaret() {
    caretCreated_ = cursorType_ != ctNone;
    caretBlinkOn_ = true;
    caretBlinkAccum_ = 0;
}

void TQuavCustomTerminal::destroyCaret() {
    hideCaret();
    caretCreated_ = false;
}

void TQuavCustomTerminal::hideCaret() {
    if (!caretShown_) return;
    caretShown_ = false;
    viewport()->update(caretRect_);
}

void TQuavCustomTerminal::showCaret() {
    if (!caretCreated_ || !hasFocus() || !Buffer()) {
        hideCaret();
        return;
    }
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    int x = (Buffer()->AbsCursorCol() - view_.OriginCol) * cw;
    int y = (Buffer()->AbsCursorRow() - view_.OriginRow) * ch;
    const int height = cursorType_ == ctUnderline ? 2 : ch;
    if (cursorType_ == ctUnderline) y += ch - 2;
    const int w = viewport()->width(), h = viewport()->height();
    if (x < 0 || x >= w || y < 0 || y >= h) {
        hideCaret();
        return;
    }
    const QRect r(x, y, cw, height);
    if (caretShown_ && r == caretRect_) return;
    if (caretShown_) viewport()->update(caretRect_);
    caretRect_ = r;
    caretShown_ = true;
    viewport()->update(caretRect_);
}

void TQuavCustomTerminal::focusInEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusInEvent(e);
    createCaret();
    showCaret();
}

void TQuavCustomTerminal::focusOutEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusOutEvent(e);
    destroyCaret();
    // Losing the focus in the middle of a drag (a dialog popping up) is the cancel-mode request:
    // the button release will never come here, so the drag must not go on following the mouse.
    if (selecting_) {
        HideSelection();
        selecting_ = false;
    }
}

} // namespace brimwell
