// The terminal pane: properties, emulator assignment, cell accessors, port attachment and intake.
// The view lives in quav_terminal_view.cpp, keyboard, mouse and clipboard in quav_terminal_input.cpp.
#include "terminal/widget/quav_terminal.h"

#include "serial/component/com_port.h"
#include "terminal/vt100_emulator.h"
#include "terminal/widget/terminal_intake.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>
#include <cstring>

#include "serial/exception_report.h"

namespace brimwell {

namespace {

// Largest intake block kept allocated between messages; a bigger one is released after use.
constexpr size_t kScratchKeep = size_t(1) << 20;

} // namespace

TQuavCustomTerminal::TQuavCustomTerminal(QWidget* parent) : QAbstractScrollArea(parent) {
    intake_ = std::make_shared<TerminalIntake>();
    intake_->target = this;

    internalEmulator_ = std::make_unique<TQuavTTYEmulator>();
    internalEmulator_->SetInternal(true);
    emulator_ = internalEmulator_.get();
    emulator_->teSetTerminal(this);

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
    if (Buffer()) Buffer()->RegisterTerminalHandle(this);
    constructed_ = true;
    computeExtent();
}

TQuavCustomTerminal::~TQuavCustomTerminal() {
    if (comPort_) {
        detach();
        deregisterFromPort();
        if (comPort_->primaryTerminal() == static_cast<void*>(static_cast<TQuavCustomTerminal*>(this)))
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
        if (assignedEmulator_->Buffer()) assignedEmulator_->Buffer()->DeregisterTerminalHandle();
        TQuavTerminalEmulator* old = assignedEmulator_;
        assignedEmulator_ = nullptr;
        old->teSetTerminal(nullptr);
    }
    if (internalEmulator_) {
        if (internalEmulator_->Buffer()) internalEmulator_->Buffer()->DeregisterTerminalHandle();
        internalEmulator_->teSetTerminal(nullptr);
    }
    emulator_ = nullptr;
}

// ---- Properties ---------------------------------------------------------------------------------

void TQuavCustomTerminal::SetActive(bool on) {
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

void TQuavCustomTerminal::SetAutoScrollback(bool on) {
    autoScrollback_ = on;
    computeExtent();
}

void TQuavCustomTerminal::SetBlinkTime(int ms) {
    // 250 ms is the shortest half period; anything at or below 0 switches blinking off.
    blinkTime_ = ms <= 0 ? 0 : std::max(ms, kMinBlinkTime);
}

void TQuavCustomTerminal::SetBorderStyle(TQuavBorderStyle style) {
    if (style == borderStyle_) return;
    borderStyle_ = style;
    postForceSize();
}

int TQuavCustomTerminal::Columns() const {
    return Buffer() ? Buffer()->ColCount() : 0;
}
int TQuavCustomTerminal::Rows() const {
    return Buffer() ? Buffer()->RowCount() : 0;
}
int TQuavCustomTerminal::ScrollbackRows() const {
    return Buffer() ? Buffer()->SVRowCount() : 0;
}

void TQuavCustomTerminal::SetColumns(int n) {
    if (n <= 0 || !Buffer() || n == Columns()) return;
    Buffer()->tbSetColCount(n);
    view_.OriginCol = 1;
    view_.OriginRow = 1;
    computeExtent();
    RepaintAll();
    emit screenSizeChanged();
}

void TQuavCustomTerminal::SetRows(int n) {
    if (n <= 0 || !Buffer() || n == Rows()) return;
    Buffer()->tbSetRowCount(n); // ignored by the buffer above ScrollbackRows
    computeExtent();
    setOrigin(view_.OriginCol, view_.OriginRow);
    RepaintAll();
    emit screenSizeChanged();
}

void TQuavCustomTerminal::SetScrollbackRows(int n) {
    if (n <= 0 || !Buffer()) return;
    Buffer()->tbSetSVRowCount(n);
    computeExtent();
    setOrigin(view_.OriginCol, view_.OriginRow);
    RepaintAll();
}

void TQuavCustomTerminal::SetCursorType(TQuavCursorType type) {
    hideCaret();
    destroyCaret();
    cursorType_ = type;
    if (hasFocus()) {
        createCaret();
        showCaret();
    }
}

void TQuavCustomTerminal::SetFollowCursor(bool on) {
    followCursor_ = on;
    if (on && Buffer()) DoFollowCursor(Buffer()->AbsCursorRow(), Buffer()->AbsCursorCol());
}

void TQuavCustomTerminal::SetHideScrollbars(bool on) {
    view_.HideScrollbars = on;
    computeExtent();
}

void TQuavCustomTerminal::SetLazyByteDelay(int bytes) {
    if (bytes >= 1 && bytes <= kLazyByteDelayMax) lazyByteDelay_ = bytes;
}

void TQuavCustomTerminal::SetLazyTimeDelay(int ms) {
    if (ms >= 1 && ms <= kLazyTimeDelayMax) lazyTimeDelay_ = ms;
}

void TQuavCustomTerminal::SetMouseSelect(bool on) {
    mouseSelect_ = on;
    if (!on) HideSelection();
}

void TQuavCustomTerminal::SetScrollback(bool on) {
    view_.Scrollback = on;
    computeExtent();
    setOrigin(view_.OriginCol, view_.OriginRow);
}

void TQuavCustomTerminal::SetFreezeScrollBack(bool on) {
    if (on == freezeScrollBack_) return;
    freezeScrollBack_ = on;
    RepaintAll();
}

void TQuavCustomTerminal::SetColor(TColor c) {
    if (c == color_) return;
    color_ = c;
    // The emulator recolours the cells that had the old default when it next paints.
    RepaintAll();
}

void TQuavCustomTerminal::SetFontColor(TColor c) {
    if (c == fontColor_) return;
    fontColor_ = c;
    RepaintAll();
}

void TQuavCustomTerminal::SetEmulator(TQuavTerminalEmulator* emulator) {
    // The emulator's own link management calls back here; the flag ends that loop.
    if (settingEmulator_) return;
    if (!emulator_ || !emulator_->Buffer()) return;
    if (emulator == assignedEmulator_) return;
    settingEmulator_ = true;
    timer_.stop();
    TQuavTerminalBuffer* old = emulator_->Buffer();
    const int svRows = old->SVRowCount(), rows = old->RowCount(), cols = old->ColCount();
    try {
        if (assignedEmulator_) {
            if (assignedEmulator_->Buffer()) assignedEmulator_->Buffer()->DeregisterTerminalHandle();
            TQuavTerminalEmulator* previous = assignedEmulator_;
            assignedEmulator_ = nullptr;
            emulator_ = internalEmulator_.get();
            previous->teSetTerminal(nullptr);
        } else {
            internalEmulator_->Buffer()->DeregisterTerminalHandle();
        }
        assignedEmulator_ = emulator;
        emulator_ = emulator ? emulator : internalEmulator_.get();
        if (emulator) emulator->teSetTerminal(this);
        TQuavTerminalBuffer* now = emulator_->Buffer();
        if (now) {
            now->RegisterTerminalHandle(this);
            if (svRows > 0) {
                now->tbSetSVRowCount(svRows);
                now->tbSetRowCount(rows);
                now->tbSetColCount(cols);
            }
        }
    } catch (...) {
        settingEmulator_ = false;
        timer_.start(kTimerMs, this);
        throw;
    }
    settingEmulator_ = false;
    timer_.start(kTimerMs, this);
    HideSelection();
    computeExtent();
    setOrigin(view_.OriginCol, view_.OriginRow);
    RepaintAll();
}

TQuavEmulation TQuavCustomTerminal::Emulation() const {
    return assignedEmulator_ && assignedEmulator_ == vt100Emulator_.get() ? emVT100 : emTeletype;
}

void TQuavCustomTerminal::SetEmulation(TQuavEmulation emulation) {
    if (emulation == Emulation()) return;
    TQuavTerminalBuffer* old = Buffer();
    if (emulation == emVT100 && !vt100Emulator_) vt100Emulator_ = std::make_unique<TQuavVT100Emulator>();
    SetEmulator(emulation == emVT100 ? vt100Emulator_.get() : nullptr);
    if (old && Buffer() && old != Buffer()) Buffer()->CopyContentsFrom(*old);
    RepaintAll();
}

// ---- Operations ---------------------------------------------------------------------------------

void TQuavCustomTerminal::clear() {
    if (emulator_) emulator_->teClear();
}

void TQuavCustomTerminal::ClearAll() {
    if (emulator_) emulator_->teClearAll();
}

void TQuavCustomTerminal::WriteChar(char ch) {
    WriteString(std::string_view(&ch, 1));
}

void TQuavCustomTerminal::WriteString(std::string_view s) {
    if (s.empty()) return;
    {
        std::lock_guard<std::mutex> guard(intake_->lock);
        intake_->queue.Put(s.data(), int(s.size()));
    }
    postTermStuff(csWriteChar);
}

std::string TQuavCustomTerminal::Line(int row) const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b) return {};
    const char* p = b->GetLineCharPtr(row);
    if (!p || b->WideChars()) return {};
    return std::string(p, size_t(b->ColCount()));
}

