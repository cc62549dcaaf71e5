// The parent of a parallel run: one child brimwell per unit, its output and events read through
// pipes, a progress line per unit (in place on a terminal, else one line per event), a summary.
#include "app/cli/fleet_run.h"

#include "app/cli/run_store.h"
#include "app/cli/stop_signals.h"
#include "app/cli/unit_process.h"

#include <QJsonArray>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace brimwell::cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 100;
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
// After SIGTERM a unit finishes the block in progress and closes its port; one that is still
// there after this long is killed.
constexpr auto kStopGrace = std::chrono::seconds(20);
constexpr size_t kDefaultColumns = 80;

struct Unit : UnitProcess {
    using UnitProcess::UnitProcess;
    std::string lastText;
};

class FleetView {
  public:
    FleetView(std::vector<Unit>& units, bool interactive) : units_(units), interactive_(interactive) {
        for (const Unit& u : units)
            width_ = std::max(width_, u.port.size());
    }

    void output(Unit& u, const std::string& line, std::FILE* stream) {
        u.fallback.addText("output", line);
        // The unit's line shows its progress itself; a progress text there would only repeat it.
        if (line.find_first_not_of(' ') != std::string::npos && line.rfind("Progress ", 0) != 0)
            u.lastText = line;
        if (!interactive_) {
            std::fprintf(stream, "%s: %s\n", u.port.c_str(), line.c_str());
            std::fflush(stream);
        }
        changed_ = true;
    }

    void event(Unit& u, const std::string& line) {
        if (u.takeEvent(line)) changed_ = true;
    }

    void redraw(bool force = false) {
        if (!interactive_ || (!changed_ && !force)) return;
        const auto now = Clock::now();
        if (!force && now - lastDraw_ < kRedrawEvery) return;
        if (drawn_) std::printf("\x1b[%zuA", units_.size());
        for (const Unit& u : units_) {
            std::string state = u.reaped ? (u.succeeded() ? "done" : "FAILED") : "";
            if (state.empty() && u.percent() >= 0) state = std::to_string(u.percent()) + "%";
            char line[512];
            std::snprintf(line, sizeof line, "%-*s %6s  %s", static_cast<int>(width_), u.port.c_str(),
                          state.c_str(), u.lastText.c_str());
            // A line the terminal wraps would throw off the count of lines to go back up.
            std::printf("\r\x1b[K%s\n", std::string(line).substr(0, columns() - 1).c_str());
        }
        std::fflush(stdout);
        drawn_ = true;
        changed_ = false;
        lastDraw_ = now;
    }

    void note(const std::string& text) {
        redraw(true);
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
        drawn_ = false; // the note sits below the lines; they are drawn afresh underneath
    }

  private:
    static size_t columns() {
        winsize ws{};
        return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col : kDefaultColumns;
    }

    std::vector<Unit>& units_;
    bool interactive_;
    size_t width_ = 4;
    bool drawn_ = false, changed_ = true;
    Clock::time_point lastDraw_{};
};

void printSummary(const std::vector<Unit>& units) {
    size_t width = 4;
    for (const Unit& u : units)
        width = std::max(width, u.port.size());
    std::printf("\n%-*s  %-11s  %-5s  %8s  %s\n", static_cast<int>(width), "PORT", "OUTCOME", "FILES", "TIME",
                "RESULT");
    for (const Unit& u : units) {
        const QJsonArray files = u.record.value("files").toArray();
        const auto good = std::count_if(files.begin(), files.end(), [](const QJsonValue& f) {
            return f.toObject().value("outcome").toString() == "completed";
        });
        const std::string fileCount = std::to_string(good) + "/" + std::to_string(files.size());
        std::printf("%-*s  %-11s  %-5s  %7.1fs  %s\n", static_cast<int>(width), u.port.c_str(),
                    u.outcomeWord().c_str(), fileCount.c_str(),
                    std::chrono::duration<double>(u.end - u.start).count(), u.summary().c_str());
    }
    std::fflush(stdout);
}

} // namespace

std::string portFileSuffix(const std::string& port) {
    std::string s;
    for (char c : port) {
        const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
        if (keep)
            s.push_back(c);
        else if (!s.empty() && s.back() != '_')
            s.push_back('_');
    }
    while (!s.empty() && s.back() == '_')
        s.pop_back();
    return s.empty() ? "port" : s;
}

