// The terminal pane: properties, emulator assignment, cell accessors, port attachment and intake.
// The view lives in terminal_widget_view.cpp, keyboard, mouse and clipboard in terminal_widget_input.cpp.
#include "terminal/widget/terminal_widget.h"

#include "serial/component/com_port.h"
#include "terminal/vt100_emulator.h"
#include "terminal/widget/terminal_intake.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>
#include <cstring>

#include "serial/exception_report.h"

namespace brimwell::terminal {

namespace {

// Largest intake block kept allocated between messages; a bigger one is released after use.
constexpr size_t kScratchKeep = size_t(1) << 20;

} // namespace

TerminalWidget::TerminalWidget(QWidget* parent) : QAbstractScrollArea(parent) {
    intake_ = std::make_shared<TerminalIntake>();
    intake_->target = this;

    internalEmulator_ = std::make_unique<TtyEmulator>();
    internalEmulator_->setInternal(true);
    emulator_ = internalEmulator_.get();
    emulator_->setTerminal(this);

    // Active with no port known yet: attach as soon as a port is given.
    attachPending_ = true;

    QFont f(QStringLiteral("Terminal"), 9);
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    setFont(f);

    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    // Cells and gaps are painted opaquely from the surface; nothing is erased first.
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    viewport()->setAttribute(Qt::WA_NoSystemBackground);
    viewport()->setAutoFillBackground(false);
    viewport()->setCursor(Qt::IBeamCursor);
    setFocusPolicy(Qt::StrongFocus);
    connect(horizontalScrollBar(), &QScrollBar::actionTriggered, this,
            [this](int action) { horizontalAction(action); });
    connect(verticalScrollBar(), &QScrollBar::actionTriggered, this,
            [this](int action) { verticalAction(action); });
    resize(kDefaultWidth, kDefaultHeight);

    // What the window's creation does: fonts, the timer, and the buffer learns the window.
    measureFont();
    timer_.start(kTimerMs, this);
    if (buffer()) buffer()->registerTerminalHandle(this);
    constructed_ = true;
    computeExtent();
}

TerminalWidget::~TerminalWidget() {
    if (comPort_) {
        detach();
        deregisterFromPort();
        if (comPort_->primaryTerminal() == static_cast<void*>(static_cast<TerminalWidget*>(this)))
            comPort_->setPrimaryTerminal(nullptr);
    }
    timer_.stop();
    destroyCaret();
    {
        std::lock_guard<std::mutex> guard(intake_->lock);
        intake_->target = nullptr;
        intake_->dispatcher = nullptr;
    }
    intake_.reset();

    settingEmulator_ = true;
    if (assignedEmulator_) {
        if (assignedEmulator_->buffer()) assignedEmulator_->buffer()->deregisterTerminalHandle();
        TerminalEmulator* old = assignedEmulator_;
        assignedEmulator_ = nullptr;
        old->setTerminal(nullptr);
    }
    if (internalEmulator_) {
        if (internalEmulator_->buffer()) internalEmulator_->buffer()->deregisterTerminalHandle();
        internalEmulator_->setTerminal(nullptr);
    }
    emulator_ = nullptr;
}

// ---- Properties ---------------------------------------------------------------------------------

void TerminalWidget::setActive(bool on) {
    if (on == active_) return;
    attachPending_ = false;
    active_ = on;
    if (comPort_) {
        if (on)
            attach();
        else
            detach();
    } else if (on) {
        attachPending_ = true;
    }
}

void TerminalWidget::setAutoScrollback(bool on) {
    autoScrollback_ = on;
    computeExtent();
}

void TerminalWidget::setBlinkTime(int ms) {
    // 250 ms is the shortest half period; anything at or below 0 switches blinking off.
    blinkTime_ = ms <= 0 ? 0 : std::max(ms, kMinBlinkTime);
}

void TerminalWidget::setBorderStyle(BorderStyle style) {
    if (style == borderStyle_) return;
    borderStyle_ = style;
    postForceSize();
}

int TerminalWidget::columns() const {
    return buffer() ? buffer()->colCount() : 0;
}
int TerminalWidget::rows() const {
    return buffer() ? buffer()->rowCount() : 0;
}
int TerminalWidget::scrollbackRows() const {
    return buffer() ? buffer()->svRowCount() : 0;
}

void TerminalWidget::setColumns(int n) {
    if (n <= 0 || !buffer() || n == columns()) return;
    buffer()->setColCount(n);
    view_.originCol = 1;
    view_.originRow = 1;
    computeExtent();
    repaintAll();
    emit screenSizeChanged();
}

void TerminalWidget::setRows(int n) {
    if (n <= 0 || !buffer() || n == rows()) return;
    buffer()->setRowCount(n); // ignored by the buffer above scrollbackRows
    computeExtent();
    setOrigin(view_.originCol, view_.originRow);
    repaintAll();
    emit screenSizeChanged();
}

void TerminalWidget::setScrollbackRows(int n) {
    if (n <= 0 || !buffer()) return;
    buffer()->setSvRowCount(n);
    computeExtent();
    setOrigin(view_.originCol, view_.originRow);
    repaintAll();
}

void TerminalWidget::setCursorType(CursorType type) {
    hideCaret();
    destroyCaret();
    cursorType_ = type;
    if (hasFocus()) {
        createCaret();
        showCaret();
    }
}

void TerminalWidget::setFollowCursor(bool on) {
    followCursor_ = on;
    if (on && buffer()) doFollowCursor(buffer()->absCursorRow(), buffer()->absCursorCol());
}

void TerminalWidget::setHideScrollbars(bool on) {
    view_.hideScrollbars = on;
    computeExtent();
}

void TerminalWidget::setLazyByteDelay(int bytes) {
    if (bytes >= 1 && bytes <= kLazyByteDelayMax) lazyByteDelay_ = bytes;
}

void TerminalWidget::setLazyTimeDelay(int ms) {
    if (ms >= 1 && ms <= kLazyTimeDelayMax) lazyTimeDelay_ = ms;
}

void TerminalWidget::setMouseSelect(bool on) {
    mouseSelect_ = on;
    if (!on) hideSelection();
}

void TerminalWidget::setScrollback(bool on) {
    view_.scrollback = on;
    computeExtent();
    setOrigin(view_.originCol, view_.originRow);
}

void TerminalWidget::setFreezeScrollBack(bool on) {
    if (on == freezeScrollBack_) return;
    freezeScrollBack_ = on;
    repaintAll();
}

void TerminalWidget::setColor(Color c) {
    if (c == color_) return;
    color_ = c;
    // The emulator recolours the cells that had the old default when it next paints.
    repaintAll();
}

void TerminalWidget::setFontColor(Color c) {
    if (c == fontColor_) return;
    fontColor_ = c;
    repaintAll();
}

void TerminalWidget::setEmulator(TerminalEmulator* emulator) {
    // The emulator's own link management calls back here; the flag ends that loop.
    if (settingEmulator_) return;
    if (!emulator_ || !emulator_->buffer()) return;
    if (emulator == assignedEmulator_) return;
    settingEmulator_ = true;
    timer_.stop();
    TerminalBuffer* old = emulator_->buffer();
    const int svRows = old->svRowCount(), rows = old->rowCount(), cols = old->colCount();
    try {
        if (assignedEmulator_) {
            if (assignedEmulator_->buffer()) assignedEmulator_->buffer()->deregisterTerminalHandle();
            TerminalEmulator* previous = assignedEmulator_;
            assignedEmulator_ = nullptr;
            emulator_ = internalEmulator_.get();
            previous->setTerminal(nullptr);
        } else {
            internalEmulator_->buffer()->deregisterTerminalHandle();
        }
        assignedEmulator_ = emulator;
        emulator_ = emulator ? emulator : internalEmulator_.get();
        if (emulator) emulator->setTerminal(this);
        TerminalBuffer* now = emulator_->buffer();
        if (now) {
            now->registerTerminalHandle(this);
            if (svRows > 0) {
                now->setSvRowCount(svRows);
                now->setRowCount(rows);
                now->setColCount(cols);
            }
        }
    } catch (...) {
        settingEmulator_ = false;
        timer_.start(kTimerMs, this);
        throw;
    }
    settingEmulator_ = false;
    timer_.start(kTimerMs, this);
    hideSelection();
    computeExtent();
    setOrigin(view_.originCol, view_.originRow);
    repaintAll();
}

Emulation TerminalWidget::emulation() const {
    return assignedEmulator_ && assignedEmulator_ == vt100Emulator_.get() ? Emulation::VT100
                                                                          : Emulation::Teletype;
}

void TerminalWidget::setEmulation(Emulation chosen) {
    if (chosen == emulation()) return;
    TerminalBuffer* old = buffer();
    if (chosen == Emulation::VT100 && !vt100Emulator_) vt100Emulator_ = std::make_unique<Vt100Emulator>();
    setEmulator(chosen == Emulation::VT100 ? vt100Emulator_.get() : nullptr);
    if (old && buffer() && old != buffer()) buffer()->copyContentsFrom(*old);
    repaintAll();
}

// ---- Operations ---------------------------------------------------------------------------------

void TerminalWidget::clear() {
    if (emulator_) emulator_->clear();
}

void TerminalWidget::clearAll() {
    if (emulator_) emulator_->clearAll();
}

void TerminalWidget::writeChar(char ch) {
    writeString(std::string_view(&ch, 1));
}

void TerminalWidget::writeString(std::string_view s) {
    if (s.empty()) return;
    {
        std::lock_guard<std::mutex> guard(intake_->lock);
        intake_->queue.put(s.data(), int(s.size()));
    }
    postTermStuff(CharSource::WriteChar);
}

std::string TerminalWidget::line(int row) const {
    TerminalBuffer* b = buffer();
    if (!b) return {};
    const char* p = b->getLineCharPtr(row);
    if (!p || b->wideChars()) return {};
    return std::string(p, size_t(b->colCount()));
}

void TerminalWidget::setLine(int row, std::string_view text) {
    TerminalBuffer* b = buffer();
    if (!b || b->wideChars()) return;
    char* p = b->getLineCharPtr(row);
    if (!p) return;
    const size_t cols = size_t(b->colCount());
    const size_t n = std::min(cols, text.size());
    std::memcpy(p, text.data(), n);
    std::memset(p + n, ' ', cols - n);
}

CharAttrs TerminalWidget::attributes(int row, int col) const {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return 0;
    const CharAttrs* p = b->getLineAttrPtr(row);
    return p ? p[col - 1] : 0;
}

void TerminalWidget::setAttributes(int row, int col, CharAttrs a) {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return;
    if (CharAttrs* p = b->getLineAttrPtr(row)) p[col - 1] = a;
}

uint8_t TerminalWidget::charSet(int row, int col) const {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return 0;
    const uint8_t* p = b->getLineCharSetPtr(row);
    return p ? p[col - 1] : 0;
}

void TerminalWidget::setCharSet(int row, int col, uint8_t cs) {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return;
    if (uint8_t* p = b->getLineCharSetPtr(row)) p[col - 1] = cs;
}

Color TerminalWidget::foreColor(int row, int col) const {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return kWhite;
    const Color* p = b->getLineForeColorPtr(row);
    return p ? p[col - 1] : kWhite;
}

void TerminalWidget::setForeColor(int row, int col, Color c) {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return;
    if (Color* p = b->getLineForeColorPtr(row)) p[col - 1] = c;
}

Color TerminalWidget::backColor(int row, int col) const {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return kBlack;
    const Color* p = b->getLineBackColorPtr(row);
    return p ? p[col - 1] : kBlack;
}

void TerminalWidget::setBackColor(int row, int col, Color c) {
    TerminalBuffer* b = buffer();
    if (!b || col < 1 || col > b->colCount()) return;
    if (Color* p = b->getLineBackColorPtr(row)) p[col - 1] = c;
}

void TerminalWidget::portRemoved() {
    setActive(false);
    setComPort(nullptr);
}

// ---- Port attachment ----------------------------------------------------------------------------

void TerminalWidget::setComPort(serial::ComPort* port) {
    if (port == comPort_) return;
    void* self = static_cast<TerminalWidget*>(this);
    if (comPort_) {
        detach();
        deregisterFromPort();
        if (comPort_->primaryTerminal() == self) comPort_->setPrimaryTerminal(nullptr);
    }
    comPort_ = port;
    if (comPort_) {
        registerWithPort();
        if (!comPort_->primaryTerminal()) comPort_->setPrimaryTerminal(self);
        if (active_) attach();
    }
}

void TerminalWidget::registerWithPort() {
    comPort_->registerUserCallbackEx(
        this, [this](serial::ComPort*, serial::CallbackType type) { portNotification(int(type)); });
}

void TerminalWidget::deregisterFromPort() {
    if (!comPort_->isDestroying()) comPort_->deregisterUserCallbackEx(this);
}

void TerminalWidget::portNotification(int type) {
    switch (serial::CallbackType(type)) {
    case serial::CallbackType::Open: // QmPortOpen
        if (attachPending_) attach();
        break;
    case serial::CallbackType::Closing: // QmPortClosing
    case serial::CallbackType::Closed:  // QmPortClose
        detach();
        // A port that closes because it is being destroyed is gone once this returns.
        if (serial::CallbackType(type) == serial::CallbackType::Closed && comPort_->isDestroying()) {
            if (comPort_->primaryTerminal() == static_cast<void*>(this))
                comPort_->setPrimaryTerminal(nullptr);
            comPort_ = nullptr;
            active_ = false;
            attachPending_ = false;
        }
        break;
    }
}

void TerminalWidget::attach() {
    attachPending_ = true;
    postWaitForPort();
}

void TerminalWidget::detach() {
    serial::Dispatcher* dispatcher = comPort_ ? comPort_->currentDispatcher() : nullptr;
    if (attached_) {
        // Returns once the intake is not being called and never will be again.
        if (dispatcher) dispatcher->deregisterEventTriggerHandler(intake_.get());
        {
            std::lock_guard<std::mutex> guard(intake_->lock);
            intake_->dispatcher = nullptr;
        }
        // Without a dispatcher the registration went with it.
        attached_ = false;
    }
    if (active_) attachPending_ = true;
}

void TerminalWidget::handleWaitForPort() {
    if (waitingForPort_ || !comPort_) return;
    waitingForPort_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{waitingForPort_};

    if (comPort_->isLoading()) {
        postWaitForPort();
        return;
    }
    if (attached_ || (!comPort_->isOpen() && !comPort_->autoOpen())) {
        attachPending_ = active_;
        return;
    }
    attachPending_ = false;
    if (!comPort_->isOpen()) {
        try {
            comPort_->setOpen(true);
        } catch (const std::exception&) {
            serial::reportException("opening the port for the terminal", std::current_exception());
            attachPending_ = active_;
            return;
        }
    }
    if (active_) {
        serial::Dispatcher* dispatcher = comPort_->currentDispatcher();
        if (dispatcher) {
            {
                std::lock_guard<std::mutex> guard(intake_->lock);
                intake_->dispatcher = dispatcher;
            }
            dispatcher->registerEventTriggerHandler(intake_.get());
            attached_ = true;
        } else {
            attachPending_ = true;
        }
    }
    // Every (re)opening starts writing at the top row again, or below what the pane shows.
    measureFont();
    if (buffer()) {
        if (freshLineOnOpen_)
            buffer()->startFreshLine();
        else
            buffer()->setCursorRow(1);
    }
}

int TerminalWidget::portBaud() const {
    return comPort_ ? comPort_->baud() : TerminalHost::portBaud();
}

char TerminalWidget::portParity() const {
    if (!comPort_) return TerminalHost::portParity();
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    const int p = int(comPort_->parity());
    return p >= 0 && p < 5 ? kParity[p] : 'N';
}

int TerminalWidget::portDataBits() const {
    return comPort_ ? comPort_->dataBits() : TerminalHost::portDataBits();
}

bool TerminalWidget::portOpen() const {
    return comPort_ && comPort_->isOpen();
}

bool TerminalWidget::isPrimaryTerminal() const {
    return comPort_ && comPort_->primaryTerminal() == static_cast<const void*>(this);
}

void TerminalWidget::putChar(char ch) {
    if (!comPort_ || sendHeld()) return;
    try {
        comPort_->putChar(ch);
    } catch (const std::exception&) {
        serial::reportException("sending a character to the port", std::current_exception());
    }
}

void TerminalWidget::putString(std::string_view s) {
    if (!comPort_ || sendHeld()) return;
    try {
        comPort_->putString(s);
    } catch (const std::exception&) {
        serial::reportException("sending text to the port", std::current_exception());
    }
}

// ---- Messages -----------------------------------------------------------------------------------

void TerminalWidget::postTermStuff(CharSource source) {
    QCoreApplication::postEvent(this, new TermStuffEvent(source));
}

void TerminalWidget::postForceSize() {
    if (forceSizePosted_) return;
    forceSizePosted_ = true;
    QCoreApplication::postEvent(this, new QEvent(termForceSizeEventType()));
}

void TerminalWidget::postWaitForPort() {
    QCoreApplication::postEvent(this, new QEvent(waitForPortEventType()));
}

void TerminalWidget::termNeedsUpdate() {
    // The buffer calls this for every changed cell; one queued message serves them all.
    if (useLazyDisplay_ || needsUpdatePosted_ || !constructed_) return;
    needsUpdatePosted_ = true;
    QCoreApplication::postEvent(this, new QEvent(termNeedsUpdateEventType()));
}

void TerminalWidget::handleTermStuff(CharSource source) {
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(intake_->lock);
        n = intake_->queue.count();
        if (n <= 0) return; // an earlier message already took these bytes
        if (scratch_.size() < size_t(n)) scratch_.resize(size_t(n));
        std::memcpy(scratch_.data(), intake_->queue.peek(n), size_t(n));
        // Bytes queued from now on wait for their own message.
        if (intake_->queue.count() == n)
            intake_->queue.clear();
        else
            intake_->queue.remove(n);
    }
    capture_.write(reinterpret_cast<const uint8_t*>(scratch_.data()), n);
    try {
        if (emulator_) emulator_->processBlock(scratch_.data(), n, source);
        if (!useLazyDisplay_ && emulator_ && emulator_->needsUpdate()) immediateRepaint();
    } catch (const std::exception&) {
        serial::reportException("processing received bytes", std::current_exception());
    }
    lazyBytes_ += n;
    if (scratch_.size() > kScratchKeep) {
        scratch_.clear();
        scratch_.shrink_to_fit();
    }
}

