// The Station window's tiles and controls over the station's core.
#include "app/station_window.h"

#include "app/cli/cli_main.h"
#include "app/cli/station.h"
#include "app/cli/station_live.h"
#include "app/dialogs.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDir>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <csignal>

namespace brimwell::app {
namespace {

constexpr int kTileColumns = 4;
constexpr const char* kScriptFilter = "Script files (*.sld)|*.sld|All files (*.*)|*.*";

// The tile's colour: what the adapter is doing, and once idle how its last unit went.
const char* tileColour(const cli::StationPort& p) {
    using State = cli::StationPort::State;
    if (p.state == State::Flashing) return "#fff3b0";
    if (p.state == State::Gone) return "#d9d9d9";
    if (p.verdict == "passed") return "#b7e4b0";
    if (p.verdict.empty()) return "#cfe0f3";
    return "#f3b0b0";
}

QLabel* tileLabel(QWidget* parent, bool bold = false) {
    auto* label = new QLabel(parent);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (bold) label->setStyleSheet(QStringLiteral("font-weight: bold"));
    return label;
}

} // namespace

StationWindow::StationWindow(QString program, QString settingsPath, QWidget* parent)
    : QWidget(parent, Qt::Window), program_(std::move(program)), settingsPath_(std::move(settingsPath)) {
    setWindowTitle(QStringLiteral("Station"));
    setObjectName(QStringLiteral("StationWindow"));
    resize(760, 420);
    auto* top = new QVBoxLayout(this);

    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("Script:"), this));
    scriptEdit = new QLineEdit(this);
    row->addWidget(scriptEdit, 2);
    chooseButton = new QPushButton(QStringLiteral("Choose..."), this);
    connect(chooseButton, &QPushButton::clicked, this, &StationWindow::chooseScript);
    row->addWidget(chooseButton);
    row->addWidget(new QLabel(QStringLiteral("Adapters:"), this));
    matchEdit = new QLineEdit(this);
    matchEdit->setPlaceholderText(QStringLiteral("every USB adapter"));
    matchEdit->setToolTip(
        QStringLiteral("usb:VID:PID[:SERIAL] or device globs (/dev/ttyUSB*), separated by spaces"));
    row->addWidget(matchEdit, 1);
    fixtureBox = new QCheckBox(QStringLiteral("Units swapped on the adapters"), this);
    fixtureBox->setToolTip(
        QStringLiteral("The adapters stay plugged in; a unit is flashed when it answers, the "
                       "next once the last was taken away"));
    row->addWidget(fixtureBox);
    startButton = new QPushButton(QStringLiteral("Start"), this);
    stopButton = new QPushButton(QStringLiteral("Stop"), this);
    stopButton->setEnabled(false);
    connect(startButton, &QPushButton::clicked, this, &StationWindow::startStation);
    connect(stopButton, &QPushButton::clicked, this, &StationWindow::stopStation);
    row->addWidget(startButton);
    row->addWidget(stopButton);
    top->addLayout(row);

    countersLabel = new QLabel(this);
    countersLabel->setStyleSheet(QStringLiteral("font-size: 15px; font-weight: bold"));
    top->addWidget(countersLabel);
    auto* area = new QScrollArea(this);
    area->setWidgetResizable(true);
    auto* tilesHolder = new QWidget(area);
    grid_ = new QGridLayout(tilesHolder);
    grid_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    area->setWidget(tilesHolder);
    top->addWidget(area, 1);
    statusLabel = new QLabel(this);
    statusLabel->setWordWrap(true);
    top->addWidget(statusLabel);
    showCounters();
}

StationWindow::~StationWindow() = default;

void StationWindow::chooseScript() {
    const QString path = dialogs().openFileName(this, QStringLiteral("Open"), QDir::currentPath(),
                                                QString::fromLatin1(kScriptFilter));
    if (!path.isEmpty()) scriptEdit->setText(path);
}

