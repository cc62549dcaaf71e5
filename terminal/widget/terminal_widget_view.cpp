// The terminal pane's view: font metrics, extent and scroll bars, view origin and follow-cursor,
// the drawing surface with its repaints, the timer, and the caret.
#include "terminal/widget/terminal_widget.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QResizeEvent>
#include <QScrollBar>
#include <QStyleHints>
#include <QTimerEvent>

#include <algorithm>

#include "serial/exception_report.h"

namespace brimwell::terminal {

// ---- Geometry -----------------------------------------------------------------------------------

void TerminalWidget::measureFont() {
    const QSize cell(metrics_.charWidth, metrics_.charHeight);
    metrics_ = TerminalFontMetrics::measure(font());
    if (constructed_) {
        computeExtent();
        setOrigin(view_.originCol, view_.originRow);
        repaintAll();
        if (cell != QSize(metrics_.charWidth, metrics_.charHeight)) emit screenSizeChanged();
    }
}

QSize TerminalWidget::wholeScreenSize() const {
    const int frame = 2 * frameWidth();
    QSize size(columns() * metrics_.charWidth + frame, rows() * metrics_.charHeight + frame);
    // Scroll bars shown now take room until the pane finds it no longer needs them; it says so.
    if (verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        size.rwidth() += verticalScrollBar()->sizeHint().width();
    if (horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn)
        size.rheight() += horizontalScrollBar()->sizeHint().height();
    return size;
}

void TerminalWidget::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange) measureFont();
    QAbstractScrollArea::changeEvent(e);
}

void TerminalWidget::computeExtent() {
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    view_.setBuffer(columns(), rows(), scrollbackRows());
    if (!emulator_ || !buffer() || cw <= 0 || ch <= 0) {
        view_.clear();
        return;
    }
    const int w = viewport()->width(), h = viewport()->height();
    view_.computeExtent(w, h, cw, ch);

    const QRect oldArea = charArea_;
    charArea_ = QRect(0, 0, std::min(view_.visibleCols * cw, w), std::min(view_.visibleRows * ch, h));
    rightGap_ = QRect(charArea_.width(), 0, w - charArea_.width(), charArea_.height());
    bottomGap_ = QRect(0, charArea_.height(), w, h - charArea_.height());
    if (oldArea != charArea_) {
        stale_ += rightGap_;
        stale_ += bottomGap_;
        viewport()->update();
    }

    auto setBar = [](QScrollBar* bar, const ScrollRange& r) {
        const QSignalBlocker block(bar);
        bar->setRange(r.min, r.max);
        bar->setPageStep(r.page);
        bar->setSingleStep(1);
        bar->setValue(r.position);
        bar->setEnabled(bar->maximum() > bar->minimum());
    };
    if (view_.hBarNeeded()) setBar(horizontalScrollBar(), view_.hBarRange());
    if (view_.vBarNeeded()) setBar(verticalScrollBar(), view_.vBarRange());
    const bool hShown = horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    const bool vShown = verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    if (hShown != view_.hBarNeeded() || vShown != view_.vBarNeeded()) postForceSize();
}

void TerminalWidget::setOrigin(int col, int row) {
    view_.setBuffer(columns(), rows(), scrollbackRows());
    const int oldCol = view_.originCol, oldRow = view_.originRow;
    if (!view_.setOrigin(col, row)) return;
    const int dx = (oldCol - view_.originCol) * metrics_.charWidth;
    const int dy = (oldRow - view_.originRow) * metrics_.charHeight;
    scrollSurface(dx, dy);
    computeExtent();
    stale_ += rightGap_;
    stale_ += bottomGap_;
    showCaret();
}

void TerminalWidget::setOriginCol(int col) {
    setOrigin(col, view_.originRow);
}
void TerminalWidget::setOriginRow(int row) {
    setOrigin(view_.originCol, row);
}

