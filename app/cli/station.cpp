// The station's core: adapters in, one unit process per plug-in (or per unit swapped on a test
// bed), tiles and counters out.
#include "app/cli/station.h"

#include "app/cli/prompt_probe.h"
#include "app/cli/station_sources.h"
#include "app/cli/stop_signals.h"
#include "app/cli/unit_process.h"
#include "script/loader_port.h"
#include "script/settings_file.h"
#include "serial/port_names.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fnmatch.h>

namespace brimwell::cli {
namespace {

// A test bed's adapter is asked for its unit's prompt this often while the station waits for a
// unit to be put on it or taken away, and the unit has this long to answer.
constexpr int kProbeEveryMs = 1000;
constexpr int kProbeAnswerMs = 500;
// A unit that was flashed counts as taken away after this many probes in a row without an answer
// (one may fall into the unit's own restart).
constexpr int kSilentProbesForRemoval = 2;
// After a stop a unit finishes the block in progress and closes its port; one that is still there
// after this long is killed.
constexpr int kStopGraceMs = 20000;
// A child whose pipes ended is reaped as soon as it has exited.
constexpr int kReapRetryMs = 20;

} // namespace

const char* stationUsage() {
    return "usage: brimwell station SCRIPT [--match usb:VID:PID[:SERIAL]|DEVICE-GLOB]... [--records URL]\n"
           "                       [--tag KEY=VALUE]... [--once] [--fixture] [--baud N] [--settings FILE]\n"
           "                       [--force]\n"
           "  Flashes every matching serial adapter with SCRIPT as it is plugged in, each unit by a\n"
           "  brimwell run of its own; an adapter is flashed again once it was unplugged and plugged in.\n"
           "  --match usb:VID:PID[:SERIAL]  the USB adapters of this vendor and product (and serial)\n"
           "  --match GLOB     adapters whose device or /dev/serial/by-id link matches GLOB\n"
           "                   (/dev/ttyUSB*); a GLOB outside /dev is watched in the file system\n"
           "                   (a simulator's links); may be given several times; none: every USB adapter\n"
           "  --records URL    where the runs are recorded: sqlite:PATH or postgresql://USER@HOST/DB\n"
           "                   (default $BRIMWELL_RECORDS, else $XDG_DATA_HOME/brimwell/records.sqlite)\n"
           "  --tag KEY=VALUE  kept with every run's record (lot, work order); may be given several times\n"
           "  --once           flash the adapters present at the start, then end\n"
           "  --fixture        the adapters stay plugged in and units are swapped on them: after a run the\n"
           "                   adapter is asked for the unit's prompt now and then; once the unit stopped\n"
           "                   answering, the next one that answers is flashed\n"
           "  --baud N, --settings FILE, --force  as for brimwell run, for every unit\n"
           "Ctrl+C: no new units, the running ones finish; a second Ctrl+C stops them. SIGTERM or SIGHUP\n"
           "stop them at once (recorded as stopped).\n"
           "exit status: 0 every run passed, 1 a run failed or was stopped, 2 usage or set-up error,\n"
           "3 the runs passed but a record is incomplete\n";
}

bool parseStationOptions(int argc, char** argv, StationOptions& out, std::string& error) {
    out = StationOptions{};
    // The options a unit's run takes are parsed as brimwell run parses them; the station's own first.
    std::vector<char*> runArgs{argv[0], argv[1]};
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--once") {
            out.once = true;
        } else if (arg == "--fixture") {
            out.fixture = true;
        } else if (arg == "--match" || arg.starts_with("--match=")) {
            std::string value = arg == "--match" ? (i + 1 < argc ? argv[++i] : "") : arg.substr(8);
            if (value.empty()) {
                error = "--match needs a value";
                return false;
            }
            if (value.starts_with("usb:") && !serial::parseUsbPortName(value)) {
                error = "--match " + value +
                        ": a USB adapter is matched by usb:VID:PID or usb:VID:PID:SERIAL, " +
                        "VID and PID in hexadecimal (brimwell ports lists the adapters)";
                return false;
            }
            out.matches.push_back(value);
        } else if (arg == "-h" || arg == "--help") {
            out.help = true;
            return true;
        } else {
            runArgs.push_back(argv[i]);
        }
    }
    if (!parseRunOptions(static_cast<int>(runArgs.size()), runArgs.data(), out.run, error)) return false;
    const RunOptions& run = out.run;
    for (const auto& [given, option] : {std::pair{!run.ports.empty(), "--port"},
                                        {!run.reportFile.empty(), "--report"},
                                        {!run.traceFile.empty(), "--trace"},
                                        {!run.logFile.empty(), "--log"},
                                        {run.eventFd >= 0, "--events"}}) {
        if (!given) continue;
        error = std::string(option) +
                " is not an option of a station (its adapters are named with --match; " +
                "each run goes to the record store)";
        return false;
    }
    return true;
}

