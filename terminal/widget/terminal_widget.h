// TerminalWidget: the terminal pane. It takes a copy of every byte the serial port receives, runs it
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

namespace brimwell::serial {
class ComPort;
}

namespace brimwell::terminal {

class TtyEmulator;
struct TerminalIntake;

enum class CursorType { None, Underline, Block };
// The emulations a window offers: the internal teletype or the terminal's own VT100 emulator.
enum class Emulation { Teletype, VT100 };
enum class BorderStyle { None, Single };

using TerminalCursorMovedEvent = std::function<void(TerminalBuffer* aSender, int aRow, int aCol)>;
// The key handlers may change the key or character; setting it to 0 swallows it.
using KeyPressEvent = std::function<void(char& Key)>;
using KeyDownEvent = std::function<void(int& Key, ShiftState Shift)>;

class TerminalWidget : public QAbstractScrollArea, public TerminalHost, public serial::Component {
    Q_OBJECT

  public:
    static constexpr int kTimerMs = 100;
    static constexpr int kMinBlinkTime = 250;
    static constexpr int kLazyByteDelayMax = 1024;
    static constexpr int kLazyTimeDelayMax = 1000;
    static constexpr int kDefaultWidth = 300;
    static constexpr int kDefaultHeight = 200;

    explicit TerminalWidget(QWidget* parent = nullptr);
    ~TerminalWidget() override;

    // ---- Properties --------------------------------------------------------------------------
    bool active() const { return active_; }
    void setActive(bool on);
    bool autoCopy() const { return autoCopy_; }
    void setAutoCopy(bool on) { autoCopy_ = on; }
    bool autoScrollback() const { return autoScrollback_; }
    void setAutoScrollback(bool on);
    int blinkTime() const { return blinkTime_; }
    void setBlinkTime(int ms);
    BorderStyle borderStyle() const { return borderStyle_; }
    void setBorderStyle(BorderStyle style);
    CaptureMode capture() const { return capture_.mode(); }
    void setCapture(CaptureMode mode) { capture_.setMode(mode); }
    std::string captureFile() const { return capture_.fileName(); }
    void setCaptureFile(const std::string& name) { capture_.setFileName(name); }
    int columns() const;
    void setColumns(int n);
    serial::ComPort* comPort() const { return comPort_; }
    void setComPort(serial::ComPort* port);
    CursorType cursorType() const { return cursorType_; }
    void setCursorType(CursorType type);
    bool followCursor() const override { return followCursor_; }
    void setFollowCursor(bool on);
    bool halfDuplex() const override { return halfDuplex_; }
    void setHalfDuplex(bool on) { halfDuplex_ = on; }
    bool hideScrollbars() const override { return view_.hideScrollbars; }
    void setHideScrollbars(bool on);
    int lazyByteDelay() const { return lazyByteDelay_; }
    void setLazyByteDelay(int bytes);
    int lazyTimeDelay() const { return lazyTimeDelay_; }
    void setLazyTimeDelay(int ms);
    bool mouseSelect() const { return mouseSelect_; }
    void setMouseSelect(bool on);
    bool pasteToPort() const { return pasteToPort_; }
    void setPasteToPort(bool on) { pasteToPort_ = on; }
    bool pasteToScreen() const { return pasteToScreen_; }
    void setPasteToScreen(bool on) { pasteToScreen_ = on; }
    int rows() const;
    void setRows(int n);
    int scrollbackRows() const;
    void setScrollbackRows(int n);
    bool scrollback() const { return view_.scrollback; }
    void setScrollback(bool on);
    bool useLazyDisplay() const override { return useLazyDisplay_; }
    void setUseLazyDisplay(bool on) { useLazyDisplay_ = on; }
    bool wantAllKeys() const { return wantAllKeys_; }
    void setWantAllKeys(bool on) { wantAllKeys_ = on; }
    bool freezeScrollBack() const override { return freezeScrollBack_; }
    void setFreezeScrollBack(bool on);
    // Each opening of the port writes on from a fresh line below what the pane shows, rather than
    // from row 1 over it (the default, as the component was designed).
    bool freshLineOnOpen() const { return freshLineOnOpen_; }
    void setFreshLineOnOpen(bool on) { freshLineOnOpen_ = on; }
    TerminalCursorMovedEvent onCursorMoved;
    KeyPressEvent onKeyPress;
    KeyDownEvent onKeyDown;
    // While `held` answers true, nothing the pane would send reaches the port: typed keys, pastes
    // and the emulator's answers to the peer's queries are dropped (an upload owns the line).
    void setSendHold(std::function<bool()> held) { sendHold_ = std::move(held); }
    // The assigned emulator (none: the internal teletype emulator is used).
    TerminalEmulator* emulator() const { return assignedEmulator_; }
    void setEmulator(TerminalEmulator* emulator) override;
    // Switches between the teletype and a VT100 emulator the terminal keeps, at once and keeping
    // the contents shown.
    Emulation emulation() const;
    void setEmulation(Emulation emulation);
    // The emulator in use: the assigned one or the internal one.
    TerminalEmulator* activeEmulator() const { return emulator_; }
    TerminalBuffer* buffer() const { return emulator_ ? emulator_->buffer() : nullptr; }

