// The USB serial adapters present, kept current as they are plugged in and pulled out: a udev
// monitor watched on the event loop of the thread that makes the watch. The window's COM Port menu
// follows it; so can a station that flashes each unit as it is plugged in, with no window at all.
#pragma once

#include "serial/finder/port_finder.h"

#include <QObject>

#include <memory>
#include <string>
#include <vector>

class QSocketNotifier;

namespace brimwell::serial {

class AdapterWatch : public QObject {
    Q_OBJECT
  public:
    explicit AdapterWatch(QObject* parent = nullptr);
    ~AdapterWatch() override;

    // The adapters present now, in the order of their device names.
    const std::vector<SerialPortInfo>& adapters() const { return adapters_; }
    // False where udev cannot be watched (no udev, no permission): the list then stays as found.
    bool watching() const { return notifier_ != nullptr; }

  signals:
    // Each adapter that came or went since the last look; one that is replaced by another at the
    // same device node goes and comes.
    void appeared(const brimwell::serial::SerialPortInfo& adapter);
    void disappeared(const brimwell::serial::SerialPortInfo& adapter);

  private:
    // Reads the list afresh; a device node in `removed` counts as gone even while its entry is
    // still listed (being taken down as the event arrives).
    void update(const std::vector<std::string>& removed);

    struct Monitor;
    std::unique_ptr<Monitor> monitor_;
    QSocketNotifier* notifier_ = nullptr;
    std::vector<SerialPortInfo> adapters_;
};

} // namespace brimwell::serial
