// The main window: owns the serial port, the terminal pane, the status lights and the script engine,
// finds the unit at start-up, and offers the menus, the Pick button and the unattended run.
#pragma once

#include "app/dialogs.h"
#include "script/script_engine.h"
#include "script/settings_file.h"
#include "serial/finder/port_finder.h"
#include "terminal/widget/terminal_widget.h"

#include <QMainWindow>
#include <QRect>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QGroupBox;
class QLabel;
class QMenu;
class QPushButton;
class QStatusBar;
class QTimer;

namespace brimwell {
namespace serial {
class AdapterWatch;
class ComPort;
} // namespace serial
namespace terminal {
class TerminalWidget;
} // namespace terminal
namespace lights {
class StatusLight;
class StatusLightController;
} // namespace lights

namespace script {
class ProgressForm;
} // namespace script

namespace pci {
class PciBoardLink;
} // namespace pci

} // namespace brimwell

namespace brimwell::app {

class WindowHost;
class StationWindow;

class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    // Client area as designed; the "Visible" menu makes it 420 or 139 pixels high.
    static constexpr int kClientWidth = 527;
    static constexpr int kClientHeight = 416;
    static constexpr int kVisibleHeight = 420;
    static constexpr int kCollapsedHeight = 139;
    static constexpr int kStatusBarHeight = 19;
    // The terminal pane as designed; with VT100 emulation it grows to show the whole screen and
    // the window with it, keeping these margins.
    static constexpr QRect kPaneDesign{16, 120, 497, 273};
    static constexpr int kPaneRightMargin = kClientWidth - 16 - 497;
    static constexpr int kPaneBottomMargin = kClientHeight - 120 - 273;
    static constexpr int kTeletypeRows = 16;
    static constexpr int kTeletypeColumns = 80;
    static constexpr int kVT100Rows = 24;
    static constexpr const char* kVersionText = "Version : 1.08";
    static constexpr const char* kScriptFilter = "Script files (*.sld)|*.sld|All files (*.*)|*.*";

