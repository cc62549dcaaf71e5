// A station's live state in the store a dashboard reads: its heartbeat (with its counters) and a
// tile per port. Live state is not journaled: a write that fails (the shared store down) is
// dropped, and a later one, on a fresh connection, puts the state of that moment there.
#pragma once

#include "records/record_store.h"

#include <QElapsedTimer>

#include <memory>

namespace brimwell::records {

class StationReporter {
  public:
    // After a failure the store is not tried again for `retryMs`, so that a store that is down does
    // not hold the station up at each call (a connection attempt may take seconds).
    explicit StationReporter(StoreLocation where, QString station = stationName(), qint64 retryMs = 10000);

    // False with error() when the store did not take it.
    bool heartbeat(int passed, int failed);
    bool port(const QString& port, const QString& state, int percent = -1, const QString& detail = {});
    const QString& error() const { return error_; }

  private:
    bool ready();
    bool done(bool ok);

    StoreLocation where_;
    QString station_, error_;
    std::unique_ptr<RecordStore> store_;
    qint64 retryMs_;
    QElapsedTimer sinceFailure_;
};

} // namespace brimwell::records
