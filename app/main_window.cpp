// The main window: layout, menus, status bar, start-up, the unattended run and closing.
#include "app/main_window.h"
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

namespace brimwell::app {

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

MainWindow::MainWindow(QString settingsPath, QWidget* parent)
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
    serialPort = portHolder_.get();
    serialPort->beginLoading();
    serialPort->setComNumber(1);
    script::applyLoaderPortProfile(*serialPort);
    serialPort->setTraceName("QUAV.TRC");
    serialPort->setLogName("QUAV.LOG");
    serialPort->setOnTriggerAvail([this](serial::ComPort*, uint16_t count) { onDataAvailable(count); });
    serialPort->setOnWaitChar([this](serial::ComPort*, char c) { engine_->onWaitChar(c); });
    serialPort->setOnWaitPass([this](serial::ComPort*) { engine_->onWaitPass(); });
    serialPort->setOnPortError([this](serial::ComPort*, int32_t) { onPortError(); });
    serialPort->endLoading();
    serial::ComPort::setPromptForPortHook(
        [](serial::ComPort*) { return static_cast<uint32_t>(promptForPort()); });

    serialLink_ = std::make_unique<script::SerialLink>(*serialPort);
    engine_->setSerialLink(serialLink_.get());

    buildControls();
    buildMenus();
    enumeratePciBoards();

    adapterWatch_ = new serial::AdapterWatch(this);
    for (const serial::SerialPortInfo& adapter : adapterWatch_->adapters())
        adapterAppeared(adapter);
    connect(adapterWatch_, &serial::AdapterWatch::appeared, this, &MainWindow::adapterAppeared);
    connect(adapterWatch_, &serial::AdapterWatch::disappeared, this, &MainWindow::adapterDisappeared);

    lightController = new lights::StatusLightController(this, serialPort);
    lights::LightSet shown;
    shown.ctsLight = ctsLight;
    shown.dcdLight = dcdLight;
    shown.rxdLight = rxdLight;
    shown.txdLight = txdLight;
    lightController->setLights(shown);
    lightController->loaded();

    // A window of its own, not a child: the unattended run disables the main window, and the Stop
    // button must stay usable while it does.
    progressForm = new script::ProgressForm(nullptr);
    progressForm->setWindowFlags(progressForm->windowFlags() | Qt::Tool);
    progressForm->hide();
    connect(progressForm, &script::ProgressForm::cancelClicked, this, &MainWindow::stopPressed);

    justUploadTimer = new QTimer(this);
    justUploadTimer->setInterval(1);
    justUploadTimer->setSingleShot(true);
    connect(justUploadTimer, &QTimer::timeout, this, &MainWindow::onJustUploadTimer);

    fitToPane();
    if (QScreen* screen = QApplication::primaryScreen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - rect().center());
    }
}

MainWindow::~MainWindow() {
    // The controller and the terminal hold the port; let them go before the port goes.
    delete lightController;
    lightController = nullptr;
    delete progressForm;
    progressForm = nullptr;
    terminalPane->setComPort(nullptr);
    engine_->setCaptureActive(false);
    try {
        serialPort->setOpen(false);
    } catch (const std::exception&) {
        // Closing at the end of the process has nobody left to tell.
    }
}

