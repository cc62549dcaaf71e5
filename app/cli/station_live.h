// The station's live state in the record store the dashboard reads: its heartbeat with the
// counters, and a tile per port. Written on a thread of its own, since a shared store that is down
// can hold a write for seconds, and at most about once a second, the latest state of each port.
#pragma once

#include "records/store_location.h"

#include <QObject>
#include <QString>

#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

class QTimer;

namespace brimwell::cli {

class Station;

class StationLive : public QObject {
    Q_OBJECT
  public:
    StationLive(const Station& station, records::StoreLocation where, QObject* parent = nullptr);
    // Writes the last state (bounded by the store's own time-outs), then ends its thread.
    ~StationLive() override;

  private:
    struct portState {
        QString state, detail;
        int percent = -1;
    };
    void portChanged(int index);
    void heartbeat();
    void write(records::StoreLocation where);

    const Station& station_;
    QTimer* beat_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::map<QString, portState> pending_;
    std::optional<std::pair<int, int>> counters_;
    bool quit_ = false;
    std::thread writer_;
};

} // namespace brimwell::cli
