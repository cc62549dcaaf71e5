// Where a station's adapters come from: udev, for the USB adapters as they are plugged in and
// pulled out, and the file system for a device glob outside /dev (a unit simulator's
// pseudo-terminal links, a serial server's device links), which udev never announces.
#pragma once

#include "serial/finder/port_finder.h"

#include <QObject>

#include <set>
#include <string>
#include <vector>

class QFileSystemWatcher;
class QTimer;

namespace brimwell::serial {
class AdapterWatch;
}

namespace brimwell::cli {

class StationSources : public QObject {
    Q_OBJECT
  public:
    // Watches udev, and the paths of each of `matches` that is a glob outside /dev.
    explicit StationSources(const std::vector<std::string>& matches, QObject* parent = nullptr);
    ~StationSources() override;

    // Every adapter present now: the USB adapters (matching or not) and the matching paths.
    std::vector<serial::SerialPortInfo> present() const;
    // False when nothing can be watched: no udev monitor and no path glob.
    bool watching() const;

  signals:
    void appeared(const brimwell::serial::SerialPortInfo& adapter);
    void disappeared(const brimwell::serial::SerialPortInfo& adapter);

  private:
    void rescanPaths();
    std::set<std::string> globbed() const;

    serial::AdapterWatch* udev_;
    std::vector<std::string> pathGlobs_;
    std::set<std::string> paths_;
    QFileSystemWatcher* dirs_ = nullptr;
    QTimer* poll_ = nullptr;
};

// A glob the file system is watched for, rather than udev: a path outside /dev.
bool isPathGlob(const std::string& match);

} // namespace brimwell::cli