void MainWindow::buildControls() {
    client = new QWidget(this);
    setCentralWidget(client);

    uploadButton = new QPushButton(QStringLiteral("Upload"), client);
    uploadButton->setGeometry(376, 48, 65, 17);
    uploadButton->hide();
    connect(uploadButton, &QPushButton::clicked, this, &MainWindow::uploadDataFile);

    brandLabel = new QLabel(QStringLiteral("BRIMWELL"), client);
    brandLabel->setGeometry(184, 8, 122, 20);
    brandLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    brandLabel->setFont(pixelFont("Comic Sans MS", 15));
    brandLabel->setStyleSheet(QStringLiteral("color: black"));

    versionLabel = label(client, "Version : ", 447, 10);
    codeNumberLabel = label(client, "CODE_NUMLabel", 416, 24);
    codeNumberLabel->hide();

    pickButton = new QPushButton(QStringLiteral("Open script file to read and upload"), client);
    pickButton->setStyleSheet(QStringLiteral("padding: 0px 2px;"));
    pickButton->setGeometry(40, 38, 176, 25);
    connect(pickButton, &QPushButton::clicked, this, &MainWindow::runPickedScript);

    rs232GroupBox = new QGroupBox(QStringLiteral("RS-232"), client);
    rs232GroupBox->setGeometry(37, 72, 444, 42);
    // Frame line through the middle of the caption, as the positions inside the group assume.
    rs232GroupBox->setStyleSheet(QStringLiteral(
        "QGroupBox#RS232GroupBox { border: 1px solid #a0a0a0; border-radius: 2px; margin-top: 6px; }"
        "QGroupBox#RS232GroupBox::title { subcontrol-origin: margin; left: 8px; padding: 0 2px; }"));
    rs232GroupBox->setObjectName(QStringLiteral("RS232GroupBox"));
    struct LightPlace {
        lights::StatusLight** light;
        int left;
        const char* caption;
    };
    const LightPlace places[] = {
        {&ctsLight, 236, "CTS"}, {&dcdLight, 179, "DCD"}, {&rxdLight, 128, "RXD"}, {&txdLight, 75, "TXD"}};
    for (const auto& p : places) {
        *p.light = new lights::StatusLight(rs232GroupBox);
        (*p.light)->setBounds(p.left, 19, 10, 10);
        QLabel* caption = label(rs232GroupBox, p.caption, p.left + 14, 17);
        caption->setObjectName(QString::fromLatin1(p.caption) + "Caption");
    }
    label(rs232GroupBox, "COM:", 314, 8);
    label(rs232GroupBox, "Baud:", 314, 25);
    comNumberLabel = label(rs232GroupBox, "None", 352, 8);
    comBaudLabel = label(rs232GroupBox, std::to_string(script::kLoaderBaud).c_str(), 353, 25);
    comNumberLabel->setMinimumWidth(60);
    comBaudLabel->setMinimumWidth(60);
    comCheckBox = new QCheckBox(QStringLiteral("Use COM"), rs232GroupBox);
    comCheckBox->move(8, 16);
    comCheckBox->hide();
    // Only the program changes the box, and each change runs its handler.
    connect(comCheckBox, &QCheckBox::toggled, this, [this] { onComCheckBoxClicked(); });

    terminalPane = new terminal::TerminalWidget(client);
    terminalPane->setGeometry(16, 120, 497, 273);
    terminalPane->setColor(terminal::kBlack);
    terminalPane->setFontColor(terminal::kSilver);
    QFont termFont = pixelFont("Courier New", 12);
    termFont.setStyleHint(QFont::Monospace);
    terminalPane->setFont(termFont);
    terminalPane->setRows(kTeletypeRows);
    terminalPane->setScrollback(false);
    terminalPane->setUseLazyDisplay(false);
    terminalPane->setBlinkTime(250);
    terminalPane->setLazyByteDelay(4);
    terminalPane->setLazyTimeDelay(50);
    terminalPane->setWantAllKeys(false);
    terminalPane->setCaptureFile("QUAVTERM.CAP");
    terminalPane->setComPort(serialPort);
    // A reconnection (after a lost line, or another port) never writes over what the pane shows.
    terminalPane->setFreshLineOnOpen(true);
    // The whole VT100 screen stays in view when a program switches to 132 columns; after the
    // block that did it, not inside it.
    connect(terminalPane, &terminal::TerminalWidget::screenSizeChanged, this, &MainWindow::fitToPane,
            Qt::QueuedConnection);
    terminalPane->onKeyPress = [this](char& key) {
        if (onTerminalKeyPress(key)) key = 0;
    };
    terminalPane->installEventFilter(this);
    // The terminal's own answers to the unit's queries would land inside an image as well.
    terminalPane->setSendHold([this] {
        if (!unitLineHeld()) return false;
        keyDropped();
        return true;
    });

    infoStatusBar = new QStatusBar(client);
    infoStatusBar->setSizeGripEnabled(false);
    // It lies over the pane when the window is collapsed: its own background, not the pane's black.
    infoStatusBar->setAutoFillBackground(true);
    auto* statusLabel = new QLabel(QStringLiteral("Info"), infoStatusBar);
    statusLabel->setObjectName(QStringLiteral("InfoStatusText"));
    infoStatusBar->addWidget(statusLabel, 1);
}