int runFleet(const RunOptions& options, char* program, const std::optional<records::StoreLocation>& store,
             RunOutputs& outputs) {
    std::vector<std::string> suffixes;
    for (const std::string& p : options.ports) {
        const std::string s = portFileSuffix(p);
        if ((!options.traceFile.empty() || !options.logFile.empty()) &&
            std::find(suffixes.begin(), suffixes.end(), s) != suffixes.end()) {
            std::fprintf(stderr, "brimwell run: two ports give their trace and log the same name (.%s)\n",
                         s.c_str());
            return kExitSetup;
        }
        suffixes.push_back(s);
    }

    StopSignalPipe stops;
    if (!stops.ok()) return kExitSetup;

    std::vector<Unit> units;
    units.reserve(options.ports.size());
    for (const std::string& p : options.ports) {
        units.emplace_back(options.script, p);
        units.back().fallback.setTags(options.tags);
    }
    FleetView view(units, ::isatty(STDOUT_FILENO) == 1);
    for (Unit& u : units)
        u.launch(options, program);

    bool stopping = false;
    Clock::time_point killAt{};
    auto running = [&] {
        return std::any_of(units.begin(), units.end(), [](const Unit& u) { return !u.reaped; });
    };
    while (running()) {
        std::vector<pollfd> fds{{stops.readFd(), POLLIN, 0}};
        std::vector<std::pair<Unit*, int>> owners{{nullptr, 0}};
        for (Unit& u : units)
            for (int k = 0; k < Unit::kStreams; ++k)
                if (u.fds[k] >= 0) fds.push_back({u.fds[k], POLLIN, 0}), owners.emplace_back(&u, k);
        ::poll(fds.data(), fds.size(), kPollMs);
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto [u, stream] = owners[i];
            if (!u) {
                const std::string received = stops.take();
                const size_t interrupts = received.size();
                if (!stopping && !received.empty()) {
                    view.note("Stopping every unit: the transfers end after the block in progress.");
                    // Each unit names the stop as the operator gave it (Ctrl+C, not SIGTERM).
                    for (Unit& each : units)
                        if (!each.reaped)
                            each.stopped =
                                StopSignalPipe::passOn(each.pid, static_cast<unsigned char>(received[0]));
                    stopping = true;
                    killAt = Clock::now() + kStopGrace;
                } else if (interrupts > 0) {
                    killAt = Clock::now(); // asked again: no more waiting
                }
                continue;
            }
            u->readStream(stream, [&](const std::string& l) {
                if (stream == Unit::kEvents)
                    view.event(*u, l);
                else
                    view.output(*u, l, stream == Unit::kOut ? stdout : stderr);
            });
        }
        for (Unit& u : units)
            u.reap();
        if (stopping && Clock::now() >= killAt)
            for (Unit& u : units)
                if (!u.reaped) ::kill(u.pid, SIGKILL);
        view.redraw();
    }
    view.redraw(true);

    printSummary(units);
    QJsonArray records;
    std::string lostRecords;
    for (Unit& u : units) {
        std::string lost;
        records.append(u.finalReport(store, lost));
        if (!lost.empty()) lostRecords += (lostRecords.empty() ? "" : "; ") + u.port + ": " + lost;
    }
    // As for one unit: set-up errors alone (every unit's port missing, say) are the set-up's fault.
    const auto failed =
        std::count_if(units.begin(), units.end(), [](const Unit& u) { return !u.succeeded(); });
    const auto setupErrors = std::count_if(units.begin(), units.end(), [](const Unit& u) {
        return u.reaped && WIFEXITED(u.status) && WEXITSTATUS(u.status) == kExitSetup;
    });
    outputs.writeReport(records);
    if (!outputs.lost().empty()) lostRecords += (lostRecords.empty() ? "" : "; ") + outputs.lost();
    if (failed == 0) return exitWithRecord(kExitCompleted, lostRecords);
    return exitWithRecord(failed == setupErrors ? kExitSetup : kExitFailed, lostRecords);
}

} // namespace brimwell::cli
