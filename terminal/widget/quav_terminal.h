// TQuavTerminal: the terminal pane. It takes a copy of every byte the serial port receives, runs it
// through its emulator into the screen buffer, paints the buffer, and sends typed keys to the port.
// Around that: capture file, scroll bars and view origin, caret, mouse selection and clipboard.
#pragma once

#include "serial/component/base_component.h"
#include "terminal/selection.h"
#include "terminal/terminal_emulator.h"
#include "terminal/terminal_host.h"
#include "terminal/viewport.h"
#include "terminal/widget/capture_file.h"
#include "terminal/widget/painter_canvas.h"

#include <QAbstractScrollArea>
#include <QBasicTimer>
#include <QImage>
#include <QRegion>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace brimwell {

namespace serial {
class ComPort;
}
class TQuavTTYEmulator;
struct TerminalIntake;

enum TQuavCursorType { ctNone, ctUnderline, ctBlock };
// The emulations a window offers: the internal teletype or the terminal's own VT100 emulator.
enum TQuavEmulation { emTeletype, emVT100 };
enum TQuavBorderStyle { bsNone, bsSingle };

using TQuavTerminalCursorMovedEvent = std::function<void(TQuavTerminalBuffer* aSender, int aRow, int aCol)>;
// The key handlers may change the key or character; setting it to 0 swallows it.
using TQuavKeyPressEvent = std::function<void(char& Key)>;
using TQuavKeyDownEvent = std::function<void(int& Key, TQuavShiftState Shift)>;

class TQuavCustomTerminal : public QAbstractScrollArea, public TQuavTerminalHost, public serial::Component {
    Q_OBJECT

  public:
    static constexpr int kTimerMs = 100;
    static constexpr int kMinBlinkTime = 250;
    static constexpr int kLazyByteDelayMax = 1024;
    static constexpr int kLazyTimeDelayMax = 1000;
    static constexpr int kDefaultWidth = 300;
    static constexpr int kDefaultHeight = 200;

    explicit TQuavCustomTerminal(QWidget* parent = nullptr);
    ~TQuavCustomTerminal() override;

    // ---- Properties --------------------------------------------------------------------------
    bool active() const { return active_; }
    void SetActive(bool on);
    bool AutoCopy() const { return autoCopy_; }
    void SetAutoCopy(bool on) { autoCopy_ = on; }
    bool AutoScrollback() const { return autoScrollback_; }
    void SetAutoScrollback(bool on);
    int BlinkTime() const { return blinkTime_; }
    void SetBlinkTime(int ms);
    TQuavBorderStyle BorderStyle() const { return borderStyle_; }
    void SetBorderStyle(TQuavBorderStyle style);
    TQuavCaptureMode Capture() const { return capture_.Mode(); }
    void SetCapture(TQuavCaptureMode mode) { capture_.SetMode(mode); }
    std::string CaptureFile() const { return capture_.FileName(); }
    void SetCaptureFile(const std::string& name) { capture_.SetFileName(name); }
    int Columns() const;
    void SetColumns(int n);
    serial::ComPort* comPort() const { return comPort_; }
    void SetComPort(serial::ComPort* port);
    TQuavCursorType CursorType() const { return cursorType_; }
    void SetCursorType(TQuavCursorType type);
    bool FollowCursor() const override { return followCursor_; }
    void SetFollowCursor(bool on);
    bool HalfDuplex() const override { return halfDuplex_; }
    void SetHalfDuplex(bool on) { halfDuplex_ = on; }
    bool HideScrollbars() const override { return view_.HideScrollbars; }
    void SetHideScrollbars(bool on);
    int LazyByteDelay() const { return lazyByteDelay_; }
    void SetLazyByteDelay(int bytes);
    int LazyTimeDelay() const { return lazyTimeDelay_; }
    void SetLazyTimeDelay(int ms);
    bool MouseSelect() const { return mouseSelect_; }
    void SetMouseSelect(bool on);
    bool PasteToPort() const { return pasteToPort_; }
    void SetPasteToPort(bool on) { pasteToPort_ = on; }
    bool PasteToScreen() const { return pasteToScreen_; }
    void SetPasteToScreen(bool on) { pasteToScreen_ = on; }
    int Rows() const;
    void SetRows(int n);
    int ScrollbackRows() const;
    void SetScrollbackRows(int n);
    bool Scrollback() const { return view_.Scrollback; }
    void SetScrollback(bool on);
    bool UseLazyDisplay() const override { return useLazyDisplay_; }
    void SetUseLazyDisplay(bool on) { useLazyDisplay_ = on; }
    bool WantAllKeys() const { return wantAllKeys_; }
    void SetWantAllKeys(bool on) { wantAllKeys_ = on; }
    bool FreezeScrollBack() const override { return freezeScrollBack_; }
    void SetFreezeScrollBack(bool on);
    // Each opening of the port writes on from a fresh line below what the pane shows, rather than
    // from row 1 over it (the default, as the component was designed).
    bool freshLineOnOpen() const { return freshLineOnOpen_; }
    void setFreshLineOnOpen(bool on) { freshLineOnOpen_ = on; }
    TQuavTerminalCursorMovedEvent OnCursorMoved;
    TQuavKeyPressEvent OnKeyPress;
    TQuavKeyDownEvent OnKeyDown;
    // While `held` answers true, nothing the pane would send reaches the port: typed keys, pastes
    // and the emulator's answers to the peer's queries are dropped (an upload owns the line).
    void setSendHold(std::function<bool()> held) { sendHold_ = std::move(held); }
    // The assigned emulator (none: the internal teletype emulator is used).
    TQuavTerminalEmulator* Emulator() const { return assignedEmulator_; }
    void SetEmulator(TQuavTerminalEmulator* emulator) override;
    // Switches between the teletype and a VT100 emulator the terminal keeps, at once and keeping
    // the contents shown.
    TQuavEmulation Emulation() const;
    void SetEmulation(TQuavEmulation emulation);
    // The emulator in use: the assigned one or the internal one.
    TQuavTerminalEmulator* ActiveEmulator() const { return emulator_; }
    TQuavTerminalBuffer* Buffer() const { return emulator_ ? emulator_->Buffer() : nullptr; }

