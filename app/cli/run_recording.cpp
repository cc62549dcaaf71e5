// The record files of a command-line run.
#include "app/cli/run_recording.h"

#include "serial/port_names.h"
#include "serial/shown_text.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <exception>

namespace brimwell::cli {
namespace {

std::unique_ptr<OutputFile> outputFor(const char* what, const std::string& path) {
    return path.empty() ? nullptr : std::make_unique<OutputFile>(what, path);
}

} // namespace

RunOutputs::RunOutputs(const RunOptions& options)
    : label_(!options.port.empty() && !serial::comNumberOf(options.port) ? options.port : std::string()),
      report_(outputFor("report", options.reportFile)), trace_(outputFor("trace", options.traceFile)),
      log_(outputFor("log", options.logFile)) {}

std::string RunOutputs::problem(const RunInputs& inputs) const {
    const OutputFile* all[] = {report_.get(), trace_.get(), log_.get()};
    for (const OutputFile* out : all) {
        if (out == nullptr) continue;
        if (const std::string why = out->problem(inputs); !why.empty())
            return "cannot write the " + out->what() + " " + serial::escapeFileName(out->path()) + ": " + why;
        // Two of them in one file would leave only the one written last.
        for (const OutputFile* other : all)
            if (other != nullptr && other != out && out->sameFileAs(*other))
                return "cannot write the " + out->what() + " " + serial::escapeFileName(out->path()) +
                       ": it is also the " + other->what() + " file";
    }
    return {};
}

bool RunOutputs::prepareRecording(serial::ComPort& port, std::string& error) {
    if (!trace_ && !log_) return true;
    // A whole upload of a few hundred kilobytes fits in either at the largest sizes.
    port.setTraceSize(serial::kTraceSizeLimit);
    port.setLogSize(serial::kLogSizeLimit);
    for (auto& [out, setName] : {std::pair{trace_.get(), &serial::ComPort::setTraceName},
                                 std::pair{log_.get(), &serial::ComPort::setLogName}}) {
        if (out == nullptr) continue;
        const std::string staged = out->staging(error);
        if (staged.empty()) return false;
        (port.*setName)(staged);
    }
    if (!label_.empty()) port.setDeviceLabel(label_);
    return true;
}

void RunOutputs::startRecording(serial::ComPort& port) {
    if (trace_) port.setTracing(serial::TraceLogState::On);
    if (log_) port.setLogging(serial::TraceLogState::On);
}

void RunOutputs::closeRecordedPort(serial::ComPort& port, CliHost& host) {
    std::string error;
    try {
        port.setOpen(false);
    } catch (const std::exception& e) {
        // The close itself went through; only a file is missing.
        error = std::string("cannot write the trace or log: ") + e.what();
        lose(error);
        host.note("brimwell run: " + error);
    }
    for (OutputFile* out : {trace_.get(), log_.get()}) {
        if (out != nullptr && !out->commit(error)) {
            lose(error);
            host.note("brimwell run: " + error);
        }
    }
}

void RunOutputs::lose(const std::string& error) {
    lost_ += (lost_.empty() ? "" : "; ") + error;
}

void RunOutputs::writeReport(const QJsonArray& units) {
    if (!report_) return;
    const QByteArray doc = QJsonDocument(QJsonObject{{"units", units}}).toJson(QJsonDocument::Indented);
    std::string error;
    if (!report_->write(std::string_view(doc.constData(), static_cast<std::size_t>(doc.size())), error)) {
        lose(error);
        std::fprintf(stderr, "brimwell run: %s\n", error.c_str());
    }
}

} // namespace brimwell::cli
