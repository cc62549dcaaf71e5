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
    metrics_ = TerminalFontMetrics::measure(font());
    if (constructed_) {
        computeExtent();
        setOrigin(originCol_, originRow_);
        RepaintAll();
    }
}

void TQuavCustomTerminal::changeEvent(QEvent* e) {
    if (e->type() == QEvent::FontChange) measureFont();
    QAbstractScrollArea::changeEvent(e);
}

bool TQuavCustomTerminal::hBarNeeded() const {
    return hideScrollbars_ ? (hTooSmall_ && cursorBeyondCols_) : hTooSmall_;
}

bool TQuavCustomTerminal::vBarNeeded() const {
    const bool small = hideScrollbars_ ? (vTooSmall_ && cursorBeyondRows_) : vTooSmall_;
    return small || (ScrollbackRows() > Rows() && scrollback_);
}

int TQuavCustomTerminal::lowestOriginRow() const {
    return (!vTooSmall_ || scrollback_) ? Rows() - ScrollbackRows() + 1 : 1;
}

void TQuavCustomTerminal::computeExtent() {
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    if (!emulator_ || !Buffer() || cw <= 0 || ch <= 0) {
        visibleCols_ = visibleRows_ = 0;
        return;
    }
    const int w = viewport()->width(), h = viewport()->height();
    const int capCols = std::max(0, Columns() - originCol_ + 1);
    const int capRows = std::max(0, Rows() - originRow_ + 1);
    visibleCols_ = std::min((w + cw - 1) / cw, capCols);
    fullCols_ = std::min(w / cw, capCols);
    visibleRows_ = std::min((h + ch - 1) / ch, capRows);
    fullRows_ = std::min(h / ch, capRows);

    hTooSmall_ = fullCols_ < Columns();
    vTooSmall_ = fullRows_ < Rows();

    const QRect oldArea = charArea_;
    charArea_ = QRect(0, 0, std::min(visibleCols_ * cw, w), std::min(visibleRows_ * ch, h));
    rightGap_ = QRect(charArea_.width(), 0, w - charArea_.width(), charArea_.height());
    bottomGap_ = QRect(0, charArea_.height(), w, h - charArea_.height());
    if (oldArea != charArea_) {
        stale_ += rightGap_;
        stale_ += bottomGap_;
        viewport()->update();
    }

    QScrollBar* hb = horizontalScrollBar();
    if (hBarNeeded()) {
        const QSignalBlocker block(hb);
        hb->setRange(0, std::max(0, Columns() - fullCols_));
        hb->setPageStep(std::max(1, fullCols_));
        hb->setSingleStep(1);
        hb->setValue(originCol_ - 1);
        hb->setEnabled(hb->maximum() > hb->minimum());
    }
    QScrollBar* vb = verticalScrollBar();
    if (vBarNeeded()) {
        const QSignalBlocker block(vb);
        const int low = (!vTooSmall_ || scrollback_) ? Rows() - ScrollbackRows() : 0;
        vb->setRange(low, std::max(low, Rows() - fullRows_));
        vb->setPageStep(std::max(1, fullRows_));
        vb->setSingleStep(1);
        vb->setValue(originRow_ - 1);
        vb->setEnabled(vb->maximum() > vb->minimum());
    }
    const bool hShown = horizontalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    const bool vShown = verticalScrollBarPolicy() == Qt::ScrollBarAlwaysOn;
    if (hShown != hBarNeeded() || vShown != vBarNeeded()) postForceSize();
}

void TQuavCustomTerminal::setOrigin(int col, int row) {
    const int maxCol = std::max(1, Columns() - fullCols_ + 1);
    const int maxRow = std::max(1, Rows() - fullRows_ + 1);
    col = std::clamp(col, 1, maxCol);
    row = std::clamp(row, std::min(lowestOriginRow(), maxRow), maxRow);
    if (col == originCol_ && row == originRow_) return;
    const int dx = (originCol_ - col) * metrics_.charWidth;
    const int dy = (originRow_ - row) * metrics_.charHeight;
    originCol_ = col;
    originRow_ = row;
    scrollSurface(dx, dy);
    computeExtent();
    stale_ += rightGap_;
    stale_ += bottomGap_;
    showCaret();
}