bool StationWindow::startStation() {
    if (station_) return false;
    cli::StationOptions options;
    options.run.script = scriptEdit->text().toStdString();
    options.run.settings = settingsPath_.toStdString();
    for (const QString& m : matchEdit->text().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        options.matches.push_back(m.toStdString());
    options.fixture = fixtureBox->isChecked();
    std::string error;
    records::StoreLocation store;
    cli::RunInputs inputs;
    if (options.run.script.empty()) error = "choose the script every unit is flashed with";
    for (const std::string& m : options.matches)
        if (m.starts_with("usb:") && !serial::parseUsbPortName(m))
            error = m + ": a USB adapter is usb:VID:PID[:SERIAL]";
    if (error.empty()) cli::stationStore(options, store, error);
    if (error.empty()) error = cli::scriptProblem(options.run, inputs);
    if (!error.empty()) {
        statusLabel->setText(QStringLiteral("Not started: ") + QString::fromStdString(error));
        return false;
    }
    for (Tile& t : tiles_)
        delete t.frame;
    tiles_.clear();
    stops_ = 0;
    station_ = std::make_unique<cli::Station>(options, store, program_.toStdString());
    connect(station_.get(), &cli::Station::portChanged, this, &StationWindow::showPort);
    connect(station_.get(), &cli::Station::finished, this, &StationWindow::stationFinished);
    connect(station_.get(), &cli::Station::event, this, [this](int index, const QString& text) {
        const QString port =
            index < 0 ? QString()
                      : QString::fromStdString(station_->ports()[static_cast<size_t>(index)].adapter.device) +
                            QStringLiteral(": ");
        statusLabel->setText(port + text);
    });
    live_ = std::make_unique<cli::StationLive>(*station_, store);
    if (!station_->start(error)) {
        live_.reset();
        station_.reset();
        statusLabel->setText(QStringLiteral("Not started: ") + QString::fromStdString(error));
        return false;
    }
    for (QWidget* w :
         std::initializer_list<QWidget*>{scriptEdit, matchEdit, fixtureBox, chooseButton, startButton})
        w->setEnabled(false);
    stopButton->setEnabled(true);
    statusLabel->setText(QStringLiteral("Waiting for units; the runs are recorded in ") + store.url);
    showCounters();
    return true;
}

void StationWindow::stopStation() {
    if (!station_) return;
    if (++stops_ == 1) {
        station_->finishRunning();
        statusLabel->setText(
            QStringLiteral("Stopping: no new units; the running ones finish (Stop again stops them)."));
    } else {
        station_->stopRunning(SIGTERM);
        statusLabel->setText(
            QStringLiteral("Stopping the running units: each ends after the block in progress."));
    }
    showCounters();
}

void StationWindow::stationFinished() {
    live_.reset();
    // The core goes once the call that said so has returned; nothing of it reaches the tiles any more.
    station_->disconnect(this);
    station_.release()->deleteLater();
    for (QWidget* w :
         std::initializer_list<QWidget*>{scriptEdit, matchEdit, fixtureBox, chooseButton, startButton})
        w->setEnabled(true);
    stopButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Stopped."));
}

void StationWindow::showPort(int index) {
    const cli::StationPort& p = station_->ports()[static_cast<size_t>(index)];
    while (tiles_.size() <= static_cast<size_t>(index)) {
        auto* frame = new QFrame(grid_->parentWidget());
        frame->setFrameShape(QFrame::StyledPanel);
        frame->setMinimumWidth(170);
        auto* column = new QVBoxLayout(frame);
        Tile t{frame,
               tileLabel(frame, true),
               tileLabel(frame),
               tileLabel(frame),
               tileLabel(frame),
               tileLabel(frame),
               new QProgressBar(frame)};
        t.verdict->setWordWrap(true);
        for (QWidget* w :
             std::initializer_list<QWidget*>{t.port, t.serial, t.state, t.progress, t.verdict, t.units})
            column->addWidget(w);
        const int n = static_cast<int>(tiles_.size());
        grid_->addWidget(frame, n / kTileColumns, n % kTileColumns);
        tiles_.push_back(t);
    }
    const Tile& t = tiles_[static_cast<size_t>(index)];
    t.frame->setStyleSheet(QStringLiteral("QFrame { background: %1 }").arg(QLatin1String(tileColour(p))));
    t.port->setText(QString::fromStdString(p.adapter.device));
    t.serial->setText(
        QString::fromStdString(p.serial().empty() ? std::string("no serial number") : p.serial()));
    t.state->setText(QString::fromLatin1(p.stateWord()) + QStringLiteral(": ") +
                     QString::fromStdString(p.note));
    t.progress->setVisible(p.state == cli::StationPort::State::Flashing);
    t.progress->setValue(std::max(p.percent, 0));
    t.verdict->setText(p.verdict.empty() ? QString()
                                         : QString::fromStdString(p.verdict) + QStringLiteral(" ") +
                                               p.verdictTime.toString(QStringLiteral("HH:mm:ss")) +
                                               QStringLiteral(": ") + QString::fromStdString(p.verdictText));
    t.units->setText(QStringLiteral("units: %1").arg(p.units));
    showCounters();
}

void StationWindow::showCounters() {
    const int passed = station_ ? station_->passed() : 0, failed = station_ ? station_->failed() : 0;
    const QString yield = passed + failed == 0
                              ? QStringLiteral("-")
                              : QString::number(100.0 * passed / (passed + failed), 'f', 1) + "%";
    countersLabel->setText(
        QStringLiteral("Passed %1   Failed %2   Yield %3").arg(passed).arg(failed).arg(yield));
}

void StationWindow::closeEvent(QCloseEvent* event) {
    // Closing the window stops its units (each as on SIGTERM, recorded as stopped).
    if (station_) station_->stopRunning(SIGTERM);
    event->accept();
}

} // namespace brimwell::app
