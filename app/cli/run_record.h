// The run record of "brimwell run --report FILE" and of the record store: what a production line
// keeps as its flashing record of a unit (who ran it where, files, checksums, timings, the unit's
// answers, every text the operator would have seen, the outcome), one JSON object per unit. Names
// are kept byte for byte (serial/shown_text.h).
#pragma once

#include "script/script_host.h"

#include <QJsonArray>
#include <QJsonObject>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace brimwell::cli {

class RunRecord {
  public:
    // Starts the record now; `port` as the user named it.
    RunRecord(const std::string& script, const std::string& port);

    // The device the port name led to, and the USB adapter's identity when it is one.
    void setDevice(const std::string& device);
    // A _QC query and what the unit answered; the unit's last line; the operator's --tag pairs.
    void addAnswer(const std::string& query, const std::string& answer);
    void setLastAnswer(const std::string& answer);
    void setTags(const std::vector<std::pair<std::string, std::string>>& tags);
    // Bytes of the current data file that went to the unit.
    void addBytesSent(int bytes) { bytesSent_ += bytes; }
    // A text with its time; `kind` is "message" (a message box), "status" or "note" (the runner's own).
    void addText(const char* kind, const std::string& text);
    // A message box: a "message" text; the first failure among them is the record's "failure".
    void addMessage(const script::RunError& message);
    void addDataFile(const script::DataFileResult& file);
    // Ends the record: the exit status, the outcome word and the line that said how the run ended.
    void finish(int exitCode, const std::string& outcome, const std::string& summary);

    const QJsonObject& json() const { return record_; }

  private:
    QJsonObject record_;
    QJsonArray files_, texts_, answers_;
    std::optional<QString> firstFailure_;
    qint64 bytesSent_ = 0;
};

// "completed", "failed", "stopped" or "setup-error", from the runner's exit status.
std::string outcomeOf(int exitCode, bool stopRequested);

} // namespace brimwell::cli