    // Background colour and the font's colour (0x00BBGGRR); the font itself is QWidget::font().
    Color color() const override { return color_; }
    void setColor(Color c) override;
    Color fontColor() const override { return fontColor_; }
    void setFontColor(Color c) override;

    // ---- View state --------------------------------------------------------------------------
    int charWidth() const override { return metrics_.charWidth; }
    int charHeight() const override { return metrics_.charHeight; }
    int originCol() const override { return view_.originCol; }
    int originRow() const override { return view_.originRow; }
    void setOriginCol(int col);
    void setOriginRow(int row);
    int visibleCols() const override { return view_.visibleCols; }
    int visibleRows() const override { return view_.visibleRows; }
    int fullCols() const override { return view_.fullCols; }
    int fullRows() const override { return view_.fullRows; }
    bool horzTooSmall() const { return view_.horzTooSmall; }
    bool vertTooSmall() const { return view_.vertTooSmall; }
    bool attached() const { return attached_; }
    bool attachPending() const { return attachPending_; }
    bool selecting() const { return selecting_; }
    bool selectionMade() const { return selectionMade_; }
    // Selection in buffer cells (absolute rows), reading order; all 0 when there is none.
    int selStartCol() const { return sel_.startCol; }
    int selStartRow() const { return sel_.startRow; }
    int selEndCol() const { return sel_.endCol; }
    int selEndRow() const { return sel_.endRow; }
    // The pane's size that shows every column and row of the screen with its frame, at this font.
    QSize wholeScreenSize() const;
    // The caret's rectangle in viewport pixels while it is shown, else an empty rectangle.
    QRect caretRect() const { return caretShown_ ? caretRect_ : QRect(); }

    // ---- Operations --------------------------------------------------------------------------
    void clear();
    void clearAll();
    // Queued like received bytes: through the emulator and into the capture file.
    void writeChar(char ch);
    void writeString(std::string_view s);
    void copyToClipboard();
    void pasteFromClipboard();
    void hideSelection();
    // The selection as copied: rows joined with CR LF, trailing spaces kept.
    std::string selectionText() const;

    // Cell accessors (row absolute, column 1-based). Setters write the cell without invalidating.
    std::string line(int row) const;
    void setLine(int row, std::string_view text);
    CharAttrs attributes(int row, int col) const;
    void setAttributes(int row, int col, CharAttrs a);
    uint8_t charSet(int row, int col) const;
    void setCharSet(int row, int col, uint8_t cs);
    Color foreColor(int row, int col) const;
    void setForeColor(int row, int col, Color c);
    Color backColor(int row, int col) const;
    void setBackColor(int row, int col, Color c);

    // The port's component notifications, for owners that destroy a port before the terminal.
    void portRemoved();

    // ---- What the emulator uses (TerminalHost) -------------------------------------------
    bool cursorBeyondRows() const override { return view_.cursorBeyondRows; }
    bool cursorBeyondCols() const override { return view_.cursorBeyondCols; }
    void setCursorBeyond(bool rows, bool cols) override;
    bool hasPort() const override { return comPort_ != nullptr; }
    bool portOpen() const override;
    bool isPrimaryTerminal() const override;
    void putChar(char ch) override;
    void putString(std::string_view s) override;
    int portBaud() const override;
    char portParity() const override;
    int portDataBits() const override;
    void setTerminalColumns(int n) override { setColumns(n); }
    TerminalCanvas* canvas() override { return canvas_; }
    void doFollowCursor(int row, int col) override;
    void updateScrollBars() override;
    void repaintAll() override;
    void beep() override;
    void cursorMoved(TerminalBuffer* sender, int row, int col) override;
    void termNeedsUpdate() override;

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
    void postTermStuff(CharSource source);
    void postForceSize();
    void postWaitForPort();
    void handleTermStuff(CharSource source);
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
    BorderStyle borderStyle_ = BorderStyle::Single;
    std::shared_ptr<TerminalIntake> intake_;
    CaptureFile capture_;
    TerminalFontMetrics metrics_;
    serial::ComPort* comPort_ = nullptr;
    bool caretCreated_ = false;
    CursorType cursorType_ = CursorType::Block;
    std::unique_ptr<TtyEmulator> internalEmulator_;
    std::unique_ptr<TerminalEmulator> vt100Emulator_; // made when first chosen
    TerminalEmulator* emulator_ = nullptr;
    TerminalEmulator* assignedEmulator_ = nullptr;
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
    Viewport view_;
    Selection sel_;
    // Invalidates a selection row's band of the view when it is visible.
    void selectionRowChanged(int row);
    bool pasteToPort_ = false;
    bool pasteToScreen_ = false;
    Color color_ = kBlack;
    Color fontColor_ = kSilver;

    // View machinery: the screen is kept in an image that is always drawn through the emulator;
    // paint events only copy it out. stale_ marks image parts that still need drawing.
    QImage surface_;
    QRegion stale_;
    PainterCanvas* canvas_ = nullptr;
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

} // namespace brimwell::terminal