bool stationStore(StationOptions& options, records::StoreLocation& store, std::string& error) {
    QString url = records::requestedStoreUrl(QString::fromStdString(options.run.records));
    const bool named = !url.isEmpty();
    if (!named) url = "sqlite:" + records::defaultStorePath();
    QString why;
    const auto where = records::parseStoreLocation(url, why);
    if (!where) {
        error = (options.run.records.empty() ? (named ? "BRIMWELL_RECORDS: " : "") : "--records: ") +
                why.toStdString();
        return false;
    }
    store = *where;
    options.run.records = url.toStdString(); // every unit's run records there
    return true;
}

bool matchesAdapter(const std::vector<std::string>& matches, const serial::SerialPortInfo& adapter) {
    if (matches.empty()) return serial::isUsbAdapter(adapter);
    return std::any_of(matches.begin(), matches.end(), [&](const std::string& m) {
        if (const auto query = serial::parseUsbPortName(m))
            return !serial::matchUsbPorts({adapter}, *query).empty();
        return ::fnmatch(m.c_str(), adapter.device.c_str(), 0) == 0 ||
               (!adapter.byId.empty() && ::fnmatch(m.c_str(), adapter.byId.c_str(), 0) == 0);
    });
}

const char* StationPort::stateWord() const {
    switch (state) {
    case State::Waiting:
        return "waiting";
    case State::Flashing:
        return "flashing";
    case State::Done:
        return "idle";
    case State::Gone:
        break;
    }
    return "gone";
}

// What the station keeps of each tile beside what it shows.
struct Station::Tracked {
    std::unique_ptr<UnitProcess> unit;
    std::vector<std::unique_ptr<QSocketNotifier>> readers;
    bool present = true;
    bool replugged = false;      // plugged in again while its last run was still ending
    bool presentAtStart = false; // --once flashes these only
    // A test bed: the flashed unit is still on it (it answers); the next comes once it does not.
    bool unitStaysOn = false;
    int silentProbes = 0;
    bool probing = false;
};

Station::Station(StationOptions options, records::StoreLocation store, std::string executable,
                 QObject* parent)
    : QObject(parent), options_(std::move(options)), store_(std::move(store)),
      executable_(std::move(executable)) {
    const std::string settingsPath = options_.run.settings.value_or(script::kSettingsFileName);
    const script::LoaderSettings settings = script::readSettingsFile(settingsPath);
    baud_ = options_.run.baud.value_or(settings.baud.value_or(script::kLoaderBaud));
    for (const char c : {settings.mainPromptChar, settings.loaderPromptChar})
        if (c != '\0') prompts_.push_back(c);
}

Station::~Station() {
    // A station that goes away takes its units with it (the window closed): each stops as on SIGTERM.
    for (auto& t : tracked_)
        if (t->unit && !t->unit->reaped) StopSignalPipe::passOn(t->unit->pid, SIGTERM);
}

bool Station::start(std::string& error) {
    sources_ = std::make_unique<StationSources>(options_.matches);
    if (!sources_->watching()) {
        error = "cannot watch the serial adapters: udev cannot be reached, and no --match names a path to "
                "watch instead";
        return false;
    }
    connect(sources_.get(), &StationSources::appeared, this,
            [this](const serial::SerialPortInfo& a) { appeared(a, false); });
    connect(sources_.get(), &StationSources::disappeared, this, &Station::disappeared);
    for (const serial::SerialPortInfo& a : sources_->present())
        appeared(a, true);
    checkFinished();
    return true;
}

int Station::running() const {
    return static_cast<int>(
        std::count_if(tracked_.begin(), tracked_.end(), [](const auto& t) { return t->unit != nullptr; }));
}

int Station::indexOf(const serial::SerialPortInfo& adapter) {
    // An adapter keeps its tile when it comes back under another device number: its by-id link
    // names it.
    for (size_t i = 0; i < ports_.size(); ++i) {
        const serial::SerialPortInfo& known = ports_[i].adapter;
        if (adapter.byId.empty() ? known.byId.empty() && known.device == adapter.device
                                 : known.byId == adapter.byId)
            return static_cast<int>(i);
    }
    return -1;
}

