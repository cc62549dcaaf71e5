// The Station window: the production station of "brimwell station" with a tile per matching adapter
// (state colour, progress, last verdict, units flashed) and the counters. Each unit is flashed by a
// brimwell run process of its own whose progress lines feed the tiles; no script engine runs here.
#pragma once

#include <QString>
#include <QWidget>

#include <memory>
#include <string>
#include <vector>

class QCheckBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace brimwell {
namespace cli {
class Station;
class StationLive;
} // namespace cli
} // namespace brimwell

namespace brimwell::app {

class StationWindow : public QWidget {
    Q_OBJECT
  public:
    // `program` is the brimwell program each unit's run is started from, `settingsPath` the
    // settings file every run reads (the main window's).
    StationWindow(QString program, QString settingsPath, QWidget* parent = nullptr);
    ~StationWindow() override;

    // Starts the station on the script and matches entered; false (the reason in the status line)
    // when it cannot start.
    bool startStation();
    // The first press: no new units, the running ones finish; the second stops them.
    void stopStation();
    bool stationRunning() const { return station_ != nullptr; }

    // What the operator enters.
    QLineEdit* scriptEdit = nullptr;
    QLineEdit* matchEdit = nullptr; // usb:VID:PID[:SERIAL] or device globs, separated by spaces
    QCheckBox* fixtureBox = nullptr;
    QPushButton* chooseButton = nullptr;
    QPushButton* startButton = nullptr;
    QPushButton* stopButton = nullptr;
    QLabel* countersLabel = nullptr;
    QLabel* statusLabel = nullptr;

    // One tile per adapter the station has seen, in that order.
    struct Tile {
        QWidget* frame;
        QLabel *port, *serial, *state, *verdict, *units;
        QProgressBar* progress;
    };
    const std::vector<Tile>& tiles() const { return tiles_; }

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void showPort(int index);
    void showCounters();
    void stationFinished();
    void chooseScript();

    QString program_;
    QString settingsPath_;
    std::unique_ptr<cli::Station> station_;
    std::unique_ptr<cli::StationLive> live_;
    QGridLayout* grid_ = nullptr;
    std::vector<Tile> tiles_;
    int stops_ = 0;
};

} // namespace brimwell::app
