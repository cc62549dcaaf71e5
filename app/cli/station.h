// A production station: each matching serial adapter is flashed by a "brimwell run" of its own as
// it is plugged in (with a test bed, as units are swapped on an adapter that stays), every run
// recorded by its unit's process. "brimwell station" and the Station window show the same core.
#pragma once

#include "app/cli/cli_options.h"
#include "records/store_location.h"
#include "serial/finder/port_finder.h"

#include <QDateTime>
#include <QObject>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace brimwell::cli {

class StationSources;

struct StationOptions {
    RunOptions run; // script, line rate, settings file, record store, tags, --force: each unit's run
    std::vector<std::string> matches; // usb:VID:PID[:SERIAL] or a device glob; none: every USB adapter
    bool once = false;                // end once the adapters present at the start are done
    bool fixture = false;             // units are swapped on adapters that stay plugged in
    bool help = false;
};

// argv[1] is "station". False with a message in `error` for a usage error.
bool parseStationOptions(int argc, char** argv, StationOptions& out, std::string& error);
const char* stationUsage();

// The store the station records into: --records, else $BRIMWELL_RECORDS, else this machine's own
// SQLite store. False with `error` for a malformed name.
bool stationStore(StationOptions& options, records::StoreLocation& store, std::string& error);

// Whether an adapter is one the station is to flash: usb:VID:PID[:SERIAL], or a glob matched
// against its device and its by-id link. No matches: every adapter.
bool matchesAdapter(const std::vector<std::string>& matches, const serial::SerialPortInfo& adapter);

// An adapter's tile: what the station does with it and how its last unit went.
struct StationPort {
    enum class State {
        Waiting,  // for a unit (a test bed's adapter), or for the station to take new units
        Flashing, // a unit's run is under way
        Done,     // the unit's run ended: unplug the adapter (or take the unit away) for the next
        Gone,     // unplugged
    };
    serial::SerialPortInfo adapter;
    State state = State::Waiting;
    int percent = -1;    // of the data file being sent; -1 outside an upload
    std::string file;    // that data file
    std::string verdict; // "passed", "failed" or "stopped" of the last run; "" before the first
    std::string verdictText;
    QDateTime verdictTime;
    int units = 0;    // runs started on it since the station started
    std::string note; // what the station waits for or is doing now, in words

    std::string serial() const { return adapter.serialNumber; }
    const char* stateWord() const; // "waiting", "flashing", "idle", "gone" (the dashboard's words)
};

class Station : public QObject {
    Q_OBJECT
  public:
    // Each unit's run is started from `executable`, the brimwell program (empty: this very program).
    Station(StationOptions options, records::StoreLocation store, std::string executable = {},
            QObject* parent = nullptr);
    ~Station() override;

    // Takes the adapters present and starts watching. False with `error` when no adapter can be
    // watched at all.
    bool start(std::string& error);

    const std::vector<StationPort>& ports() const { return ports_; }
    int passed() const { return passed_; }
    int failed() const { return failed_; }
    // Unit runs under way.
    int running() const;
    bool finishing() const { return finishing_; }

    // No new units; the running ones go on to their end (the first Ctrl+C, the window's Stop).
    void finishRunning();
    // Stops the running units as their own run stops on `signal` (passed on, so that each names
    // the stop as it was given); those still there after a grace time are killed.
    void stopRunning(int signal);
    // What of the runs' records could not be kept ("" when nothing): the exit status's 3.
    const std::string& lostRecords() const { return lostRecords_; }
    // 0 when every run passed, 1 otherwise, 3 when they passed but a record is incomplete.
    int exitCode() const;

  signals:
    // Something of tile `index` changed (its state, progress, verdict).
    void portChanged(int index);
    // A line for the station's log: an adapter came or went, a unit's run started or ended.
    void event(int index, const QString& text);
    // The station has nothing left to do: it was told to finish and no run is left, or --once is done.
    void finished();

  private:
    struct Tracked;
    int indexOf(const serial::SerialPortInfo& adapter);
    void appeared(const serial::SerialPortInfo& adapter, bool atStart);
    void disappeared(const serial::SerialPortInfo& adapter);
    void launch(int index);
    void unitEnded(int index);
    void probe(int index);
    void probed(int index, bool answered);
    void say(int index, const std::string& text);
    void checkFinished();

    StationOptions options_;
    records::StoreLocation store_;
    std::string executable_;
    std::vector<StationPort> ports_;
    std::vector<std::unique_ptr<Tracked>> tracked_; // beside ports_, what the tiles do not show
    std::unique_ptr<StationSources> sources_;
    int passed_ = 0, failed_ = 0;
    bool finishing_ = false, stopping_ = false, anyFailed_ = false, finishedSaid_ = false;
    std::string lostRecords_;
    int baud_ = 0;
    std::string prompts_;
};

} // namespace brimwell::cli
