// Recording the window's runs.
#include "app/window_recording.h"

#include "app/cli/cli_options.h"
#include "app/cli/run_store.h"
#include "app/window_host.h"

namespace brimwell::app {

WindowRecording::WindowRecording(WindowHost& host, const std::string& script, const std::string& port,
                                 const std::string& device)
    : host_(host) {
    const QString url = records::requestedStoreUrl({});
    if (url.isEmpty()) return;
    QString error;
    store_ = records::parseStoreLocation(url, error);
    if (!store_) {
        host_.report({script::RunPart::Setup,
                      "BRIMWELL_RECORDS: " + error.toStdString() + "\rThis run is not recorded.",
                      script::MessageKind::Warning});
        return;
    }
    record_ = std::make_unique<cli::RunRecord>(script, port);
    if (!device.empty()) record_->setDevice(device);
    errorsBefore_ = host_.errorMessages();
    host_.setRecord(record_.get());
}

void WindowRecording::uploadEnded(const script::DataFileResult& file) {
    uploaded_ = file.succeeded;
    if (record_) record_->addDataFile(file);
}

WindowRecording::~WindowRecording() {
    if (!record_) return;
    host_.setRecord(nullptr);
    // As on the command line: a run that showed an error box did not complete, whatever the script did after.
    const script::RunOutcome outcome = !uploaded_   ? host_.lastOutcome()
                                       : *uploaded_ ? script::RunOutcome::Completed
                                                    : script::RunOutcome::Failed;
    const bool completed = outcome == script::RunOutcome::Completed && host_.errorMessages() == errorsBefore_;
    const std::string word = completed                                ? "completed"
                             : outcome == script::RunOutcome::Stopped ? "stopped"
                                                                      : "failed";
    record_->finish(completed ? cli::kExitCompleted : cli::kExitFailed, word,
                    completed ? "Run completed." : "Run " + word + ".");
    QJsonObject json = record_->json();
    const std::string lost = cli::storeRun(json, *store_);
    if (lost.empty()) return;
    host_.report(
        {script::RunPart::Setup,
         (completed ? "The unit passed; its record is incomplete: " : "The run's record is incomplete: ") +
             lost,
         script::MessageKind::Warning});
}

} // namespace brimwell::app