    // Background colour and the font's colour (0x00BBGGRR); the font itself is QWidget::font().
    TColor Color() const override { return color_; }
    void SetColor(TColor c) override;
    TColor FontColor() const override { return fontColor_; }
    void SetFontColor(TColor c) override;

    // ---- View state --------------------------------------------------------------------------
    int CharWidth() const override { return metrics_.charWidth; }
    int CharHeight() const override { return metrics_.charHeight; }
    int OriginCol() const override { return view_.OriginCol; }
    int OriginRow() const override { return view_.OriginRow; }
    void SetOriginCol(int col);
    void SetOriginRow(int row);
    int VisibleCols() const override { return view_.VisibleCols; }
    int VisibleRows() const override { return view_.VisibleRows; }
    int FullCols() const override { return view_.FullCols; }
    int FullRows() const override { return view_.FullRows; }
    bool HorzTooSmall() const { return view_.HorzTooSmall; }
    bool VertTooSmall() const { return view_.VertTooSmall; }
    bool Attached() const { return attached_; }
    bool AttachPending() const { return attachPending_; }
    bool Selecting() const { return selecting_; }
    bool SelectionMade() const { return selectionMade_; }
    // Selection in buffer cells (absolute rows), reading order; all 0 when there is none.
    int SelStartCol() const { return sel_.StartCol; }
    int SelStartRow() const { return sel_.StartRow; }
    int SelEndCol() const { return sel_.EndCol; }
    int SelEndRow() const { return sel_.EndRow; }
    // The pane's size that shows every column and row of the screen with its frame, at this font.
    QSize wholeScreenSize() const;
    // The caret's rectangle in viewport pixels while it is shown, else an empty rectangle.
    QRect CaretRect() const { return caretShown_ ? caretRect_ : QRect(); }

    // ---- Operations --------------------------------------------------------------------------
    void clear();
    void ClearAll();
    // Queued like received bytes: through the emulator and into the capture file.
    void WriteChar(char ch);
    void WriteString(std::string_view s);
    void CopyToClipboard();
    void PasteFromClipboard();
    void HideSelection();
    bool HasFocus() const { return hasFocus(); }
    // The selection as copied: rows joined with CR LF, trailing spaces kept.
    std::string SelectionText() const;

    // Cell accessors (row absolute, column 1-based). Setters write the cell without invalidating.
    std::string Line(int row) const;
    void setLine(int row, std::string_view text);
    TQuavTerminalCharAttrs Attributes(int row, int col) const;
    void SetAttributes(int row, int col, TQuavTerminalCharAttrs a);
    uint8_t CharSet(int row, int col) const;
    void SetCharSet(int row, int col, uint8_t cs);
    TColor ForeColor(int row, int col) const;
    void SetForeColor(int row, int col, TColor c);
    TColor BackColor(int row, int col) const;
    void SetBackColor(int row, int col, TColor c);

    // The port's component notifications, for owners that destroy a port before the terminal.
    void PortRemoved();

    // ---- What the emulator uses (TQuavTerminalHost) -------------------------------------------
    bool CursorBeyondRows() const override { return view_.CursorBeyondRows; }
    bool CursorBeyondCols() const override { return view_.CursorBeyondCols; }
    void SetCursorBeyond(bool rows, bool cols) override;
    bool HasPort() const override { return comPort_ != nullptr; }
    bool PortOpen() const override;
    bool IsPrimaryTerminal() const override;
    void putChar(char ch) override;
    void putString(std::string_view s) override;
    int PortBaud() const override;
    char PortParity() const override;
    int PortDataBits() const override;
    void SetTerminalColumns(int n) override { SetColumns(n); }
    TQuavTerminalCanvas* Canvas() override { return canvas_; }
    void DoFollowCursor(int row, int col) override;
    void UpdateScrollBars() override;
    void RepaintAll() override;
    void Beep() override;
    void CursorMoved(TQuavTerminalBuffer* sender, int row, int col) override;
    void QmTermNeedsUpdate() override;