    // `settingsPath` is the settings file read when the window is first shown.
    explicit MainWindow(QString settingsPath = QString::fromLatin1(script::kSettingsFileName),
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    // ---- Operations of the window ---------------------------------------------------------------
    void disableButtons();
    void enableButtons();
    void readDefaults();
    void onShown();
    void onExitChosen();
    void onJustUploadTimer();
    void runPickedScript();
    void uploadDataFile();
    // The progress window's Stop button.
    void stopPressed();
    // The "Station" item: opens the Station window (made at the first click).
    void onStationChosen();
    StationWindow* stationWindow() const { return stationWindow_; }

    // Serial port selection and probing.
    bool checkCom(int n);
    int searchComPorts();
    void useDefaultCom();
    void onNoneChosen();
    void onCom1Chosen();
    void onCom2Chosen();
    void onSearchAllChosen();
    void onComCheckBoxClicked();
    // The COM Port menu's item of a USB adapter: probes it as COM1 and COM2 are probed.
    void adapterMenuClick(const serial::SerialPortInfo& adapter);
    // The USB adapters present (the menu follows them as they come and go).
    serial::AdapterWatch& adapterWatch() { return *adapterWatch_; }

    // PCI board link: the enumeration of the constructor and the "Connected" item.
    void onPciConnectChosen();
    // The "Baud" menu's items set the port's rate.
    // Rates past 57600 for USB adapters, after the designed six.
    static constexpr int kFastRates[] = {230400, 460800, 921600};
    void onBaudChosen(int baud);
    void onDataAvailable(uint16_t count);
    // The port's device was lost or refused a write for good: the port is closed, the lights go out,
    // the operator is told and chooses a port again. While a run or a probe uses the port, that
    // waits until it is done (the run reports the loss itself).
    void onPortError();

    // Terminal appearance and keyboard.
    void onVisibleChosen();
    // The colour items of "Background Color" and "Text Color"; settings 21 and 22 number the same
    // colours 0 Default, 1 Black, 2 Red, 3 Green, 4 Blue, 5 White.
    void setTerminalBackground(int settingNumber);
    void setTerminalTextColour(int settingNumber);
    void onTerminalFontsChosen();
    // The Emulation menu: the pane as a teletype (the design) or as a VT100 with its whole screen.
    void chooseEmulation(terminal::Emulation emulation);
    // Returns true when the key was taken here (the pane must not handle it).
    bool onTerminalKeyPress(char key);

    // ---- State ----------------------------------------------------------------------------------
    int defaultComPort = 0;
    bool automaticMode = false;
    QString autoScriptPath;
    int lastGoodCom = 0;
    QString scriptFolder = QStringLiteral(".."); // initial directory of INIOpenDialog (setting 7)
    bool scriptFolderSet = false;                // setting 7 was given

    script::ScriptEngine& engine() { return *engine_; }
    // Replaces the serial link the engine talks through (tests put a link that fails on purpose here).
    void useSerialLink(std::unique_ptr<script::UnitLink> link);
    script::UnitLink& serialLink() { return *serialLink_; }
    serial::ComPort& port() { return *serialPort; }
    WindowHost& host() { return *host_; }
    pci::PciBoardLink& pciLink() { return *pciLink_; }

    // How the process ends: after an unattended run and after a confirmed close during an upload.
    // The default hides the window and ends the process at once with the code.
    using ExitHandler = std::function<void(int code)>;
    void setExitHandler(ExitHandler handler) { exitHandler_ = std::move(handler); }
    // onShown has run to its end (the unit was searched for, an unattended run has finished).
    bool startupFinished() const { return startupFinished_; }
    // The exit code the unattended run ended with (-1 while none ended).
    int automaticExitCode() const { return automaticExitCode_; }

    // ---- Controls, by their designed names ----------------------------------------------------
    QWidget* client = nullptr; // the client area
    QPushButton* uploadButton = nullptr;
    QLabel* brandLabel = nullptr;
    QLabel* versionLabel = nullptr;
    QLabel* codeNumberLabel = nullptr;
    QPushButton* pickButton = nullptr;
    QGroupBox* rs232GroupBox = nullptr;
    lights::StatusLight* ctsLight = nullptr; // CTS
    lights::StatusLight* dcdLight = nullptr; // DCD
    lights::StatusLight* rxdLight = nullptr; // RXD
    lights::StatusLight* txdLight = nullptr; // TXD
    QLabel* comNumberLabel = nullptr;
    QLabel* comBaudLabel = nullptr;
    QCheckBox* comCheckBox = nullptr;
    QTimer* justUploadTimer = nullptr;
    terminal::TerminalWidget* terminalPane = nullptr;
    QStatusBar* infoStatusBar = nullptr;
    serial::ComPort* serialPort = nullptr;
    lights::StatusLightController* lightController = nullptr;
    script::ProgressForm* progressForm = nullptr;
    QWidget* splashForm = nullptr; // hidden at the end of the connection step when set

    // Menu items.
    QAction* exitMenu = nullptr;
    QMenu* pciMenu = nullptr;
    QAction* pciConnectAction = nullptr;
    QMenu* configMenu = nullptr;
    QMenu* comPortMenu = nullptr;
    QAction* noneMenu = nullptr;
    QAction* com1Menu = nullptr;
    QAction* com2Menu = nullptr;
    QAction* searchAllMenu = nullptr;
    QAction* adapterSeparator = nullptr; // the adapters' items come before it (N1)
    QMenu* baudMenu = nullptr;
    QMenu* terminalMenu = nullptr;
    QAction* visibleMenu = nullptr;
    QMenu* backgroundColorMenu = nullptr;
    QMenu* textColorMenu = nullptr;
    QAction* terminalFontsAction = nullptr;
    QAction* stationMenu = nullptr;

    // Status bar text (the one simple panel).
    QString statusText() const;
    void setStatusText(const QString& text);
    // Client area size as shown.
    QSize clientSize() const;

    // A message box through the dialog seam, owned by this window.
    void showMessage(const QString& text, MsgKind kind = MsgKind::Information);

  signals:
    // The status bar shows `text` (as statusText() returns it): every change, however soon the
    // next one follows.
    void statusTextChanged(const QString& text);

  protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    // Keys typed into the terminal pane while an upload runs are dropped: they would reach the
    // unit in the middle of the image's bytes.
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // The port and device a run's record names ("" when none is chosen).
    std::string recordedPort() const;
    std::string recordedDevice() const;
    // A script that would not do what it reads as (a command code a slip away from a real one,
    // line ends of a carriage return alone) is refused before a run, with what the check found.
    bool scriptRefused(const QString& path);

    // Held while the engine or a probe works the port; the outermost one hands a lost port on.
    // Meanwhile the items that would close or switch the port or the link, and the buttons that
    // start a run, are disabled: a run must not go on over another port, nor a second run start
    // inside a run or a port search.
    class PortInUse {
      public:
        explicit PortInUse(MainWindow& form);
        ~PortInUse();
        PortInUse(const PortInUse&) = delete;
        PortInUse& operator=(const PortInUse&) = delete;

      private:
        MainWindow& form_;
    };
    void dropLostPort();
    void lockPortChoice(bool lock);
    // From a load command until its upload's prompt check ended, typed keys and the terminal's
    // answers are dropped: the unit would take them as image bytes. The status bar says so once.
    bool unitLineHeld() const;
    void keyDropped();

    void buildControls();
    void buildMenus();
    // Places the pane (as designed, or showing the whole VT100 screen) and sizes the window
    // around it and the "Visible" state.
    void fitToPane();
    void refreshComLabels();
    void setMonitoring(bool on);
    void applyPortSettings(const script::LoaderSettings& s);
    // onCom1Chosen and onCom2Chosen: probe port n on the operator's request.
    void comMenuClick(int n);
    // "COM n", or the device of a number lent to an adapter; and what comNumberLabel shows for it.
    QString portName(int n) const;
    QString comLabel(int n) const;
    uint16_t adapterNumber(const serial::SerialPortInfo& adapter);
    void adapterAppeared(const serial::SerialPortInfo& adapter);
    void adapterDisappeared(const serial::SerialPortInfo& adapter);
    // After a search that found nothing: several adapters are the operator's to choose.
    void offerAdapters();
    void enumeratePciBoards();
    void endProcess(int code);
    bool closeQuery();

    QString settingsPath_;
    std::unique_ptr<WindowHost> host_;
    std::unique_ptr<script::ScriptEngine> engine_;
    std::unique_ptr<serial::ComPort> portHolder_;
    std::unique_ptr<script::UnitLink> serialLink_;
    std::unique_ptr<pci::PciBoardLink> pciLink_;
    ExitHandler exitHandler_;
    bool shown_ = false;
    bool startupFinished_ = false;
    int automaticExitCode_ = -1;
    int portUsers_ = 0;
    int shownHeight_ = kClientHeight; // the teletype window's height while the pane is visible
    bool closeQuestionOpen_ = false;
    bool portLost_ = false;
    bool keysDropNoted_ = false;          // the status bar said that keys are dropped (once per upload)
    std::vector<bool> portChoiceEnabled_; // the locked items' states before the lock
    serial::AdapterWatch* adapterWatch_ = nullptr;
    StationWindow* stationWindow_ = nullptr;
    std::vector<std::pair<QAction*, serial::SerialPortInfo>> adapterItems_; // in the order of the menu
    std::map<int, serial::SerialPortInfo> adapterNumbers_;                  // port numbers lent to adapters
    std::string lostAdapter_; // the adapter whose port was lost (its by-id link or usb: name)
    size_t adaptersLeft_ = 0; // adapters the last search found nothing on and did not probe
};

} // namespace brimwell::app
