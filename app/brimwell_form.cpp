// The main window: layout, menus, status bar, start-up, the unattended run and closing.
#include "app/brimwell_form.h"
#include "app/cli/check.h"

#include "app/com_select_form.h"
#include "app/dialogs.h"
#include "app/pci/pci_board_link.h"
#include "app/station_window.h"
#include "app/window_host.h"
#include "app/window_recording.h"
#include "lights/status_light.h"
#include "lights/status_light_controller.h"
#include "script/loader_port.h"
#include "script/progress_form.h"
#include "script/serial_link.h"
#include "serial/component/com_port.h"
#include "serial/component/pending_events.h"
#include "serial/finder/adapter_watch.h"
#include "serial/port_names.h"
#include "serial/shown_text.h"
#include "serial/uucp_lock.h"
#include "terminal/widget/terminal_widget.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace brimwell {

namespace {

constexpr const char* kDesignCaption = "Quellmark Inc. :- Brimwell";
constexpr const char* kCloseQuestion =
    "File upload in progress.\rAre you sure you want to cancel upload and exit the application?";
constexpr const char* kCloseCaption = "Loader GUI : Confirm Exit";
constexpr const char* kAutoNoPort =
    "Error!! COM port communication failed. Please check RS232 connection/INI settings. Exiting application";

// The designed faces are Windows fonts; where they are missing, take the closest a Linux desktop
// usually has (metric-compatible ones first) so that captions still fit their controls.
void installFontSubstitutes() {
    static bool done = false;
    if (done) return;
    done = true;
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Microsoft Sans Serif"),
                                QStringLiteral("Liberation Sans Narrow"), QStringLiteral("Arial"),
                                QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans Condensed")});
    QFont::insertSubstitutions(
        QStringLiteral("Comic Sans MS"),
        {QStringLiteral("Comic Neue"), QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Courier New"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
}

QFont pixelFont(const char* family, int pixels) {
    QFont f(QString::fromLatin1(family));
    f.setPixelSize(pixels);
    return f;
}

QLabel* label(QWidget* parent, const char* text, int x, int y) {
    auto* l = new QLabel(QString::fromLatin1(text), parent);
    l->move(x, y);
    l->adjustSize();
    return l;
}

} // namespace

TBrimwellForm::TBrimwellForm(QString settingsPath, QWidget* parent)
    : QMainWindow(parent), settingsPath_(std::move(settingsPath)) {
    setWindowTitle(QString::fromLatin1(kDesignCaption));
    installFontSubstitutes();
    setFont(pixelFont("MS Sans Serif", 11));
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    host_ = std::make_unique<WindowHost>(*this);
    engine_ = std::make_unique<script::ScriptEngine>(*host_);

    portHolder_ = std::make_unique<serial::ComPort>();
    QuavComPort1 = portHolder_.get();
    QuavComPort1->beginLoading();
    QuavComPort1->setComNumber(1);
    script::applyLoaderPortProfile(*QuavComPort1);
    QuavComPort1->setTraceName("QUAV.TRC");
    QuavComPort1->setLogName("QUAV.LOG");
    QuavComPort1->setOnTriggerAvail([this](serial::ComPort*, uint16_t count) { onDataAvailable(count); });
    QuavComPort1->setOnWaitChar([this](serial::ComPort*, char c) { engine_->onWaitChar(c); });
    QuavComPort1->setOnWaitPass([this](serial::ComPort*) { engine_->onWaitPass(); });
    QuavComPort1->setOnPortError([this](serial::ComPort*, int32_t) { QuavComPort1PortError(); });
    QuavComPort1->endLoading();
    serial::ComPort::setPromptForPortHook(
        [](serial::ComPort*) { return static_cast<uint32_t>(promptForPort()); });

    serialLink_ = std::make_unique<script::SerialLink>(*QuavComPort1);
    engine_->setSerialLink(serialLink_.get());

    buildControls();
    buildMenus();
    enumeratePciBoards();

    adapterWatch_ = new serial::AdapterWatch(this);
    for (const serial::SerialPortInfo& adapter : adapterWatch_->adapters())
        adapterAppeared(adapter);
    connect(adapterWatch_, &serial::AdapterWatch::appeared, this, &TBrimwellForm::adapterAppeared);
    connect(adapterWatch_, &serial::AdapterWatch::disappeared, this, &TBrimwellForm::adapterDisappeared);

    QuavSLController1 = new lights::StatusLightController(this, QuavComPort1);
    lights::LightSet shown;
    shown.ctsLight = QuavStatusLight1;
    shown.dcdLight = QuavStatusLight2;
    shown.rxdLight = QuavStatusLight3;
    shown.txdLight = QuavStatusLight4;
    QuavSLController1->setLights(shown);
    QuavSLController1->loaded();

    // A window of its own, not a child: the unattended run disables the main window, and the Stop
    // button must stay usable while it does.
    ProgressForm = new script::ProgressForm(nullptr);
    ProgressForm->setWindowFlags(ProgressForm->windowFlags() | Qt::Tool);
    ProgressForm->hide();
    connect(ProgressForm, &script::ProgressForm::cancelClicked, this, &TBrimwellForm::stopPressed);

    JustUploadTimer = new QTimer(this);
    JustUploadTimer->setInterval(1);
    JustUploadTimer->setSingleShot(true);
    connect(JustUploadTimer, &QTimer::timeout, this, &TBrimwellForm::JustUploadTimerTimer);

    fitToPane();
    if (QScreen* screen = QApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - rect().center());
    }
}

TBrimwellForm::~TBrimwellForm() {
    // The controller and the terminal hold the port; let them go before the port goes.
    delete QuavSLController1;
    QuavSLController1 = nullptr;
    delete ProgressForm;
    ProgressForm = nullptr;
    QuavTerminal1->setComPort(nullptr);
    engine_->setCaptureActive(false);
    try {
        QuavComPort1->setOpen(false);
    } catch (const std::exception&) {
        // Closing at the end of the process has nobody left to tell.
    }
}

void TBrimwellForm::buildControls() {
    Client = new QWidget(this);
    setCentralWidget(Client);

    UploadButton = new QPushButton(QStringLiteral("Upload"), Client);
    UploadButton->setGeometry(376, 48, 65, 17);
    UploadButton->hide();
    connect(UploadButton, &QPushButton::clicked, this, &TBrimwellForm::uploadDataFile);

    Label1 = new QLabel(QStringLiteral("BRIMWELL"), Client);
    Label1->setGeometry(184, 8, 122, 20);
    Label1->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label1->setFont(pixelFont("Comic Sans MS", 15));
    Label1->setStyleSheet(QStringLiteral("color: black"));

    VersionLabel = label(Client, "Version : ", 447, 10);
    CODE_NUMLabel = label(Client, "CODE_NUMLabel", 416, 24);
    CODE_NUMLabel->hide();

    PickButton = new QPushButton(QStringLiteral("Open script file to read and upload"), Client);
    PickButton->setStyleSheet(QStringLiteral("padding: 0px 2px;"));
    PickButton->setGeometry(40, 38, 176, 25);
    connect(PickButton, &QPushButton::clicked, this, &TBrimwellForm::runPickedScript);

    RS232GroupBox = new QGroupBox(QStringLiteral("RS-232"), Client);
    RS232GroupBox->setGeometry(37, 72, 444, 42);
    // Frame line through the middle of the caption, as the positions inside the group assume.
    RS232GroupBox->setStyleSheet(QStringLiteral(
        "QGroupBox#RS232GroupBox { border: 1px solid #a0a0a0; border-radius: 2px; margin-top: 6px; }"
        "QGroupBox#RS232GroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 2px; }"));
    RS232GroupBox->setObjectName(QStringLiteral("RS232GroupBox"));
    struct LightPlace {
        lights::StatusLight** light;
        int left;
        const char* caption;
    };
    const LightPlace places[] = {{&QuavStatusLight1, 236, "CTS"},
                                 {&QuavStatusLight2, 179, "DCD"},
                                 {&QuavStatusLight3, 128, "RXD"},
                                 {&QuavStatusLight4, 75, "TXD"}};
    for (const auto& p : places) {
        *p.light = new lights::StatusLight(RS232GroupBox);
        (*p.light)->setBounds(p.left, 19, 10, 10);
        QLabel* caption = label(RS232GroupBox, p.caption, p.left + 14, 17);
        caption->setObjectName(QString::fromLatin1(p.caption) + "Caption");
    }
    label(RS232GroupBox, "COM:", 314, 8);
    label(RS232GroupBox, "Baud:", 314, 25);
    ComNumberLabel = label(RS232GroupBox, "None", 352, 8);
    ComBaudLabel = label(RS232GroupBox, std::to_string(script::kLoaderBaud).c_str(), 353, 25);
    ComNumberLabel->setMinimumWidth(60);
    ComBaudLabel->setMinimumWidth(60);
    ComCheckBox = new QCheckBox(QStringLiteral("Use COM"), RS232GroupBox);
    ComCheckBox->move(8, 16);
    ComCheckBox->hide();
    // Only the program changes the box, and each change runs its handler.
    connect(ComCheckBox, &QCheckBox::toggled, this, [this] { ComCheckBoxClick(); });

    QuavTerminal1 = new terminal::TerminalWidget(Client);
    QuavTerminal1->setGeometry(16, 120, 497, 273);
    QuavTerminal1->setColor(terminal::kBlack);
    QuavTerminal1->setFontColor(terminal::kSilver);
    QFont termFont = pixelFont("Courier New", 12);
    termFont.setStyleHint(QFont::Monospace);
    QuavTerminal1->setFont(termFont);
    QuavTerminal1->setRows(kTeletypeRows);
    QuavTerminal1->setScrollback(false);
    QuavTerminal1->setUseLazyDisplay(false);
    QuavTerminal1->setBlinkTime(250);
    QuavTerminal1->setLazyByteDelay(4);
    QuavTerminal1->setLazyTimeDelay(50);
    QuavTerminal1->setWantAllKeys(false);
    QuavTerminal1->setCaptureFile("QUAVTERM.CAP");
    QuavTerminal1->setComPort(QuavComPort1);
    // A reconnection (after a lost line, or another port) never writes over what the pane shows.
    QuavTerminal1->setFreshLineOnOpen(true);
    // The whole VT100 screen stays in view when a program switches to 132 columns; after the
    // block that did it, not inside it.
    connect(QuavTerminal1, &terminal::TerminalWidget::screenSizeChanged, this, &TBrimwellForm::fitToPane,
            Qt::QueuedConnection);
    QuavTerminal1->onKeyPress = [this](char& key) {
        if (QuavTerminal1KeyPress(key)) key = 0;
    };
    QuavTerminal1->installEventFilter(this);
    // The terminal's own answers to the unit's queries would land inside an image as well.
    QuavTerminal1->setSendHold([this] {
        if (!unitLineHeld()) return false;
        keyDropped();
        return true;
    });

    InfoStatusBar = new QStatusBar(Client);
    InfoStatusBar->setSizeGripEnabled(false);
    // It lies over the pane when the window is collapsed: its own background, not the pane's black.
    InfoStatusBar->setAutoFillBackground(true);
    auto* statusLabel = new QLabel(QStringLiteral("Info"), InfoStatusBar);
    statusLabel->setObjectName(QStringLiteral("InfoStatusText"));
    InfoStatusBar->addWidget(statusLabel, 1);
}

void TBrimwellForm::buildMenus() {
    QMenuBar* bar = menuBar();
    ExitMenu = bar->addAction(QStringLiteral("Exit"));
    connect(ExitMenu, &QAction::triggered, this, &TBrimwellForm::ExitMenuClick);

    PC1 = bar->addMenu(QStringLiteral("PCI Board(s)"));
    PCIConnect = PC1->addAction(QStringLiteral("Connected"));
    PCIConnect->setCheckable(true);
    // The item's own toggle is undone: PCIConnectClick decides from the state before the click.
    connect(PCIConnect, &QAction::triggered, this, [this] {
        PCIConnect->setChecked(!PCIConnect->isChecked());
        PCIConnectClick();
    });

    ConfigMenu = bar->addMenu(QStringLiteral("RS232 Config"));
    COMPortMenu = ConfigMenu->addMenu(QStringLiteral("COM Port"));
    NoneMenu = COMPortMenu->addAction(QStringLiteral("None"));
    COM1Menu = COMPortMenu->addAction(QStringLiteral("COM1"));
    COM2Menu = COMPortMenu->addAction(QStringLiteral("COM2"));
    AdapterSeparator = COMPortMenu->addSeparator();
    SearchAllMenu = COMPortMenu->addAction(QStringLiteral("Search"));
    SearchAllMenu->setStatusTip(QStringLiteral("Look for prompt defined in INI file on COM 1 and COM 2"));
    SearchAllMenu->setToolTip(SearchAllMenu->statusTip());
    connect(NoneMenu, &QAction::triggered, this, &TBrimwellForm::NoneMenuClick);
    connect(COM1Menu, &QAction::triggered, this, &TBrimwellForm::COM1MenuClick);
    connect(COM2Menu, &QAction::triggered, this, &TBrimwellForm::COM2MenuClick);
    connect(SearchAllMenu, &QAction::triggered, this, &TBrimwellForm::SearchAllMenuClick);

    Baud1 = ConfigMenu->addMenu(QStringLiteral("Baud"));
    using Click = void (TBrimwellForm::*)();
    static const std::pair<int, Click> rates[] = {
        {1200, &TBrimwellForm::N12001Click},   {2400, &TBrimwellForm::N24001Click},
        {9600, &TBrimwellForm::N96001Click},   {19200, &TBrimwellForm::N192001Click},
        {38400, &TBrimwellForm::N384001Click}, {57600, &TBrimwellForm::N576001Click}};
    for (const auto& [rate, click] : rates) {
        QAction* a = Baud1->addAction(QString::number(rate));
        a->setObjectName(QStringLiteral("N%1").arg(rate * 10 + 1));
        connect(a, &QAction::triggered, this, click);
    }
    for (const int rate : kFastRates) {
        QAction* a = Baud1->addAction(QString::number(rate));
        a->setObjectName(QStringLiteral("Baud%1").arg(rate));
        connect(a, &QAction::triggered, this, [this, rate] { setBaudFromMenu(rate); });
    }

    Terminal1 = bar->addMenu(QStringLiteral("Terminal"));
    VisibleMenu = Terminal1->addAction(QStringLiteral("Visible"));
    VisibleMenu->setCheckable(true);
    VisibleMenu->setChecked(true);
    // A checkable action flips its check mark itself before it reports the click.
    connect(VisibleMenu, &QAction::triggered, this, &TBrimwellForm::VisibleMenuClick);

    // A null caption is the separator before "Default".
    static const struct {
        const char* caption;
        Click back, text;
    } colours[] = {{"Black", &TBrimwellForm::BackBlackMenuClick, &TBrimwellForm::TextBlackMenuClick},
                   {"Red", &TBrimwellForm::BackRedMenuClick, &TBrimwellForm::TextRedMenuClick},
                   {"Green", &TBrimwellForm::BackGreenMenuClick, &TBrimwellForm::TextGreenMenuClick},
                   {"Blue", &TBrimwellForm::BackBlueMenuClick, &TBrimwellForm::TextBlueMenuClick},
                   {"White", &TBrimwellForm::BackWhiteMenuClick, &TBrimwellForm::TextWhiteMenuClick},
                   {nullptr, nullptr, nullptr},
                   {"Default", &TBrimwellForm::BackDefaultMenuClick, &TBrimwellForm::TextDefaultMenuClick}};
    BackgroundColor1 = Terminal1->addMenu(QStringLiteral("Background Color"));
    ForegroundColor1 = Terminal1->addMenu(QStringLiteral("Text Color"));
    for (const auto& c : colours) {
        if (!c.caption) {
            BackgroundColor1->addSeparator();
            ForegroundColor1->addSeparator();
            continue;
        }
        connect(BackgroundColor1->addAction(QString::fromLatin1(c.caption)), &QAction::triggered, this,
                c.back);
        connect(ForegroundColor1->addAction(QString::fromLatin1(c.caption)), &QAction::triggered, this,
                c.text);
    }
    ForegroundColor1->menuAction()->setVisible(false);
    TerminalFonts1 = Terminal1->addAction(QStringLiteral("Terminal Fonts..."));
    connect(TerminalFonts1, &QAction::triggered, this, &TBrimwellForm::TerminalFonts1Click);
    // The pane can also serve as a VT100 for a unit's console; switching keeps what it shows.
    QMenu* emulation = Terminal1->addMenu(QStringLiteral("Emulation"));
    auto* emulations = new QActionGroup(emulation);
    for (const auto& [caption, kind] : {std::pair{"Teletype", terminal::Emulation::Teletype},
                                        std::pair{"VT100", terminal::Emulation::VT100}}) {
        QAction* a = emulation->addAction(QString::fromLatin1(caption));
        a->setObjectName(QStringLiteral("Emulation%1").arg(QString::fromLatin1(caption)));
        a->setCheckable(true);
        a->setChecked(kind == terminal::Emulation::Teletype);
        emulations->addAction(a);
        connect(a, &QAction::triggered, this, [this, k = kind] { chooseEmulation(k); });
    }

    // A production station of its own: a tile per adapter, each unit flashed by a process of its own.
    StationMenu = bar->addAction(QStringLiteral("Station"));
    connect(StationMenu, &QAction::triggered, this, &TBrimwellForm::StationMenuClick);
}

void TBrimwellForm::StationMenuClick() {
    if (!stationWindow_)
        stationWindow_ = new StationWindow(QCoreApplication::applicationFilePath(), settingsPath_, this);
    stationWindow_->show();
    stationWindow_->raise();
    stationWindow_->activateWindow();
}

void TBrimwellForm::fitToPane() {
    QRect pane = kPaneDesign;
    int width = kClientWidth;
    int height = VisibleMenu->isChecked() ? shownHeight_ : kCollapsedHeight;
    if (QuavTerminal1->emulation() == terminal::Emulation::VT100) {
        pane.setSize(QuavTerminal1->wholeScreenSize());
        width = std::max(kClientWidth, pane.right() + 1 + kPaneRightMargin);
        if (VisibleMenu->isChecked()) height = pane.bottom() + 1 + kPaneBottomMargin;
    }
    QuavTerminal1->setGeometry(pane);
    Client->setFixedSize(width, height);
    InfoStatusBar->setGeometry(0, height - kStatusBarHeight, width, kStatusBarHeight);
    InfoStatusBar->raise();
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(width, height + menuHeight);
}

void TBrimwellForm::useSerialLink(std::unique_ptr<script::UnitLink> link) {
    engine_->setSerialLink(link.get());
    serialLink_ = std::move(link);
}

QSize TBrimwellForm::clientSize() const {
    return Client->size();
}

QString TBrimwellForm::statusText() const {
    return InfoStatusBar->findChild<QLabel*>(QStringLiteral("InfoStatusText"))->text();
}

void TBrimwellForm::setStatusText(const QString& text) {
    InfoStatusBar->findChild<QLabel*>(QStringLiteral("InfoStatusText"))->setText(withLineBreaks(text));
}

void TBrimwellForm::showMessage(const QString& text, MsgKind kind) {
    dialogs().messageBox(this, text, QApplication::applicationDisplayName(), MsgButtons::Ok, kind);
}

void TBrimwellForm::disable_btns() {
    UploadButton->setEnabled(false);
    PickButton->setEnabled(false);
}

void TBrimwellForm::enable_btns() {
    UploadButton->setEnabled(true);
    PickButton->setEnabled(true);
}

void TBrimwellForm::refreshComLabels() {
    ComNumberLabel->setText(comLabel(QuavComPort1->comNumber()));
    ComBaudLabel->setText(QString::number(QuavComPort1->baud()));
}

void TBrimwellForm::setMonitoring(bool on) {
    try {
        QuavSLController1->setMonitoring(on);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
}

// ---- Settings ---------------------------------------------------------------------------------

void TBrimwellForm::applyPortSettings(const script::LoaderSettings& s) {
    // A rejected line setting is a wrong settings file, not a reason to stop starting up.
    auto guarded = [this](auto&& apply) {
        try {
            apply();
        } catch (const std::exception& e) {
            showMessage(QString::fromStdString(e.what()), MsgKind::Error);
        }
    };
    if (s.baud)
        guarded([&] {
            QuavComPort1->setBaud(*s.baud);
            ComBaudLabel->setText(QString::number(QuavComPort1->baud()));
        });
    if (s.dataBits) guarded([&] { QuavComPort1->setDataBits(static_cast<uint16_t>(*s.dataBits)); });
    if (s.parity) guarded([&] { QuavComPort1->setParity(static_cast<serial::Parity>(*s.parity)); });
    if (s.stopBits) guarded([&] { QuavComPort1->setStopBits(static_cast<uint16_t>(*s.stopBits)); });
}

void TBrimwellForm::read_defaults() {
    const script::LoaderSettings s = script::readSettingsFile(settingsPath_.toStdString());
    if (!s.fileFound) return;
    // A file that could not be read to its last setting line (past 1 MiB) is said so; what was
    // read before that point is used.
    if (!s.problem.empty())
        showMessage(QString::fromStdString("Error! Settings file " +
                                           serial::escapeFileName(settingsPath_.toStdString()) + ": " +
                                           s.problem + "; the settings read before that point are used."),
                    MsgKind::Error);
    if (s.defaultComPort > 0) defaultComPort = s.defaultComPort;
    // A device path in setting 1 borrows a port number, so the rest of the window works with it.
    if (!s.defaultComDevice.empty())
        defaultComPort = static_cast<int>(serial::comNumberForDevice(s.defaultComDevice));
    for (const std::string& m : s.messages)
        showMessage(QString::fromStdString(m), MsgKind::Error);
    applyPortSettings(s);
    autoScriptPath = QString::fromStdString(s.autoScriptPath);
    if (s.scriptFolder) {
        scriptFolder = QString::fromStdString(*s.scriptFolder);
        ScriptFolderSet = true;
    }
    if (s.automaticMode) automaticMode = true;
    engine_->applySettings(s);
    if (s.terminalVisible) {
        const bool shown = VisibleMenu->isChecked();
        if ((*s.terminalVisible == 0 && shown) || (*s.terminalVisible == 1 && !shown)) VisibleMenu->trigger();
    }
    if (s.terminalBackground && *s.terminalBackground >= 0 && *s.terminalBackground <= 5)
        setTerminalBackground(*s.terminalBackground);
    if (s.terminalTextColour && *s.terminalTextColour >= 0 && *s.terminalTextColour <= 5)
        setTerminalTextColour(*s.terminalTextColour);
}

// ---- Start-up ---------------------------------------------------------------------------------

void TBrimwellForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    // Runs from the message loop so that the window is on screen while the unit is searched.
    QMetaObject::invokeMethod(this, &TBrimwellForm::FormShow, Qt::QueuedConnection);
}

void TBrimwellForm::FormShow() {
    VersionLabel->setText(QString::fromLatin1(kVersionText));
    VersionLabel->adjustSize();
    read_defaults();

    if (engine_->linkMode() == script::kLinkSerial) {
        bool found = false;
        if (defaultComPort == 0)
            found = process_com() == 1;
        else
            found = check_com(defaultComPort) || process_com() == 1;
        if (!found && !automaticMode) {
            use_default_com();
            offerAdapters();
        } else
            ComCheckBox->setEnabled(false);
        setMonitoring(true);
    } else if (engine_->linkMode() == script::kLinkPci) {
        PCIConnectClick();
    }
    if (SplashForm) SplashForm->hide();

    if (automaticMode) {
        if (!QuavComPort1->isOpen()) {
            showMessage(QString::fromLatin1(kAutoNoPort), MsgKind::Error);
            automaticExitCode_ = 1;
            JustUploadTimer->start();
            startupFinished_ = true;
            return;
        }
        if (scriptRefused(autoScriptPath)) {
            setStatusText(QStringLiteral(" "));
            automaticExitCode_ = 1;
            JustUploadTimer->start();
            startupFinished_ = true;
            return;
        }
        setStatusText(QStringLiteral("Uploading file(s). Please wait...."));
        serial::processPendingEvents();
        setEnabled(false);
        engine_->setScriptPath(autoScriptPath.toStdString());
        host_->resetErrorMessages();
        {
            const PortInUse running(*this);
            engine_->runScript();
        }
        setEnabled(true);
        setStatusText(QStringLiteral(" "));
        serial::processPendingEvents();
        // A production line reads the exit code: only a run that went through to its end without an
        // error box is a success (a data file that cannot be opened, say, does not stop the script).
        const bool clean = engine_->outcome() == script::RunOutcome::Completed && host_->errorMessages() == 0;
        automaticExitCode_ = clean ? 0 : 1;
        JustUploadTimer->start();
    } else if (engine_->linkMode() == script::kLinkSerial) {
        QuavTerminal1->setFocus();
    }
    startupFinished_ = true;
}

void TBrimwellForm::JustUploadTimerTimer() {
    JustUploadTimer->stop();
    endProcess(automaticExitCode_ < 0 ? 0 : automaticExitCode_);
}

void TBrimwellForm::endProcess(int code) {
    hide();
    if (exitHandler_) {
        exitHandler_(code);
        return;
    }
    std::fflush(nullptr);
    // No destructor runs from here: the open port's lock file goes now.
    serial::removeHeldLockFiles();
    std::_Exit(code);
}

// ---- Closing ----------------------------------------------------------------------------------

void TBrimwellForm::ExitMenuClick() {
    close();
}

bool TBrimwellForm::FormCloseQuery() {
    if (engine_->uploadIdle()) {
        engine_->setCaptureActive(false);
        // The application ends with the window. A run or a port search in progress (between
        // uploads, or waiting for the unit) would otherwise go on out of sight, its waits keeping
        // the process alive, and flash the unit after the operator closed the program.
        if (portUsers_ > 0) endProcess(automaticMode ? 1 : 0);
        return true;
    }
    // The question does not wait: the upload's blocks keep going while it is open. A box that
    // held them up would let the unit give up on the load, and "No" would then send the rest of
    // the image to its command line.
    if (closeQuestionOpen_) return false;
    closeQuestionOpen_ = true;
    dialogs().askWithoutWaiting(this, QString::fromLatin1(kCloseQuestion), QString::fromLatin1(kCloseCaption),
                                [this](MsgAnswer answer) {
                                    closeQuestionOpen_ = false;
                                    if (answer != MsgAnswer::Yes) return;
                                    // The upload is abandoned where it stands; the process must not
                                    // return into it. An unattended run cut short did not flash
                                    // the unit, so it does not report success.
                                    endProcess(automaticMode ? 1 : 0);
                                });
    return false;
}

bool TBrimwellForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == QuavTerminal1 && event->type() == QEvent::KeyPress && unitLineHeld()) {
        keyDropped();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool TBrimwellForm::unitLineHeld() const {
    return engine_ && (engine_->unitLineHeld() || !engine_->uploadIdle());
}

void TBrimwellForm::keyDropped() {
    if (keysDropNoted_) return;
    keysDropNoted_ = true;
    setStatusText(
        QStringLiteral("Keys typed now are not sent: the unit takes every byte as part of the upload."));
}

void TBrimwellForm::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
}