void TerminalWidget::doFollowCursor(int, int) {
    if (!followCursor_ || !buffer()) return;
    // The view origin is absolute, so the cursor is taken absolute whatever the addressing mode.
    int newCol = 0, newRow = 0;
    view_.followTarget(buffer()->absCursorRow(), buffer()->absCursorCol(), newCol, newRow);
    if (newCol != view_.originCol || newRow != view_.originRow) setOrigin(newCol, newRow);
}

void TerminalWidget::setCursorBeyond(bool rows, bool cols) {
    view_.cursorBeyondRows = rows;
    view_.cursorBeyondCols = cols;
}

void TerminalWidget::updateScrollBars() {
    computeExtent();
}

void TerminalWidget::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    if (cw > 0) computeExtent();
    int col = 0, row = 0;
    view_.resizeTarget(viewport()->width(), viewport()->height(), cw, ch, col, row);
    setOrigin(col, row);
    ensureSurface();
    repaintAll();
}

void TerminalWidget::scrollContentsBy(int, int) {
    // The view origin follows the scroll-bar actions (see horizontalAction/verticalAction), not
    // the bars' values, so the area's own scrolling has nothing to do.
}

void TerminalWidget::horizontalAction(int action) {
    QScrollBar* hb = horizontalScrollBar();
    int col = view_.originCol;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        col -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        col += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        col -= view_.fullCols;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        col += view_.fullCols;
        break;
    case QAbstractSlider::SliderMove:
        col = hb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(col, view_.originRow);
    hb->setSliderPosition(view_.originCol - 1);
}

void TerminalWidget::verticalAction(int action) {
    QScrollBar* vb = verticalScrollBar();
    if (view_.vertTooSmall && autoScrollback_) {
        if (!view_.scrollback && action == QAbstractSlider::SliderSingleStepSub && view_.originRow == 1) {
            view_.scrollback = true;
            computeExtent();
        } else if (view_.scrollback && view_.originRow > 1) {
            view_.scrollback = false;
            computeExtent();
        }
    }
    int row = view_.originRow;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        row -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        row += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        row -= view_.fullRows;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        row += view_.fullRows;
        break;
    case QAbstractSlider::SliderMove:
        row = vb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(view_.originCol, row);
    vb->setSliderPosition(view_.originRow - 1);
}

// ---- Painting -----------------------------------------------------------------------------------

