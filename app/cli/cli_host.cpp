// Command-line host of the script engine.
#include "app/cli/cli_host.h"

#include "serial/shown_text.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace brimwell::cli {
namespace {
constexpr int kBarWidth = 40;
}

CliHost::CliHost(std::FILE* progressOut, std::FILE* messageOut, bool interactive)
    : progress_(progressOut), messages_out_(messageOut), interactive_(interactive) {}

void CliHost::printLine(const std::string& text) {
    endBar(); // a message must not land in the middle of the bar's line
    std::fprintf(messages_out_, "%s\n", text.c_str());
    std::fflush(messages_out_);
}

void CliHost::note(const std::string& text) {
    if (record_) record_->addText("note", text);
    printLine(text);
}

void sendEvent(int fd, const std::string& line) {
    if (fd < 0) return;
    const std::string l = line + "\n";
    // A parent that went away must not stop the run: its unit is still being flashed.
    for (size_t at = 0; at < l.size();) {
        const ssize_t n = ::write(fd, l.data() + at, l.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        at += static_cast<size_t>(n);
    }
}

void CliHost::event(const std::string& line) const {
    sendEvent(eventFd_, line);
}

void CliHost::dataFileDone(const script::DataFileResult& result) {
    files_.push_back(result);
    if (record_) record_->addDataFile(result);
}

void CliHost::noteDataFiles(double lineBytesPerSecond, const std::string& lineRate) {
    for (const script::DataFileResult& f : files_) {
        std::string line =
            "Data file " + serial::escapeFileName(f.fileName) + ": " + std::to_string(f.fileSize) + " bytes";
        char figures[160];
        if (f.dataPhaseSeconds > 0) {
            const double rate = f.fileSize / f.dataPhaseSeconds;
            std::snprintf(figures, sizeof figures, " in %.3f s, %.0f bytes/s", f.dataPhaseSeconds, rate);
            line += figures;
            if (lineBytesPerSecond > 0) {
                std::snprintf(figures, sizeof figures, ", %.0f%% of the line rate (%s)",
                              100 * rate / lineBytesPerSecond, lineRate.c_str());
                line += figures;
            }
        } else {
            line += ", none sent";
        }
        note(line + (f.succeeded ? "; completed" : "; failed: " + f.failure));
    }
}

void CliHost::report(const script::RunError& message) {
    const std::string& text = message.text;
    messages_.push_back(text);
    if (message.failure() && !firstFailure_) firstFailure_ = text;
    if (record_) record_->addMessage(message);
    // Message texts may carry a carriage return ("Error opening FILE.\r"); on a line it would
    // only move the cursor back, so it is left out.
    std::string line;
    for (char c : text)
        if (c != '\r') line.push_back(c == '\n' ? ' ' : c);
    printLine(line);
}

void CliHost::setStatusText(const std::string& text) {
    // The window clears its status bar with a single blank; there is nothing to print for that.
    if (text.find_first_not_of(' ') == std::string::npos) return;
    if (record_) record_->addText("status", text);
    printLine("Status: " + text);
}

void CliHost::processEvents() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CliHost::showProgress(const script::ProgressInfo& info) {
    info_ = info;
    showing_ = true;
    step_ = 0;
    lastReportedTenth_ = -1;
    event("file " + info.fileName);
    // Every block that goes out is counted, the short last one too.
    std::fprintf(progress_, "Upload %s: %s bytes, checksum %s, load address %s, %d block%s\n",
                 info.fileName.c_str(), info.fileSizeText.c_str(), info.checksumText.c_str(),
                 info.loadAddressText.c_str(), info.blocks, info.blocks == 1 ? "" : "s");
    std::fflush(progress_);
    if (interactive_) drawBar();
}

void CliHost::stepProgress() {
    if (!showing_) return;
    ++step_;
    const int maximum = std::max(1, info_.blocks);
    const int shown = std::min(step_, maximum); // steps beyond the maximum leave the bar full
    event("progress " + std::to_string(shown) + " " + std::to_string(maximum));
    if (interactive_) {
        drawBar();
        return;
    }
    const int tenth = shown * 10 / maximum;
    if (tenth != lastReportedTenth_) {
        lastReportedTenth_ = tenth;
        std::fprintf(progress_, "Progress %s: block %d of %d (%d%%)\n", info_.fileName.c_str(), shown,
                     maximum, shown * 100 / maximum);
        std::fflush(progress_);
    }
}

void CliHost::drawBar() {
    const int maximum = std::max(1, info_.blocks);
    const int shown = std::min(step_, maximum);
    const int filled = shown * kBarWidth / maximum;
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kBarWidth - filled), '-');
    std::fprintf(progress_, "\r[%s] %3d%%  block %d/%d", bar.c_str(), shown * 100 / maximum, shown, maximum);
    std::fflush(progress_);
    barDrawn_ = true;
}

void CliHost::endBar() {
    if (!barDrawn_) return;
    std::fputc('\n', progress_);
    std::fflush(progress_);
    barDrawn_ = false;
}

void CliHost::hideProgress() {
    if (!showing_) return;
    showing_ = false;
    endBar();
    if (!interactive_ && step_ == 0) {
        std::fprintf(progress_, "Progress %s: no block sent\n", info_.fileName.c_str());
        std::fflush(progress_);
    }
}

void CliHost::setPciBoardLabel(bool visible, const std::string& caption) {
    // Which board the next upload goes to, as the progress window's label tells it.
    if (!visible) return;
    std::fprintf(progress_, "%s\n", caption.c_str());
    std::fflush(progress_);
}

} // namespace brimwell::cli
