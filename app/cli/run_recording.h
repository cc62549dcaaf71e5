// The files a command-line run writes for its record: "--report FILE" (the run record as JSON),
// "--trace FILE" and "--log FILE" (the port's trace and dispatch log, recorded over the whole
// script run and written when the port closes, however the run ended), under the output policy.
#pragma once

#include "app/cli/cli_host.h"
#include "app/cli/cli_options.h"
#include "app/cli/output_file.h"
#include "serial/component/com_port.h"

#include <QJsonArray>

#include <memory>
#include <string>

namespace brimwell::cli {

class RunOutputs {
  public:
    explicit RunOutputs(const RunOptions& options);

    // Before the port opens: why one of them cannot be written, as "cannot write the trace FILE:
    // reason" ("" when every one can). `inputs` are the run's own files, which no output may be.
    std::string problem(const RunInputs& inputs) const;

    // Before the port opens: the recorders' largest sizes, the files they write first, the device
    // as the user named it. False with the reason when a file for them cannot be made.
    bool prepareRecording(serial::ComPort& port, std::string& error);
    // The run's port is open: both recorders start empty.
    void startRecording(serial::ComPort& port);
    // Closes the port, which writes both recorders, and puts their files in place; a file that
    // cannot be written is noted and counts as lost().
    void closeRecordedPort(serial::ComPort& port, CliHost& host);
    // Writes the run record; a failure counts as lost().
    void writeReport(const QJsonArray& units);

    // "cannot write the WHAT FILE: reason" for every file that was not written, joined by "; ".
    const std::string& lost() const { return lost_; }

  private:
    void lose(const std::string& error);

    std::string label_;
    std::unique_ptr<OutputFile> report_, trace_, log_;
    std::string lost_;
};

} // namespace brimwell::cli