void MainWindow::buildMenus() {
    QMenuBar* bar = menuBar();
    exitMenu = bar->addAction(QStringLiteral("Exit"));
    connect(exitMenu, &QAction::triggered, this, &MainWindow::onExitChosen);

    pciMenu = bar->addMenu(QStringLiteral("PCI Board(s)"));
    pciConnectAction = pciMenu->addAction(QStringLiteral("Connected"));
    pciConnectAction->setCheckable(true);
    // The item's own toggle is undone: onPciConnectChosen decides from the state before the click.
    connect(pciConnectAction, &QAction::triggered, this, [this] {
        pciConnectAction->setChecked(!pciConnectAction->isChecked());
        onPciConnectChosen();
    });

    configMenu = bar->addMenu(QStringLiteral("RS232 Config"));
    comPortMenu = configMenu->addMenu(QStringLiteral("COM Port"));
    noneMenu = comPortMenu->addAction(QStringLiteral("None"));
    com1Menu = comPortMenu->addAction(QStringLiteral("COM1"));
    com2Menu = comPortMenu->addAction(QStringLiteral("COM2"));
    adapterSeparator = comPortMenu->addSeparator();
    searchAllMenu = comPortMenu->addAction(QStringLiteral("Search"));
    searchAllMenu->setStatusTip(QStringLiteral("Look for prompt defined in INI file on COM 1 and COM 2"));
    searchAllMenu->setToolTip(searchAllMenu->statusTip());
    connect(noneMenu, &QAction::triggered, this, &MainWindow::onNoneChosen);
    connect(com1Menu, &QAction::triggered, this, &MainWindow::onCom1Chosen);
    connect(com2Menu, &QAction::triggered, this, &MainWindow::onCom2Chosen);
    connect(searchAllMenu, &QAction::triggered, this, &MainWindow::onSearchAllChosen);

    baudMenu = configMenu->addMenu(QStringLiteral("Baud"));
    for (const int rate : {1200, 2400, 9600, 19200, 38400, 57600}) {
        QAction* a = baudMenu->addAction(QString::number(rate));
        a->setObjectName(QStringLiteral("N%1").arg(rate * 10 + 1));
        connect(a, &QAction::triggered, this, [this, rate] { onBaudChosen(rate); });
    }
    for (const int rate : kFastRates) {
        QAction* a = baudMenu->addAction(QString::number(rate));
        a->setObjectName(QStringLiteral("Baud%1").arg(rate));
        connect(a, &QAction::triggered, this, [this, rate] { onBaudChosen(rate); });
    }

    terminalMenu = bar->addMenu(QStringLiteral("Terminal"));
    visibleMenu = terminalMenu->addAction(QStringLiteral("Visible"));
    visibleMenu->setCheckable(true);
    visibleMenu->setChecked(true);
    // A checkable action flips its check mark itself before it reports the click.
    connect(visibleMenu, &QAction::triggered, this, &MainWindow::onVisibleChosen);

    // A null caption is the separator before "Default"; the numbers are those of settings 21 and 22.
    static const struct {
        const char* caption;
        int setting;
    } colours[] = {{"Black", 1}, {"Red", 2},   {"Green", 3},  {"Blue", 4},
                   {"White", 5}, {nullptr, 0}, {"Default", 0}};
    backgroundColorMenu = terminalMenu->addMenu(QStringLiteral("Background Color"));
    textColorMenu = terminalMenu->addMenu(QStringLiteral("Text Color"));
    for (const auto& c : colours) {
        if (!c.caption) {
            backgroundColorMenu->addSeparator();
            textColorMenu->addSeparator();
            continue;
        }
        connect(backgroundColorMenu->addAction(QString::fromLatin1(c.caption)), &QAction::triggered, this,
                [this, n = c.setting] { setTerminalBackground(n); });
        connect(textColorMenu->addAction(QString::fromLatin1(c.caption)), &QAction::triggered, this,
                [this, n = c.setting] { setTerminalTextColour(n); });
    }
    textColorMenu->menuAction()->setVisible(false);
    terminalFontsAction = terminalMenu->addAction(QStringLiteral("Terminal Fonts..."));
    connect(terminalFontsAction, &QAction::triggered, this, &MainWindow::onTerminalFontsChosen);
    // The pane can also serve as a VT100 for a unit's console; switching keeps what it shows.
    QMenu* emulation = terminalMenu->addMenu(QStringLiteral("Emulation"));
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
    stationMenu = bar->addAction(QStringLiteral("Station"));
    connect(stationMenu, &QAction::triggered, this, &MainWindow::onStationChosen);
}