void TerminalWidget::handleForceSize() {
    forceSizePosted_ = false;
    const QSize before = wholeScreenSize();
    // Qt keeps the window; adding or removing its scroll bars and border is the re-creation.
    setHorizontalScrollBarPolicy(view_.hBarNeeded() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(view_.vBarNeeded() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setFrameStyle(borderStyle_ == BorderStyle::Single ? (QFrame::StyledPanel | QFrame::Sunken)
                                                      : QFrame::NoFrame);
    computeExtent();
    repaintAll();
    if (wholeScreenSize() != before) emit screenSizeChanged();
}

bool TerminalWidget::event(QEvent* e) {
    const QEvent::Type type = e->type();
    if (type == termStuffEventType()) {
        handleTermStuff(static_cast<TermStuffEvent*>(e)->source());
        return true;
    }
    if (type == termNeedsUpdateEventType()) {
        needsUpdatePosted_ = false;
        // The block's own repaint has usually drawn everything already.
        if (!useLazyDisplay_ && emulator_ && emulator_->needsUpdate()) immediateRepaint();
        return true;
    }
    if (type == waitForPortEventType()) {
        handleWaitForPort();
        return true;
    }
    if (type == termForceSizeEventType()) {
        handleForceSize();
        return true;
    }
    if (type == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (rawKeyDown(k)) {
            k->accept();
            return true;
        }
        const bool tab = k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab;
        if (tab && !wantAllKeys_ && !(k->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
            return QAbstractScrollArea::event(e); // dialog navigation takes Tab
        keyPressEvent(k);
        return true;
    }
    return QAbstractScrollArea::event(e);
}

void TerminalWidget::loaded() {
    measureFont();
    if (buffer()) buffer()->setCursorRow(1);
}

// ---- Small host services ------------------------------------------------------------------------

void TerminalWidget::beep() {
    QApplication::beep();
}

void TerminalWidget::cursorMoved(TerminalBuffer* sender, int row, int col) {
    if (onCursorMoved) onCursorMoved(sender, row, col);
}

} // namespace brimwell::terminal
