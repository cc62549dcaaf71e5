// One unit's run in a "brimwell run" process of its own, as the parent of several units sees it:
// started on its port, its output and events read through pipes, reaped, and its record (the
// child's own, or what the parent saw when the child died without one).
#pragma once

#include "app/cli/cli_options.h"
#include "app/cli/run_record.h"
#include "records/store_location.h"

#include <QJsonObject>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>

namespace brimwell::cli {

struct UnitProcess {
    using Clock = std::chrono::steady_clock;

    std::string port;
    pid_t pid = -1;
    // The child's standard output and error, and its events ("file", "progress", "record"); -1 once
    // ended.
    enum Stream { kOut, kErr, kEvents, kStreams };
    int fds[kStreams] = {-1, -1, -1};
    std::string partial[kStreams];
    std::string file; // the data file being sent
    int step = 0, maximum = 0;
    QJsonObject record; // the child's own, once it sent it
    bool reaped = false;
    bool stopped = false; // the parent asked it to stop
    int status = 0;
    rusage usage{};
    Clock::time_point start, end;
    RunRecord fallback; // what the parent saw, for a child that sent no record

    UnitProcess(const std::string& script, const std::string& p) : port(p), fallback(script, p) {}

    // Starts "brimwell run SCRIPT --port PORT --events FD" with what `options` passes on to every
    // unit (line rate, settings, record store, tags, --force, trace and log as FILE.PORT), from
    // `executable` (empty: this very program), or the program without the window installed beside
    // it, under the name `program`. The child has a process
    // group of its own and is stopped when the parent dies. False (errno set) when it could not be
    // started: then it counts as reaped with exit status 127.
    bool launch(const RunOptions& options, const std::string& program, const std::string& executable = {});
    // Reads what stream `k` holds, passing on each whole line; at its end the stream is closed.
    void readStream(int k, const std::function<void(const std::string&)>& line);
    // Takes one line of the child's events; true when its progress moved.
    bool takeEvent(const std::string& line);
    // Reaps the child once its pipes have ended (so nothing it wrote is lost); true when it did now.
    bool reap();
    void closePipes();
    // Percent of the current data file sent; -1 before the first block.
    int percent() const;

    // The unit passed, whether or not its own trace and log could be written.
    bool succeeded() const;
    bool recordIncomplete() const;
    // completed, failed, stopped, setup-error (the child's record) or crashed.
    std::string outcomeWord() const;
    // The child's summary line, or how its process ended when it sent no record.
    std::string summary() const;
    // The child's record, or the parent's when it sent none, with the process's CPU time. A child
    // that died unrecorded is recorded in `store` from what the parent saw. `lost` says what of the
    // unit's record could not be kept ("" when nothing).
    QJsonObject finalReport(const std::optional<records::StoreLocation>& store, std::string& lost);
};

} // namespace brimwell::cli
