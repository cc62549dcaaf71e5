// Asks a test bed's adapter whether a unit is on it: the device is opened and locked as a run locks
// it, a carriage return is sent, and the answer is looked at for one of the unit's prompts. It
// runs on the event loop: nothing waits for the unit.
#pragma once

#include "serial/uucp_lock.h"

#include <QObject>

#include <cstdint>
#include <string>

class QSocketNotifier;
class QTimer;

namespace brimwell::cli {

class PromptProbe : public QObject {
    Q_OBJECT
  public:
    // Starts at once. done() comes exactly once, then the probe deletes itself. A device that cannot
    // be opened, or that another program holds, counts as no answer.
    PromptProbe(const std::string& device, uint32_t baud, std::string prompts, int timeoutMs,
                QObject* parent = nullptr);
    ~PromptProbe() override;

  signals:
    void done(bool answered);

  private:
    void finish(bool answered);

    int fd_ = -1;
    serial::DeviceLock lock_;
    std::string prompts_;
    QSocketNotifier* reader_ = nullptr;
    QTimer* limit_ = nullptr;
    bool finished_ = false;
};

} // namespace brimwell::cli
