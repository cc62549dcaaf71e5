// A station's heartbeat and tiles.
#include "records/station_state.h"

namespace brimwell::records {

StationReporter::StationReporter(StoreLocation where, QString station, qint64 retryMs)
    : where_(std::move(where)), station_(std::move(station)), retryMs_(retryMs) {}

bool StationReporter::ready() {
    if (store_) return true;
    if (sinceFailure_.isValid() && sinceFailure_.elapsed() < retryMs_) return false;
    store_ = std::make_unique<RecordStore>();
    if (store_->open(where_)) return true;
    return done(false);
}

bool StationReporter::done(bool ok) {
    if (ok) return true;
    error_ = store_ ? store_->error() : error_;
    store_.reset(); // a fresh connection next time: the server may have been restarted
    sinceFailure_.start();
    return false;
}

bool StationReporter::heartbeat(int passed, int failed) {
    return ready() && done(store_->writeHeartbeat(station_, passed, failed));
}

bool StationReporter::port(const QString& port, const QString& state, int percent, const QString& detail) {
    return ready() && done(store_->writePortState({station_, port, state, percent, detail}));
}

} // namespace brimwell::records