void TQuavCustomTerminal::setLine(int row, std::string_view text) {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || b->WideChars()) return;
    char* p = b->GetLineCharPtr(row);
    if (!p) return;
    const size_t cols = size_t(b->ColCount());
    const size_t n = std::min(cols, text.size());
    std::memcpy(p, text.data(), n);
    std::memset(p + n, ' ', cols - n);
}

TQuavTerminalCharAttrs TQuavCustomTerminal::Attributes(int row, int col) const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return 0;
    const TQuavTerminalCharAttrs* p = b->GetLineAttrPtr(row);
    return p ? p[col - 1] : 0;
}

void TQuavCustomTerminal::SetAttributes(int row, int col, TQuavTerminalCharAttrs a) {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return;
    if (TQuavTerminalCharAttrs* p = b->GetLineAttrPtr(row)) p[col - 1] = a;
}

uint8_t TQuavCustomTerminal::CharSet(int row, int col) const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return 0;
    const uint8_t* p = b->GetLineCharSetPtr(row);
    return p ? p[col - 1] : 0;
}

void TQuavCustomTerminal::SetCharSet(int row, int col, uint8_t cs) {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return;
    if (uint8_t* p = b->GetLineCharSetPtr(row)) p[col - 1] = cs;
}

TColor TQuavCustomTerminal::ForeColor(int row, int col) const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return clWhite;
    const TColor* p = b->GetLineForeColorPtr(row);
    return p ? p[col - 1] : clWhite;
}