void TerminalWidget::ensureSurface() {
    const QSize size = viewport()->size();
    if (surface_.size() == size) return;
    surface_ = QImage(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    surface_.fill(toQColor(color_));
    stale_ = QRegion(surface_.rect());
}

void TerminalWidget::scrollSurface(int dx, int dy) {
    // The contents are redrawn rather than moved: with the cursor followed sideways the origin can
    // change with every character, and one full redraw per frame costs less than a move per change.
    if (dx == 0 && dy == 0) return;
    repaintAll();
}

void TerminalWidget::invalidateView(const QRect& r) {
    stale_ += r;
    viewport()->update(r);
}

void TerminalWidget::repaintAll() {
    invalidateView(viewport()->rect());
}

void TerminalWidget::paintStale() {
    if (stale_.isEmpty()) return;
    const QRegion region = stale_;
    stale_ = QRegion();
    QPainter p(&surface_);
    const QColor back = toQColor(color_);
    for (const QRect& r : region&(QRegion(rightGap_) + bottomGap_))
        p.fillRect(r, back);
    if (!emulator_ || charArea_.isEmpty()) return;
    for (const QRect& r : region& charArea_) {
        PainterCanvas canvas(p, metrics_, r);
        canvas_ = &canvas;
        try {
            emulator_->paint();
        } catch (const std::exception&) {
            serial::reportException("painting the terminal", std::current_exception());
        }
        canvas_ = nullptr;
    }
}

void TerminalWidget::paintEvent(QPaintEvent* e) {
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

void TerminalWidget::immediateRepaint() {
    if (!emulator_ || metrics_.charWidth <= 0) return;
    ensureSurface();
    hideCaret();
    const QRect clip(0, 0, view_.visibleCols * metrics_.charWidth, view_.visibleRows * metrics_.charHeight);
    QRect touched;
    {
        QPainter p(&surface_);
        PainterCanvas canvas(p, metrics_, clip);
        canvas_ = &canvas;
        try {
            emulator_->lazyPaint();
        } catch (const std::exception&) {
            serial::reportException("painting the terminal", std::current_exception());
        }
        canvas_ = nullptr;
        touched = canvas.touched();
    }
    if (!touched.isEmpty()) viewport()->update(touched);
    showCaret();
}

void TerminalWidget::blinkRepaint() {
    ensureSurface();
    hideCaret();
    QRect touched;
    {
        QPainter p(&surface_);
        PainterCanvas canvas(p, metrics_, charArea_);
        canvas_ = &canvas;
        try {
            emulator_->blinkPaint(blinkPhase_);
        } catch (const std::exception&) {
            serial::reportException("painting blinking text", std::current_exception());
        }
        canvas_ = nullptr;
        touched = canvas.touched();
    }
    if (!touched.isEmpty()) viewport()->update(touched);
    showCaret();
}

void TerminalWidget::timerEvent(QTimerEvent* e) {
    if (e->timerId() != timer_.timerId()) {
        QAbstractScrollArea::timerEvent(e);
        return;
    }
    if (selecting_) {
        const QPoint pos = viewport()->mapFromGlobal(QCursor::pos());
        const int w = viewport()->width(), h = viewport()->height();
        if (view_.horzTooSmall && (pos.x() < 0 || pos.x() >= w))
            setOriginCol(view_.originCol + (pos.x() < 0 ? -1 : 1));
        if (pos.y() < 0 || pos.y() >= h) setOriginRow(view_.originRow + (pos.y() < 0 ? -1 : 1));
        selectionMouseMove(pos);
    }
    if (blinkTime_ > 0 && emulator_) {
        blinkAccum_ += kTimerMs;
        if (blinkAccum_ > blinkTime_) {
            blinkPhase_ = !blinkPhase_;
            if (emulator_->hasBlinkingText()) blinkRepaint();
            blinkAccum_ = 0;
        }
    }
    if (useLazyDisplay_ && emulator_) {
        lazyTime_ += kTimerMs;
        // The delays are looked at first: asking the emulator clears its cursor-moved note.
        if ((lazyTime_ > lazyTimeDelay_ || lazyBytes_ > lazyByteDelay_) && emulator_->needsUpdate()) {
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

void TerminalWidget::createCaret() {
    caretCreated_ = cursorType_ != CursorType::None;
    caretBlinkOn_ = true;
    caretBlinkAccum_ = 0;
}

void TerminalWidget::destroyCaret() {
    hideCaret();
    caretCreated_ = false;
}

void TerminalWidget::hideCaret() {
    if (!caretShown_) return;
    caretShown_ = false;
    viewport()->update(caretRect_);
}

void TerminalWidget::showCaret() {
    if (!caretCreated_ || !hasFocus() || !buffer()) {
        hideCaret();
        return;
    }
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    int x = (buffer()->absCursorCol() - view_.originCol) * cw;
    int y = (buffer()->absCursorRow() - view_.originRow) * ch;
    const int height = cursorType_ == CursorType::Underline ? 2 : ch;
    if (cursorType_ == CursorType::Underline) y += ch - 2;
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

void TerminalWidget::focusInEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusInEvent(e);
    createCaret();
    showCaret();
}

void TerminalWidget::focusOutEvent(QFocusEvent* e) {
    QAbstractScrollArea::focusOutEvent(e);
    destroyCaret();
    // Losing the focus in the middle of a drag (a dialog popping up) is the cancel-mode request:
    // the button release will never come here, so the drag must not go on following the mouse.
    if (selecting_) {
        hideSelection();
        selecting_ = false;
    }
}

} // namespace brimwell::terminal