void Station::say(int index, const std::string& text) {
    ports_[static_cast<size_t>(index)].note = text;
    emit event(index, QString::fromStdString(text));
    emit portChanged(index);
}

void Station::appeared(const serial::SerialPortInfo& adapter, bool atStart) {
    if (!matchesAdapter(options_.matches, adapter)) {
        if (serial::isUsbAdapter(adapter))
            emit event(-1, QString::fromStdString(adapter.device + " " + serial::usbPortName(adapter) +
                                                  " is not flashed: no --match names it"));
        return;
    }
    int index = indexOf(adapter);
    if (index < 0) {
        ports_.emplace_back();
        tracked_.push_back(std::make_unique<Tracked>());
        index = static_cast<int>(ports_.size()) - 1;
    }
    StationPort& port = ports_[static_cast<size_t>(index)];
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    port.adapter = adapter;
    t.present = true;
    t.presentAtStart = t.presentAtStart || atStart;
    port.state = StationPort::State::Waiting;
    if (serial::isKernelConsole(adapter.device)) {
        t.present = false;
        port.state = StationPort::State::Gone;
        return say(index, "not flashed: it is the kernel console, which is never opened");
    }
    if (t.unit) { // its last run is still ending (the adapter was pulled out and is back)
        t.replugged = true;
        return say(index, "plugged in again; flashed once its last run has ended");
    }
    if (options_.once && !t.presentAtStart)
        return say(index, "not flashed: --once flashes the adapters present at the start");
    if (finishing_) return say(index, "not flashed: the station is stopping");
    if (options_.fixture) {
        t.unitStaysOn = false;
        say(index, "waiting for a unit");
        return probe(index);
    }
    launch(index);
}

void Station::disappeared(const serial::SerialPortInfo& adapter) {
    const int index = indexOf(adapter);
    if (index < 0) return;
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    if (!t.present) return;
    t.present = false;
    t.replugged = false;
    if (t.unit) return say(index, "unplugged during its run");
    ports_[static_cast<size_t>(index)].state = StationPort::State::Gone;
    say(index, "unplugged");
    checkFinished();
}

void Station::launch(int index) {
    StationPort& port = ports_[static_cast<size_t>(index)];
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    t.unit = std::make_unique<UnitProcess>(options_.run.script, port.adapter.device);
    t.unit->fallback.setTags(options_.run.tags);
    t.unit->fallback.setDevice(port.adapter.device);
    port.state = StationPort::State::Flashing;
    port.percent = -1;
    port.file.clear();
    ++port.units;
    if (!t.unit->launch(options_.run, "brimwell", executable_)) {
        unitEnded(index);
        return;
    }
    for (int k = 0; k < UnitProcess::kStreams; ++k) {
        auto reader = std::make_unique<QSocketNotifier>(t.unit->fds[k], QSocketNotifier::Read);
        connect(reader.get(), &QSocketNotifier::activated, this, [this, index, k] {
            Tracked& tr = *tracked_[static_cast<size_t>(index)];
            UnitProcess& unit = *tr.unit;
            StationPort& p = ports_[static_cast<size_t>(index)];
            unit.readStream(k, [&](const std::string& line) {
                if (k != UnitProcess::kEvents) {
                    unit.fallback.addText("output", line);
                } else if (unit.takeEvent(line)) {
                    p.percent = unit.percent();
                    p.file = unit.file;
                    emit portChanged(index);
                }
            });
            if (unit.fds[k] < 0) tr.readers[static_cast<size_t>(k)]->setEnabled(false);
            if (unit.fds[UnitProcess::kOut] < 0 && unit.fds[UnitProcess::kErr] < 0 &&
                unit.fds[UnitProcess::kEvents] < 0)
                // Deferred: the notifier whose call this is must not be deleted under it.
                QTimer::singleShot(0, this, [this, index] { unitEnded(index); });
        });
        t.readers.push_back(std::move(reader));
    }
    say(index, "flashing (unit " + std::to_string(port.units) + " on this adapter)");
}