  signals:
    // Columns, rows or the cell size changed: wholeScreenSize() is another now.
    void screenSizeChanged();

  protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void wheelEvent(QWheelEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void changeEvent(QEvent* e) override;
    void scrollContentsBy(int dx, int dy) override;
    bool focusNextPrevChild(bool next) override;
    void loaded() override;

  private:
    bool sendHeld() const { return sendHold_ && sendHold_(); }
    std::function<bool()> sendHold_;
    // Messages to the terminal's own queue.
    void postTermStuff(TQuavCharSource source);
    void postForceSize();
    void postWaitForPort();
    void handleTermStuff(TQuavCharSource source);
    void handleWaitForPort();
    void handleForceSize();
    // Port attachment.
    void attach();
    void detach();
    void registerWithPort();
    void deregisterFromPort();
    void portNotification(int type); // CallbackType
    // Geometry and painting.
    void measureFont();
    void computeExtent();
    void setOrigin(int col, int row);
    void ensureSurface();
    void scrollSurface(int dx, int dy);
    void invalidateView(const QRect& r);
    void paintStale();
    void immediateRepaint();
    void blinkRepaint();
    // Caret.
    void createCaret();
    void destroyCaret();
    void hideCaret();
    void showCaret();
    // Keyboard and mouse.
    bool rawKeyDown(QKeyEvent* e);
    void characterEvent(const QString& text);
    void selectionMouseMove(const QPoint& pos);
    void cellAt(const QPoint& pos, int& col, int& row) const;
    void verticalAction(int action);
    void horizontalAction(int action);

    // Properties.
    bool active_ = true;
    int blinkTime_ = 500;
    int blinkAccum_ = 0;
    bool blinkPhase_ = false;
    TQuavBorderStyle borderStyle_ = bsSingle;
    std::shared_ptr<TerminalIntake> intake_;
    TQuavCaptureFile capture_;
    TerminalFontMetrics metrics_;
    serial::ComPort* comPort_ = nullptr;
    bool caretCreated_ = false;
    TQuavCursorType cursorType_ = ctBlock;
    std::unique_ptr<TQuavTTYEmulator> internalEmulator_;
    std::unique_ptr<TQuavTerminalEmulator> vt100Emulator_; // made when first chosen
    TQuavTerminalEmulator* emulator_ = nullptr;
    TQuavTerminalEmulator* assignedEmulator_ = nullptr;
    bool halfDuplex_ = false;
    bool selectionMade_ = false;
    QBasicTimer timer_;
    int lazyBytes_ = 0;
    int lazyTime_ = 0;
    int lazyByteDelay_ = 200;
    int lazyTimeDelay_ = 100;
    bool selecting_ = false;
    bool freezeScrollBack_ = true;
    bool caretShown_ = false;
    bool attached_ = false;
    QRect charArea_, rightGap_, bottomGap_;
    bool useLazyDisplay_ = true;
    bool wantAllKeys_ = true;
    bool attachPending_ = false;
    bool waitingForPort_ = false;
    bool mouseSelect_ = true;
    bool autoCopy_ = true;
    bool autoScrollback_ = true;
    bool followCursor_ = true;
    bool freshLineOnOpen_ = false;
    TQuavViewport view_;
    TQuavSelection sel_;
    // Invalidates a selection row's band of the view when it is visible.
    void selectionRowChanged(int row);
    bool pasteToPort_ = false;
    bool pasteToScreen_ = false;
    TColor color_ = clBlack;
    TColor fontColor_ = clSilver;

    // View machinery: the screen is kept in an image that is always drawn through the emulator;
    // paint events only copy it out. stale_ marks image parts that still need drawing.
    QImage surface_;
    QRegion stale_;
    TQuavPainterCanvas* canvas_ = nullptr;
    QRect caretRect_;
    bool caretBlinkOn_ = true;
    int caretBlinkAccum_ = 0;
    bool needsUpdatePosted_ = false;
    bool forceSizePosted_ = false;
    bool settingEmulator_ = false;
    bool rawKeyToEmulator_ = false;
    bool constructed_ = false;
    std::vector<char> scratch_; // bytes of one QmTermStuff, reused
};

class TQuavTerminal : public TQuavCustomTerminal {
    Q_OBJECT

  public:
    using TQuavCustomTerminal::TQuavCustomTerminal;
};

} // namespace brimwell