// ---- Script runs ------------------------------------------------------------------------------

void TBrimwellForm::runPickedScript() {
    // The dialog opens in the working directory unless the settings name a script folder.
    const QString dir =
        ScriptFolderSet ? QDir::current().absoluteFilePath(scriptFolder) : QDir::currentPath();
    const QString path =
        dialogs().openFileName(this, QStringLiteral("Open"), dir, QString::fromLatin1(kScriptFilter));
    if (path.isEmpty() || scriptRefused(path)) return;
    const PortInUse running(*this);
    const WindowRecording recording(*host_, path.toStdString(), recordedPort(), recordedDevice());
    engine_->runPickedScript(path.toStdString());
}

std::string TBrimwellForm::recordedPort() const {
    const int com = QuavComPort1->comNumber();
    return com == 0 ? std::string() : "COM" + std::to_string(com);
}

std::string TBrimwellForm::recordedDevice() const {
    const int com = QuavComPort1->comNumber();
    return com == 0 ? std::string() : serial::comDevicePath(static_cast<uint32_t>(com));
}

void TBrimwellForm::stopPressed() {
    // As Ctrl+C on the command line: the first Stop ends the upload after the block in progress and
    // still waits for the unit's prompt (a unit left mid-load says so); the second gives that up.
    if (engine_->pressStop() == script::ScriptEngine::StopPress::GivingUp)
        setStatusText(QStringLiteral("Stopping now: no more waiting for the unit's prompt."));
    else
        setStatusText(QStringLiteral("Stopping: the upload ends after the block in progress, then the unit's "
                                     "prompt is awaited. Press Stop again to give up."));
}

bool TBrimwellForm::scriptRefused(const QString& path) {
    std::vector<cli::CheckFinding> findings;
    std::string error;
    // A script that cannot be read is the reader's to report, in its own words.
    if (!cli::checkScript(path.toStdString(), findings, error)) return false;
    const std::string refusals = cli::refusingFindings(serial::escapeFileName(path.toStdString()), findings);
    if (refusals.empty()) return false;
    showMessage(QString::fromStdString("Error! The script would not run as it reads:\r" + refusals +
                                       "Correct the script; brimwell check lists every finding."),
                MsgKind::Error);
    return true;
}

void TBrimwellForm::uploadDataFile() {
    const PortInUse running(*this);
    // Recorded as a run of the script that named the data file, sending that one file.
    WindowRecording recording(*host_, engine_->scriptPath(), recordedPort(), recordedDevice());
    engine_->uploadDataFile();
    recording.uploadEnded(engine_->lastUpload());
}

} // namespace brimwell
