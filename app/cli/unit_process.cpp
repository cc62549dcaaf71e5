// A unit's run in a child brimwell process.
#include "app/cli/unit_process.h"

#include "app/cli/fleet_run.h"
#include "app/cli/run_store.h"
#include "app/cli/stop_signals.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace brimwell::cli {
namespace {

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

// The program a unit's run is started from: the one without the window installed beside `program`
// (bin/../libexec/brimwell/brimwell) when there is one, else `program` itself.
std::string unitProgram(const std::string& program) {
    const size_t slash = program.rfind('/');
    if (slash == std::string::npos) return program;
    const std::string headless = program.substr(0, slash) + "/../libexec/brimwell/brimwell";
    return ::access(headless.c_str(), X_OK) == 0 ? headless : program;
}

// Reads what `fd` holds; `line` gets each whole line. False at end of file (a last partial line is
// passed on first).
bool readLines(int fd, std::string& partial, const std::function<void(const std::string&)>& line);

} // namespace

bool UnitProcess::launch(const RunOptions& options, const std::string& program,
                         const std::string& executable) {
    start = Clock::now();
    int pipes[kStreams][2];
    for (int i = 0; i < kStreams; ++i) {
        if (::pipe2(pipes[i], O_CLOEXEC) == 0) continue;
        const int error = errno;
        while (i-- > 0)
            closeFd(pipes[i][0]), closeFd(pipes[i][1]);
        errno = error;
        reaped = true, status = 127 << 8, end = start;
        return false;
    }
    const int eventFd = pipes[kEvents][1];
    std::vector<std::string> args{program, "run",      options.script,         "--port",
                                  port,    "--events", std::to_string(eventFd)};
    if (options.baud) args.insert(args.end(), {"--baud", std::to_string(*options.baud)});
    if (options.settings) args.insert(args.end(), {"--settings", *options.settings});
    if (!options.records.empty()) args.insert(args.end(), {"--records", options.records});
    for (const auto& [key, value] : options.tags)
        args.insert(args.end(), {"--tag", key + "=" + value});
    if (options.force) args.push_back("--force");
    const std::string suffix = "." + portFileSuffix(port);
    if (!options.traceFile.empty()) args.insert(args.end(), {"--trace", options.traceFile + suffix});
    if (!options.logFile.empty()) args.insert(args.end(), {"--log", options.logFile + suffix});
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const std::string self = unitProgram(executable.empty() ? ownPath() : executable);
    const pid_t parent = ::getpid();
    pid = ::fork();
    if (pid == 0) {
        // A group of its own: the terminal's Ctrl+C goes to the parent, which stops every unit alike.
        ::setpgid(0, 0);
        // A unit nobody reports on must not be flashed on unwatched: a parent that dies stops it.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(kExitFailed);
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::dup2(pipes[kOut][1], STDOUT_FILENO);
        ::dup2(pipes[kErr][1], STDERR_FILENO);
        ::fcntl(eventFd, F_SETFD, 0);
        StopSignalPipe::resetInChild();
        if (!self.empty()) ::execv(self.c_str(), argv.data());
        ::execv("/proc/self/exe", argv.data());
        std::fprintf(stderr, "brimwell run: cannot start the run for %s: %s\n", port.c_str(),
                     std::strerror(errno));
        ::_exit(127);
    }
    const int error = errno;
    for (int i = 0; i < kStreams; ++i) {
        closeFd(pipes[i][1]);
        fds[i] = pipes[i][0];
        if (pid < 0) closeFd(fds[i]);
    }
    if (pid > 0) return true;
    errno = error;
    reaped = true, status = 127 << 8, end = start;
    fallback.addText("note", std::string("cannot start its process: ") + std::strerror(error));
    return false;
}

bool UnitProcess::takeEvent(const std::string& line) {
    if (line.rfind("record ", 0) == 0) {
        record = QJsonDocument::fromJson(QByteArray::fromStdString(line.substr(7))).object();
    } else if (line.rfind("file ", 0) == 0) {
        file = line.substr(5);
        step = 0;
        return true;
    } else if (std::sscanf(line.c_str(), "progress %d %d", &step, &maximum) == 2) {
        return true;
    }
    return false;
}

bool UnitProcess::reap() {
    if (reaped || std::any_of(std::begin(fds), std::end(fds), [](int fd) { return fd >= 0; })) return false;
    if (::wait4(pid, &status, WNOHANG, &usage) != pid) return false;
    reaped = true;
    end = Clock::now();
    return true;
}

void UnitProcess::closePipes() {
    for (int& fd : fds)
        closeFd(fd);
}

int UnitProcess::percent() const {
    return maximum > 0 ? std::min(step, maximum) * 100 / maximum : -1;
}

bool UnitProcess::succeeded() const {
    // A unit whose record could not be stored passed all the same.
    return reaped && WIFEXITED(status) &&
           (WEXITSTATUS(status) == kExitCompleted || WEXITSTATUS(status) == kExitRecordIncomplete) &&
           record.value("outcome").toString() == "completed";
}

bool UnitProcess::recordIncomplete() const {
    return succeeded() && WEXITSTATUS(status) == kExitRecordIncomplete;
}

std::string UnitProcess::outcomeWord() const {
    if (!record.isEmpty()) return record.value("outcome").toString().toStdString();
    // Only the signals of a stop count as stopped; any other that ended the unit is a crash.
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    if (sig != 0 && !(stopped && (sig == SIGTERM || sig == SIGKILL))) return "crashed";
    if (stopped) return "stopped";
    return "failed";
}

std::string UnitProcess::summary() const {
    if (!record.isEmpty()) return record.value("summary").toString().toStdString();
    if (WIFSIGNALED(status)) return "the unit's process ended by signal " + std::to_string(WTERMSIG(status));
    return "the unit's process ended without a record (exit " + std::to_string(WEXITSTATUS(status)) + ")";
}

QJsonObject UnitProcess::finalReport(const std::optional<records::StoreLocation>& store, std::string& lost) {
    QJsonObject r = record;
    if (r.isEmpty()) {
        // The child died before it could say anything about itself: what the parent saw stands in.
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        fallback.finish(code, outcomeWord(), summary());
        r = fallback.json();
    }
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    r["cpu_seconds"] = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    // A unit that died before it could record itself is recorded from what the parent saw.
    if (store && record.isEmpty()) storeRun(r, *store);
    if (r.contains("record_lost"))
        lost = r["record_lost"].toString().toStdString();
    else if (recordIncomplete()) // the unit said which of its files it could not write
        lost = "its trace or log";
    return r;
}

void UnitProcess::readStream(int k, const std::function<void(const std::string&)>& line) {
    if (!readLines(fds[k], partial[k], line)) closeFd(fds[k]);
}

namespace {

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

} // namespace
} // namespace brimwell::cli
