// The parent of a parallel run: one child brimwell per unit, its output and events read through
// pipes, a progress line per unit (in place on a terminal, else one line per event), a summary.
#include "app/cli/fleet_run.h"

#include "app/cli/run_record.h"
#include "app/cli/run_store.h"
#include "app/cli/stop_signals.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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

struct Unit {
    std::string port;
    pid_t pid = -1;
    // The child's standard output and error, each shown on ours, and its events ("file",
    // "progress", "record"); -1 once ended.
    enum Stream { kOut, kErr, kEvents, kStreams };
    int fds[kStreams] = {-1, -1, -1};
    std::string partial[kStreams];
    std::string file, lastText;
    int step = 0, maximum = 0;
    QJsonObject record; // the child's own, once it sent it
    bool reaped = false;
    bool stopped = false; // the parent asked it to stop
    int status = 0;
    rusage usage{};
    Clock::time_point start, end;
    RunRecord fallback; // what the parent saw, for a child that sent no record

    Unit(const std::string& script, const std::string& p) : port(p), fallback(script, p) {}
    // The unit passed, whether or not its own trace and log could be written.
    bool succeeded() const {
        // A unit whose record could not be stored passed all the same.
        return reaped && WIFEXITED(status) &&
               (WEXITSTATUS(status) == kExitCompleted || WEXITSTATUS(status) == kExitRecordIncomplete) &&
               record.value("outcome").toString() == "completed";
    }
    bool recordIncomplete() const { return succeeded() && WEXITSTATUS(status) == kExitRecordIncomplete; }
};

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// The path of this very program. A unit is started by it so that it goes by the program's name (a
// port's holder is reported by that name); empty when it cannot be read (then /proc/self/exe).
std::string ownPath() {
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string();
}

bool spawn(Unit& u, const RunOptions& options, char* program, const std::string& self) {
    int pipes[Unit::kStreams][2];
    for (int i = 0; i < Unit::kStreams; ++i) {
        if (::pipe2(pipes[i], O_CLOEXEC) == 0) continue;
        while (i-- > 0)
            closeFd(pipes[i][0]), closeFd(pipes[i][1]);
        return false;
    }
    const int eventFd = pipes[Unit::kEvents][1];
    std::vector<std::string> args{program, "run",      options.script,         "--port",
                                  u.port,  "--events", std::to_string(eventFd)};
    if (options.baud) args.insert(args.end(), {"--baud", std::to_string(*options.baud)});
    if (options.settings) args.insert(args.end(), {"--settings", *options.settings});
    if (!options.records.empty()) args.insert(args.end(), {"--records", options.records});
    for (const auto& [key, value] : options.tags)
        args.insert(args.end(), {"--tag", key + "=" + value});
    if (options.force) args.push_back("--force");
    const std::string suffix = "." + portFileSuffix(u.port);
    if (!options.traceFile.empty()) args.insert(args.end(), {"--trace", options.traceFile + suffix});
    if (!options.logFile.empty()) args.insert(args.end(), {"--log", options.logFile + suffix});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    u.start = Clock::now();
    const pid_t parent = ::getpid();
    u.pid = ::fork();
    if (u.pid == 0) {
        // A group of its own: the terminal's Ctrl+C goes to the parent, which stops every unit alike.
        ::setpgid(0, 0);
        // A unit nobody reports on must not be flashed on unwatched: a parent that dies stops it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(kExitFailed);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::dup2(pipes[Unit::kOut][1], STDOUT_FILENO);
        ::dup2(pipes[Unit::kErr][1], STDERR_FILENO);
        ::fcntl(eventFd, F_SETFD, 0);
        StopSignalPipe::resetInChild();
        if (!self.empty()) ::execv(self.c_str(), argv.data());
        ::execv("/proc/self/exe", argv.data());
        std::fprintf(stderr, "brimwell run: cannot start the run for %s: %s\n", u.port.c_str(),
                     std::strerror(errno));
        ::_exit(127);
    }
    for (int i = 0; i < Unit::kStreams; ++i) {
        closeFd(pipes[i][1]);
        u.fds[i] = pipes[i][0];
        if (u.pid < 0) closeFd(u.fds[i]);
    }
    return u.pid > 0;
}

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
        if (line.rfind("record ", 0) == 0) {
            u.record = QJsonDocument::fromJson(QByteArray::fromStdString(line.substr(7))).object();
        } else if (line.rfind("file ", 0) == 0) {
            u.file = line.substr(5);
            u.step = 0;
        } else if (std::sscanf(line.c_str(), "progress %d %d", &u.step, &u.maximum) == 2) {
            changed_ = true;
        }
    }

    void redraw(bool force = false) {
        if (!interactive_ || (!changed_ && !force)) return;
        const auto now = Clock::now();
        if (!force && now - lastDraw_ < kRedrawEvery) return;
        if (drawn_) std::printf("\x1b[%zuA", units_.size());
        for (const Unit& u : units_) {
            std::string state = u.reaped ? (u.succeeded() ? "done" : "FAILED") : "";
            if (state.empty() && u.maximum > 0)
                state = std::to_string(std::min(u.step, u.maximum) * 100 / u.maximum) + "%";
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

// Reads what is there; false at end of file.
bool readLines(int fd, std::string& partial, const std::function<void(const std::string&)>& line) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    if (n <= 0) {
        if (!partial.empty()) line(partial);
        partial.clear();
        return false;
    }
    partial.append(buf, static_cast<size_t>(n));
    for (size_t nl; (nl = partial.find('\n')) != std::string::npos; partial.erase(0, nl + 1))
        line(partial.substr(0, nl));
    return true;
}

// For a unit that sent no record: how its process ended.
std::string endWithoutRecord(const Unit& u) {
    if (WIFSIGNALED(u.status))
        return "the unit's process ended by signal " + std::to_string(WTERMSIG(u.status));
    return "the unit's process ended without a record (exit " + std::to_string(WEXITSTATUS(u.status)) + ")";
}

std::string outcomeWord(const Unit& u) {
    if (!u.record.isEmpty()) return u.record.value("outcome").toString().toStdString();
    // Only the signals of a stop count as stopped; any other that ended the unit is a crash.
    const int sig = WIFSIGNALED(u.status) ? WTERMSIG(u.status) : 0;
    if (sig != 0 && !(u.stopped && (sig == SIGTERM || sig == SIGKILL))) return "crashed";
    if (u.stopped) return "stopped";
    return "failed";
}

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
        const std::string result =
            u.record.isEmpty() ? endWithoutRecord(u) : u.record.value("summary").toString().toStdString();
        const std::string fileCount = std::to_string(good) + "/" + std::to_string(files.size());
        std::printf("%-*s  %-11s  %-5s  %7.1fs  %s\n", static_cast<int>(width), u.port.c_str(),
                    outcomeWord(u).c_str(), fileCount.c_str(),
                    std::chrono::duration<double>(u.end - u.start).count(), result.c_str());
    }
    std::fflush(stdout);
}