void TQuavCustomTerminal::SetForeColor(int row, int col, TColor c) {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return;
    if (TColor* p = b->GetLineForeColorPtr(row)) p[col - 1] = c;
}

TColor TQuavCustomTerminal::BackColor(int row, int col) const {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return clBlack;
    const TColor* p = b->GetLineBackColorPtr(row);
    return p ? p[col - 1] : clBlack;
}

void TQuavCustomTerminal::SetBackColor(int row, int col, TColor c) {
    TQuavTerminalBuffer* b = Buffer();
    if (!b || col < 1 || col > b->ColCount()) return;
    if (TColor* p = b->GetLineBackColorPtr(row)) p[col - 1] = c;
}

void TQuavCustomTerminal::PortRemoved() {
    SetActive(false);
    SetComPort(nullptr);
}

// ---- Port attachment ----------------------------------------------------------------------------

void TQuavCustomTerminal::SetComPort(serial::ComPort* port) {
    if (port == comPort_) return;
    void* self = static_cast<TQuavCustomTerminal*>(this);
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

void TQuavCustomTerminal::registerWithPort() {
    comPort_->registerUserCallbackEx(
        this, [this](serial::ComPort*, serial::CallbackType type) { portNotification(int(type)); });
}

void TQuavCustomTerminal::deregisterFromPort() {
    if (!comPort_->isDestroying()) comPort_->deregisterUserCallbackEx(this);
}

void TQuavCustomTerminal::portNotification(int type) {
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

void TQuavCustomTerminal::attach() {
    attachPending_ = true;
    postWaitForPort();
}

void TQuavCustomTerminal::detach() {
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

void TQuavCustomTerminal::handleWaitForPort() {
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
    if (Buffer()) {
        if (freshLineOnOpen_)
            Buffer()->StartFreshLine();
        else
            Buffer()->tbSetRow(1);
    }
}

int TQuavCustomTerminal::PortBaud() const {
    return comPort_ ? comPort_->baud() : TQuavTerminalHost::PortBaud();
}

char TQuavCustomTerminal::PortParity() const {
    if (!comPort_) return TQuavTerminalHost::PortParity();
    static constexpr char kParity[] = {'N', 'O', 'E', 'M', 'S'};
    const int p = int(comPort_->parity());
    return p >= 0 && p < 5 ? kParity[p] : 'N';
}

int TQuavCustomTerminal::PortDataBits() const {
    return comPort_ ? comPort_->dataBits() : TQuavTerminalHost::PortDataBits();
}

bool TQuavCustomTerminal::PortOpen() const {
    return comPort_ && comPort_->isOpen();
}

bool TQuavCustomTerminal::IsPrimaryTerminal() const {
    return comPort_ && comPort_->primaryTerminal() == static_cast<const void*>(this);
}

void TQuavCustomTerminal::putChar(char ch) {
    if (!comPort_ || sendHeld()) return;
    try {
        comPort_->putChar(ch);
    } catch (const std::exception&) {
        serial::reportException("sending a character to the port", std::current_exception());
    }
}

void TQuavCustomTerminal::putString(std::string_view s) {
    if (!comPort_ || sendHeld()) return;
    try {
        comPort_->putString(s);
    } catch (const std::exception&) {
        serial::reportException("sending text to the port", std::current_exception());
    }
}

// ---- Messages -----------------------------------------------------------------------------------

void TQuavCustomTerminal::postTermStuff(TQuavCharSource source) {
    QCoreApplication::postEvent(this, new TermStuffEvent(source));
}

void TQuavCustomTerminal::postForceSize() {
    if (forceSizePosted_) return;
    forceSizePosted_ = true;
    QCoreApplication::postEvent(this, new QEvent(termForceSizeEventType()));
}

void TQuavCustomTerminal::postWaitForPort() {
    QCoreApplication::postEvent(this, new QEvent(waitForPortEventType()));
}

void TQuavCustomTerminal::QmTermNeedsUpdate() {
    // The buffer calls this for every changed cell; one queued message serves them all.
    if (useLazyDisplay_ || needsUpdatePosted_ || !constructed_) return;
    needsUpdatePosted_ = true;
    QCoreApplication::postEvent(this, new QEvent(termNeedsUpdateEventType()));
}

void TQuavCustomTerminal::handleTermStuff(TQuavCharSource source) {
    int n = 0;
    {
        std::lock_guard<std::mutex> guard(intake_->lock);
        n = intake_->queue.Count();
        if (n <= 0) return; // an earlier message already took these bytes
        if (scratch_.size() < size_t(n)) scratch_.resize(size_t(n));
        std::memcpy(scratch_.data(), intake_->queue.Peek(n), size_t(n));
        // Bytes queued from now on wait for their own message.
        if (intake_->queue.Count() == n)
            intake_->queue.clear();
        else
            intake_->queue.remove(n);
    }
    capture_.write(reinterpret_cast<const uint8_t*>(scratch_.data()), n);
    try {
        if (emulator_) emulator_->ProcessBlock(scratch_.data(), n, source);
        if (!useLazyDisplay_ && emulator_ && emulator_->teGetNeedsUpdate()) immediateRepaint();
    } catch (const std::exception&) {
        serial::reportException("processing received bytes", std::current_exception());
    }
    lazyBytes_ += n;
    if (scratch_.size() > kScratchKeep) {
        scratch_.clear();
        scratch_.shrink_to_fit();
    }
}

void TQuavCustomTerminal::handleForceSize() {
    forceSizePosted_ = false;
    const QSize before = wholeScreenSize();
    // Qt keeps the window; adding or removing its scroll bars and border is the re-creation.
    setHorizontalScrollBarPolicy(view_.HBarNeeded() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(view_.VBarNeeded() ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
    setFrameStyle(borderStyle_ == bsSingle ? (QFrame::StyledPanel | QFrame::Sunken) : QFrame::NoFrame);
    computeExtent();
    RepaintAll();
    if (wholeScreenSize() != before) emit screenSizeChanged();
}

bool TQuavCustomTerminal::event(QEvent* e) {
    const QEvent::Type type = e->type();
    if (type == termStuffEventType()) {
        handleTermStuff(static_cast<TermStuffEvent*>(e)->source());
        return true;
    }
    if (type == termNeedsUpdateEventType()) {
        needsUpdatePosted_ = false;
        // The block's own repaint has usually drawn everything already.
        if (!useLazyDisplay_ && emulator_ && emulator_->teGetNeedsUpdate()) immediateRepaint();
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

void TQuavCustomTerminal::loaded() {
    measureFont();
    if (Buffer()) Buffer()->tbSetRow(1);
}

// ---- Small host services ------------------------------------------------------------------------

void TQuavCustomTerminal::Beep() {
    QApplication::beep();
}

void TQuavCustomTerminal::CursorMoved(TQuavTerminalBuffer* sender, int row, int col) {
    if (OnCursorMoved) OnCursorMoved(sender, row, col);
}

} // namespace brimwell
