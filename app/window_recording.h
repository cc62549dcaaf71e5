// The window's script runs in the record store that $BRIMWELL_RECORDS names, kept as "brimwell run"
// keeps them; nothing is recorded when the variable is not set.
#pragma once

#include "app/cli/run_record.h"
#include "records/store_location.h"

#include <memory>
#include <optional>
#include <string>

namespace brimwell::app {

class WindowHost;

// Lives for one run: starts its record, and when the run is over stores it. A record that could
// not be stored is said in a box (the unit's verdict stands); it waits as JSON beside the store.
class WindowRecording {
  public:
    WindowRecording(WindowHost& host, const std::string& script, const std::string& port,
                    const std::string& device);
    ~WindowRecording();
    WindowRecording(const WindowRecording&) = delete;
    WindowRecording& operator=(const WindowRecording&) = delete;

    // A run of the Upload button alone (no script ran): the one data file it sent, and whether
    // the upload went through.
    void uploadEnded(const script::DataFileResult& file);

  private:
    WindowHost& host_;
    std::optional<records::StoreLocation> store_;
    std::unique_ptr<cli::RunRecord> record_;
    int errorsBefore_ = 0;
    std::optional<bool> uploaded_; // set for a run of the Upload button
};

} // namespace brimwell::app