QJsonObject reportOf(Unit& u) {
    QJsonObject r = u.record;
    if (r.isEmpty()) {
        // The child died before it could say anything about itself: what the parent saw stands in.
        const int code = WIFEXITED(u.status) ? WEXITSTATUS(u.status) : 128 + WTERMSIG(u.status);
        u.fallback.finish(code, outcomeWord(u), endWithoutRecord(u));
        r = u.fallback.json();
    }
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    r["cpu_seconds"] = seconds(u.usage.ru_utime) + seconds(u.usage.ru_stime);
    return r;
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
    const std::string self = ownPath();
    for (Unit& u : units) {
        if (!spawn(u, options, program, self)) {
            u.reaped = true;
            u.status = 127 << 8;
            u.end = u.start;
            u.fallback.addText("note", std::string("cannot start its process: ") + std::strerror(errno));
        }
    }

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
            const bool more = readLines(u->fds[stream], u->partial[stream], [&](const std::string& l) {
                if (stream == Unit::kEvents)
                    view.event(*u, l);
                else
                    view.output(*u, l, stream == Unit::kOut ? stdout : stderr);
            });
            if (!more) closeFd(u->fds[stream]);
        }
        for (Unit& u : units) {
            // Reaped only after its pipes ended, so nothing it wrote is lost.
            if (u.reaped || std::any_of(std::begin(u.fds), std::end(u.fds), [](int fd) { return fd >= 0; }))
                continue;
            if (::wait4(u.pid, &u.status, WNOHANG, &u.usage) == u.pid) {
                u.reaped = true;
                u.end = Clock::now();
            }
        }
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
        QJsonObject r = reportOf(u);
        // A unit that died before it could record itself is recorded from what the parent saw.
        if (store && u.record.isEmpty()) storeRun(r, *store);
        if (r.contains("record_lost"))
            lostRecords +=
                (lostRecords.empty() ? "" : "; ") + u.port + ": " + r["record_lost"].toString().toStdString();
        else if (u.recordIncomplete()) // the unit said which of its files it could not write
            lostRecords += (lostRecords.empty() ? "" : "; ") + u.port + ": its trace or log";
        records.append(r);
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