void MainWindow::onStationChosen() {
    if (!stationWindow_)
        stationWindow_ = new StationWindow(QCoreApplication::applicationFilePath(), settingsPath_, this);
    stationWindow_->show();
    stationWindow_->raise();
    stationWindow_->activateWindow();
}

void MainWindow::fitToPane() {
    QRect pane = kPaneDesign;
    int width = kClientWidth;
    int height = visibleMenu->isChecked() ? shownHeight_ : kCollapsedHeight;
    if (terminalPane->emulation() == terminal::Emulation::VT100) {
        pane.setSize(terminalPane->wholeScreenSize());
        width = std::max(kClientWidth, pane.right() + 1 + kPaneRightMargin);
        if (visibleMenu->isChecked()) height = pane.bottom() + 1 + kPaneBottomMargin;
    }
    terminalPane->setGeometry(pane);
    client->setFixedSize(width, height);
    infoStatusBar->setGeometry(0, height - kStatusBarHeight, width, kStatusBarHeight);
    infoStatusBar->raise();
    const int menuHeight = menuBar()->sizeHint().height();
    setFixedSize(width, height + menuHeight);
}

void MainWindow::useSerialLink(std::unique_ptr<script::UnitLink> link) {
    engine_->setSerialLink(link.get());
    serialLink_ = std::move(link);
}

QSize MainWindow::clientSize() const {
    return client->size();
}

QString MainWindow::statusText() const {
    return infoStatusBar->findChild<QLabel*>(QStringLiteral("InfoStatusText"))->text();
}

void MainWindow::setStatusText(const QString& text) {
    auto* label = infoStatusBar->findChild<QLabel*>(QStringLiteral("InfoStatusText"));
    label->setText(withLineBreaks(text));
    emit statusTextChanged(label->text());
}

void MainWindow::showMessage(const QString& text, MsgKind kind) {
    dialogs().messageBox(this, text, QApplication::applicationDisplayName(), MsgButtons::Ok, kind);
}

void MainWindow::disableButtons() {
    uploadButton->setEnabled(false);
    pickButton->setEnabled(false);
}

void MainWindow::enableButtons() {
    uploadButton->setEnabled(true);
    pickButton->setEnabled(true);
}

void MainWindow::refreshComLabels() {
    comNumberLabel->setText(comLabel(serialPort->comNumber()));
    comBaudLabel->setText(QString::number(serialPort->baud()));
}

void MainWindow::setMonitoring(bool on) {
    try {
        lightController->setMonitoring(on);
    } catch (const std::exception& e) {
        showMessage(QString::fromStdString(e.what()), MsgKind::Error);
    }
}

// ---- Settings ---------------------------------------------------------------------------------

void MainWindow::applyPortSettings(const script::LoaderSettings& s) {
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
            serialPort->setBaud(*s.baud);
            comBaudLabel->setText(QString::number(serialPort->baud()));
        });
    if (s.dataBits) guarded([&] { serialPort->setDataBits(static_cast<uint16_t>(*s.dataBits)); });
    if (s.parity) guarded([&] { serialPort->setParity(static_cast<serial::Parity>(*s.parity)); });
    if (s.stopBits) guarded([&] { serialPort->setStopBits(static_cast<uint16_t>(*s.stopBits)); });
}

void MainWindow::readDefaults() {
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
        scriptFolderSet = true;
    }
    if (s.automaticMode) automaticMode = true;
    engine_->applySettings(s);
    if (s.terminalVisible) {
        const bool shown = visibleMenu->isChecked();
        if ((*s.terminalVisible == 0 && shown) || (*s.terminalVisible == 1 && !shown)) visibleMenu->trigger();
    }
    if (s.terminalBackground && *s.terminalBackground >= 0 && *s.terminalBackground <= 5)
        setTerminalBackground(*s.terminalBackground);
    if (s.terminalTextColour && *s.terminalTextColour >= 0 && *s.terminalTextColour <= 5)
        setTerminalTextColour(*s.terminalTextColour);
}

// ---- Start-up ---------------------------------------------------------------------------------

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (shown_) return;
    shown_ = true;
    // Runs from the message loop so that the window is on screen while the unit is searched.
    QMetaObject::invokeMethod(this, &MainWindow::onShown, Qt::QueuedConnection);
}