void TQuavCustomTerminal::SetOriginCol(int col) {
    setOrigin(col, originRow_);
}
void TQuavCustomTerminal::SetOriginRow(int row) {
    setOrigin(originCol_, row);
}

void TQuavCustomTerminal::DoFollowCursor(int, int) {
    if (!followCursor_ || !Buffer()) return;
    // The view origin is absolute, so the cursor is taken absolute whatever the addressing mode.
    const int row = Buffer()->AbsCursorRow(), col = Buffer()->AbsCursorCol();
    int newCol = originCol_, newRow = originRow_;
    if (col < originCol_)
        newCol = col;
    else if (col > originCol_ + fullCols_)
        newCol = col - fullCols_;
    if (row < originRow_)
        newRow = row;
    else if (row >= originRow_ + fullRows_)
        newRow = row - fullRows_;
    if (newCol != originCol_ || newRow != originRow_) setOrigin(newCol, newRow);
}

void TQuavCustomTerminal::SetCursorBeyond(bool rows, bool cols) {
    cursorBeyondRows_ = rows;
    cursorBeyondCols_ = cols;
}

void TQuavCustomTerminal::UpdateScrollBars() {
    computeExtent();
}

void TQuavCustomTerminal::resizeEvent(QResizeEvent* e) {
    QAbstractScrollArea::resizeEvent(e);
    const int cw = metrics_.charWidth, ch = metrics_.charHeight;
    if (cw > 0) computeExtent();
    const int w = viewport()->width(), h = viewport()->height();
    int col = originCol_, row = originRow_;
    if (cw > 0 && originCol_ > 1 && visibleCols_ * cw < w) col = Columns() - w / cw + 1;
    if (ch > 0 && originRow_ > 1 && visibleRows_ * ch < h) row = Rows() - h / ch + 1;
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
    int col = originCol_;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        col -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        col += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        col -= fullCols_;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        col += fullCols_;
        break;
    case QAbstractSlider::SliderMove:
        col = hb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(col, originRow_);
    hb->setSliderPosition(originCol_ - 1);
}

void TQuavCustomTerminal::verticalAction(int action) {
    QScrollBar* vb = verticalScrollBar();
    if (vTooSmall_ && autoScrollback_) {
        if (!scrollback_ && action == QAbstractSlider::SliderSingleStepSub && originRow_ == 1) {
            scrollback_ = true;
            computeExtent();
        } else if (scrollback_ && originRow_ > 1) {
            scrollback_ = false;
            computeExtent();
        }
    }
    int row = originRow_;
    switch (action) {
    case QAbstractSlider::SliderSingleStepSub:
        row -= 1;
        break;
    case QAbstractSlider::SliderSingleStepAdd:
        row += 1;
        break;
    case QAbstractSlider::SliderPageStepSub:
        row -= fullRows_;
        break;
    case QAbstractSlider::SliderPageStepAdd:
        row += fullRows_;
        break;
    case QAbstractSlider::SliderMove:
        row = vb->sliderPosition() + 1;
        break;
    default:
        return;
    }
    setOrigin(originCol_, row);
    vb->setSliderPosition(originRow_ - 1);
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
            ReportException("painting the terminal", std::current_exception());
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
    const QRect clip(0, 0, visibleCols_ * metrics_.charWidth, visibleRows_ * metrics_.charHeight);
    QRect touched;
    {
        QPainter p(&surface_);
        TQuavPainterCanvas canvas(p, metrics_, clip);
        canvas_ = &canvas;
        try {
            emulator_->LazyPaint();
        } catch (const std::exception&) {
            ReportException("painting the terminal", std::current_exception());
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
            ReportException("painting blinking text", std::current_exception());
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
        if (hTooSmall_ && (pos.x() < 0 || pos.x() >= w)) SetOriginCol(originCol_ + (pos.x() < 0 ? -1 : 1));
        if (pos.y() < 0 || pos.y() >= h) SetOriginRow(originRow_ + (pos.y() < 0 ? -1 : 1));
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
    int x = (Buffer()->AbsCursorCol() - originCol_) * cw;
    int y = (Buffer()->AbsCursorRow() - originRow_) * ch;
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
