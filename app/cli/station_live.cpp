// Writing the station's live state off its event loop.
#include "app/cli/station_live.h"

#include "app/cli/station.h"
#include "records/station_state.h"

#include <QTimer>

namespace brimwell::cli {
namespace {

constexpr int kHeartbeatMs = 5000;
// The shortest time between two rounds of writes: a port's progress moves many times a second.
constexpr auto kWriteEvery = std::chrono::seconds(1);

} // namespace

StationLive::StationLive(const Station& station, records::StoreLocation where, QObject* parent)
    : QObject(parent), station_(station), beat_(new QTimer(this)) {
    connect(&station, &Station::portChanged, this, &StationLive::portChanged);
    connect(beat_, &QTimer::timeout, this, &StationLive::heartbeat);
    beat_->start(kHeartbeatMs);
    heartbeat();
    writer_ = std::thread([this, where] { write(where); });
}

StationLive::~StationLive() {
    heartbeat();
    for (size_t i = 0; i < station_.ports().size(); ++i)
        portChanged(static_cast<int>(i));
    {
        std::lock_guard hold(lock_);
        quit_ = true;
    }
    wake_.notify_one();
    writer_.join();
}

void StationLive::portChanged(int index) {
    const StationPort& p = station_.ports()[static_cast<size_t>(index)];
    std::string detail = p.serial().empty() ? p.note : p.serial() + ": " + p.note;
    if (p.state == StationPort::State::Flashing && !p.file.empty()) detail += " " + p.file;
    std::lock_guard hold(lock_);
    pending_[QString::fromStdString(p.adapter.device)] = {QString::fromLatin1(p.stateWord()),
                                                          QString::fromStdString(detail), p.percent};
    wake_.notify_one();
}

void StationLive::heartbeat() {
    std::lock_guard hold(lock_);
    counters_ = {station_.passed(), station_.failed()};
    wake_.notify_one();
}

void StationLive::write(records::StoreLocation where) {
    records::StationReporter reporter(std::move(where));
    std::unique_lock hold(lock_);
    for (;;) {
        wake_.wait(hold, [&] { return quit_ || counters_ || !pending_.empty(); });
        const bool last = quit_;
        auto ports = std::move(pending_);
        pending_.clear();
        const auto counters = std::exchange(counters_, std::nullopt);
        hold.unlock();
        // A write that fails is dropped: the next one puts the state of its moment there.
        if (counters) reporter.heartbeat(counters->first, counters->second);
        for (const auto& [port, s] : ports)
            reporter.port(port, s.state, s.percent, s.detail);
        hold.lock();
        if (last) return;
        wake_.wait_for(hold, kWriteEvery, [&] { return quit_; });
    }
}

} // namespace brimwell::cli