void MainWindow::onShown() {
    versionLabel->setText(QString::fromLatin1(kVersionText));
    versionLabel->adjustSize();
    readDefaults();

    if (engine_->linkMode() == script::kLinkSerial) {
        bool found = false;
        if (defaultComPort == 0)
            found = searchComPorts() == 1;
        else
            found = checkCom(defaultComPort) || searchComPorts() == 1;
        if (!found && !automaticMode) {
            useDefaultCom();
            offerAdapters();
        } else
            comCheckBox->setEnabled(false);
        setMonitoring(true);
    } else if (engine_->linkMode() == script::kLinkPci) {
        onPciConnectChosen();
    }
    if (splashForm) splashForm->hide();

    if (automaticMode) {
        if (!serialPort->isOpen()) {
            showMessage(QString::fromLatin1(kAutoNoPort), MsgKind::Error);
            automaticExitCode_ = 1;
            justUploadTimer->start();
            startupFinished_ = true;
            return;
        }
        if (scriptRefused(autoScriptPath)) {
            setStatusText(QStringLiteral(" "));
            automaticExitCode_ = 1;
            justUploadTimer->start();
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
        justUploadTimer->start();
    } else if (engine_->linkMode() == script::kLinkSerial) {
        terminalPane->setFocus();
    }
    startupFinished_ = true;
}

void MainWindow::onJustUploadTimer() {
    justUploadTimer->stop();
    endProcess(automaticExitCode_ < 0 ? 0 : automaticExitCode_);
}

void MainWindow::endProcess(int code) {
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

void MainWindow::onExitChosen() {
    close();
}

bool MainWindow::closeQuery() {
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == terminalPane && event->type() == QEvent::KeyPress && unitLineHeld()) {
        keyDropped();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

bool MainWindow::unitLineHeld() const {
    return engine_ && (engine_->unitLineHeld() || !engine_->uploadIdle());
}

void MainWindow::keyDropped() {
    if (keysDropNoted_) return;
    keysDropNoted_ = true;
    setStatusText(
        QStringLiteral("Keys typed now are not sent: the unit takes every byte as part of the upload."));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!closeQuery()) {
        event->ignore();
        return;
    }
    event->accept();
}

// ---- Script runs ------------------------------------------------------------------------------

void MainWindow::runPickedScript() {
    // The dialog opens in the working directory unless the settings name a script folder.
    const QString dir =
        scriptFolderSet ? QDir::current().absoluteFilePath(scriptFolder) : QDir::currentPath();
    const QString path =
        dialogs().openFileName(this, QStringLiteral("Open"), dir, QString::fromLatin1(kScriptFilter));
    if (path.isEmpty() || scriptRefused(path)) return;
    const PortInUse running(*this);
    const WindowRecording recording(*host_, path.toStdString(), recordedPort(), recordedDevice());
    engine_->runPickedScript(path.toStdString());
}

std::string MainWindow::recordedPort() const {
    const int com = serialPort->comNumber();
    return com == 0 ? std::string() : "COM" + std::to_string(com);
}

std::string MainWindow::recordedDevice() const {
    const int com = serialPort->comNumber();
    return com == 0 ? std::string() : serial::comDevicePath(static_cast<uint32_t>(com));
}

void MainWindow::stopPressed() {
    // As Ctrl+C on the command line: the first Stop ends the upload after the block in progress and
    // still waits for the unit's prompt (a unit left mid-load says so); the second gives that up.
    if (engine_->pressStop() == script::ScriptEngine::StopPress::GivingUp)
        setStatusText(QStringLiteral("Stopping now: no more waiting for the unit's prompt."));
    else
        setStatusText(QStringLiteral("Stopping: the upload ends after the block in progress, then the unit's "
                                     "prompt is awaited. Press Stop again to give up."));
}

bool MainWindow::scriptRefused(const QString& path) {
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

void MainWindow::uploadDataFile() {
    const PortInUse running(*this);
    // Recorded as a run of the script that named the data file, sending that one file.
    WindowRecording recording(*host_, engine_->scriptPath(), recordedPort(), recordedDevice());
    engine_->uploadDataFile();
    recording.uploadEnded(engine_->lastUpload());
}

} // namespace brimwell::app