void Station::unitEnded(int index) {
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    if (!t.unit) return;
    if (!t.unit->reaped && !t.unit->reap()) {
        QTimer::singleShot(kReapRetryMs, this, [this, index] { unitEnded(index); });
        return;
    }
    t.readers.clear();
    std::unique_ptr<UnitProcess> unit = std::move(t.unit);
    std::string lost;
    unit->finalReport(store_, lost);
    StationPort& port = ports_[static_cast<size_t>(index)];
    const bool passed = unit->succeeded();
    port.verdict = passed ? "passed" : unit->outcomeWord() == "stopped" ? "stopped" : "failed";
    port.verdictText = unit->summary();
    port.verdictTime = QDateTime::currentDateTime();
    port.percent = -1;
    (passed ? passed_ : failed_) += 1;
    anyFailed_ = anyFailed_ || !passed;
    if (!lost.empty()) lostRecords_ += (lostRecords_.empty() ? "" : "; ") + port.adapter.device + ": " + lost;
    port.state = t.present ? StationPort::State::Done : StationPort::State::Gone;
    say(index, port.verdict + ": " + port.verdictText +
                   (lost.empty() ? "" : " (its record is incomplete: " + lost + ")"));

    const bool again = t.present && !finishing_ && !(options_.once && t.presentAtStart);
    if (again && t.replugged) {
        t.replugged = false;
        if (!options_.fixture) return launch(index);
        t.unitStaysOn = false;
        probe(index);
    } else if (again && options_.fixture) {
        t.unitStaysOn = true;
        t.silentProbes = 0;
        QTimer::singleShot(kProbeEveryMs, this, [this, index] { probe(index); });
    }
    if (t.present && !finishing_ && !options_.fixture)
        ports_[static_cast<size_t>(index)].note = "unplug the adapter for the next unit";
    checkFinished();
}

void Station::probe(int index) {
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    if (!t.present || t.unit || t.probing || finishing_) return;
    t.probing = true;
    auto* probe = new PromptProbe(ports_[static_cast<size_t>(index)].adapter.device,
                                  static_cast<uint32_t>(baud_), prompts_, kProbeAnswerMs, this);
    connect(probe, &PromptProbe::done, this, [this, index](bool answered) { probed(index, answered); });
}

void Station::probed(int index, bool answered) {
    Tracked& t = *tracked_[static_cast<size_t>(index)];
    t.probing = false;
    if (!t.present || t.unit || finishing_) return;
    if (!t.unitStaysOn && answered) {
        say(index, "a unit answers");
        return launch(index);
    }
    if (t.unitStaysOn) {
        t.silentProbes = answered ? 0 : t.silentProbes + 1;
        if (t.silentProbes >= kSilentProbesForRemoval) {
            t.unitStaysOn = false;
            ports_[static_cast<size_t>(index)].state = StationPort::State::Waiting;
            say(index, "the unit was taken away; waiting for the next");
        }
    }
    QTimer::singleShot(kProbeEveryMs, this, [this, index] { probe(index); });
}

void Station::finishRunning() {
    if (finishing_) return;
    finishing_ = true;
    for (size_t i = 0; i < ports_.size(); ++i)
        if (ports_[i].state == StationPort::State::Waiting)
            say(static_cast<int>(i), "not flashed: the station is stopping");
    checkFinished();
}

void Station::stopRunning(int signal) {
    finishRunning();
    const bool again = stopping_;
    stopping_ = true;
    for (auto& t : tracked_) {
        if (!t->unit || t->unit->reaped) continue;
        if (again)
            ::kill(t->unit->pid, SIGKILL);
        else
            t->unit->stopped = StopSignalPipe::passOn(t->unit->pid, signal);
    }
    if (!again)
        QTimer::singleShot(kStopGraceMs, this, [this] {
            for (auto& t : tracked_)
                if (t->unit && !t->unit->reaped) ::kill(t->unit->pid, SIGKILL);
        });
}

int Station::exitCode() const {
    if (anyFailed_) return kExitFailed;
    return lostRecords_.empty() ? kExitCompleted : kExitRecordIncomplete;
}

void Station::checkFinished() {
    if (running() > 0) return;
    bool done = finishing_;
    if (options_.once) {
        done = true;
        for (size_t i = 0; i < ports_.size(); ++i) {
            const Tracked& t = *tracked_[i];
            if (t.presentAtStart && t.present && ports_[i].units == 0) done = false;
        }
    }
    // Queued: the caller may not have entered its event loop yet.
    if (!done || finishedSaid_) return;
    finishedSaid_ = true;
    QMetaObject::invokeMethod(this, &Station::finished, Qt::QueuedConnection);
}

} // namespace brimwell::cli
