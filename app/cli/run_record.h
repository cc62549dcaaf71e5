// The run record of "brimwell run --report FILE": what a production line keeps as its flashing
// record of a unit (files, checksums, timings, every text the operator would have seen, the
// outcome), one JSON object per unit.
#pragma once

#include "script/script_host.h"

#include <QJsonArray>
#include <QJsonObject>

#include <string>

namespace brimwell::cli {

class RunRecord {
  public:
    // Starts the record now; `port` as the user named it.
    RunRecord(const std::string& script, const std::string& port);

    void setDevice(const std::string& device);
    // A text with its time; `kind` is "message" (a message box), "status" or "note" (the runner's own).
    void addText(const char* kind, const std::string& text);
    void addDataFile(const script::DataFileResult& file);
    // Ends the record: the exit status, the outcome word and the line that said how the run ended.
    void finish(int exitCode, const std::string& outcome, const std::string& summary);

    const QJsonObject& json() const { return record_; }

  private:
    QJsonObject record_;
    QJsonArray files_, texts_;
};

// "completed", "failed", "stopped" or "setup-error", from the runner's exit status.
std::string outcomeOf(int exitCode, bool stopRequested);

// Why a file of the run (report, trace, log) could not be written to `path` (a directory, its
// directory missing or not writable); empty when it could. Asked before any unit is flashed, so
// that no unit goes without its record.
std::string outputFileProblem(const std::string& path);

// Writes {"units": [...]} to `path` through a temporary file, so that a record on disk is always whole.
bool writeReport(const std::string& path, const QJsonArray& units, std::string& error);

} // namespace brimwell::cli
