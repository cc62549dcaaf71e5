// "brimwell station": the station on the command line. On a terminal a header with the counters
// and one line per adapter, redrawn in place; piped, one line per event.
#include "app/cli/station_command.h"

#include "app/cli/cli_main.h"
#include "app/cli/run_store.h"
#include "app/cli/station.h"
#include "app/cli/station_live.h"
#include "app/cli/stop_signals.h"
#include "serial/shown_text.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace brimwell::cli {
namespace {

constexpr int kRedrawEveryMs = 200;
constexpr size_t kDefaultColumns = 80;

std::string clock(const QDateTime& t) {
    return t.toString(QStringLiteral("HH:mm:ss")).toStdString();
}

std::string yieldText(int passed, int failed) {
    if (passed + failed == 0) return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * passed / (passed + failed));
    return text;
}

class StationView {
  public:
    StationView(const Station& station, std::string script, bool interactive)
        : station_(station), script_(std::move(script)), interactive_(interactive),
          since_(QDateTime::currentDateTime()) {
        if (!interactive_) return;
        auto* timer = new QTimer(&timerOwner_);
        QObject::connect(timer, &QTimer::timeout, [this] { redraw(); });
        timer->start(kRedrawEveryMs);
    }

    void event(int index, const QString& text) {
        if (index < 0) return note(text.toStdString());
        changed_ = true;
        if (interactive_) return;
        const StationPort& p = station_.ports()[static_cast<size_t>(index)];
        std::printf("%s %s %s %s\n", clock(QDateTime::currentDateTime()).c_str(), p.adapter.device.c_str(),
                    p.serial().empty() ? "-" : p.serial().c_str(), text.toStdString().c_str());
        std::fflush(stdout);
    }
    void changed() { changed_ = true; }

    // A line of the station's own, above the lines that are redrawn.
    void note(const std::string& text) {
        if (interactive_) erase();
        std::printf("%s %s\n", clock(QDateTime::currentDateTime()).c_str(), text.c_str());
        std::fflush(stdout);
        changed_ = true;
        if (interactive_) redraw();
    }

    void redraw() {
        if (!interactive_ || !changed_) return;
        erase();
        std::vector<std::string> lines{header()};
        for (const StationPort& p : station_.ports()) {
            const std::string percent = p.percent >= 0 ? std::to_string(p.percent) + "%" : "";
            const std::string last =
                p.verdict.empty() ? "" : p.verdict + " " + clock(p.verdictTime) + "  " + p.verdictText;
            char line[1024];
            std::snprintf(line, sizeof line, "%-14s %-12s %-8s %4s  %3d  %s", p.adapter.device.c_str(),
                          p.serial().empty() ? "-" : p.serial().c_str(), p.stateWord(), percent.c_str(),
                          p.units, last.empty() ? p.note.c_str() : last.c_str());
            lines.emplace_back(line);
        }
        for (const std::string& l : lines)
            // A line the terminal wraps would throw off the count of lines to go back up.
            std::printf("\r\x1b[K%s\n", l.substr(0, columns() - 1).c_str());
        std::fflush(stdout);
        drawn_ = lines.size();
        changed_ = false;
    }

    std::string header() const {
        return "station " + serial::escapeFileName(script_) + "  passed " +
               std::to_string(station_.passed()) + "  failed " + std::to_string(station_.failed()) +
               "  yield " + yieldText(station_.passed(), station_.failed()) + "  since " + clock(since_) +
               (station_.finishing() ? "  (stopping: no new units)" : "");
    }

  private:
    void erase() {
        if (drawn_ > 0) std::printf("\x1b[%zuA\x1b[J", drawn_);
        drawn_ = 0;
    }
    static size_t columns() {
        winsize ws{};
        return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col : kDefaultColumns;
    }

    const Station& station_;
    std::string script_;
    bool interactive_;
    QDateTime since_;
    QObject timerOwner_;
    bool changed_ = true;
    size_t drawn_ = 0;
};

int usageError(const std::string& text) {
    std::fprintf(stderr, "brimwell station: %s\n%s", text.c_str(), stationUsage());
    return kExitSetup;
}

} // namespace

int stationMain(int argc, char** argv) {
    StationOptions options;
    std::string error;
    if (!parseStationOptions(argc, argv, options, error)) return usageError(error);
    if (options.help) {
        std::fputs(stationUsage(), stdout);
        return kExitCompleted;
    }
    int qtArgc = 1;
    char* qtArgv[] = {argv[0], nullptr};
    QCoreApplication app(qtArgc, qtArgv);
    records::StoreLocation store;
    RunInputs inputs;
    if (!stationStore(options, store, error)) return usageError(error);
    // A script every unit would refuse is refused once, before any unit is touched.
    if (const std::string problem = scriptProblem(options.run, inputs); !problem.empty()) {
        std::fprintf(stderr, "brimwell station: %s\n", problem.c_str());
        return kExitSetup;
    }
    // As for a run: output nobody reads any more, or a record file at its size limit, must not end
    // the station with units half flashed.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);

    StopSignalPipe stops;
    if (!stops.ok()) return kExitSetup;
    Station station(options, store);
    StationView view(station, options.run.script, ::isatty(STDOUT_FILENO) == 1);
    QObject::connect(&station, &Station::event,
                     [&](int index, const QString& text) { view.event(index, text); });
    QObject::connect(&station, &Station::portChanged, [&] { view.changed(); });
    QObject::connect(&station, &Station::finished, &app, &QCoreApplication::quit);

    int interrupts = 0;
    QSocketNotifier stopNotifier(stops.readFd(), QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
        for (const char c : stops.take()) {
            // A stop a parent passed on acts as SIGTERM.
            const int sig = (c & StopSignalPipe::kPassedOn) != 0 ? SIGTERM : static_cast<unsigned char>(c);
            if (sig == SIGINT && ++interrupts == 1) {
                const int running = station.running();
                view.note(running == 0 ? std::string("Ctrl+C: no new units; none is running.")
                                       : "Ctrl+C: no new units; the " + std::to_string(running) +
                                             " running finish (Ctrl+C again stops them).");
                station.finishRunning();
            } else {
                view.note(std::string("Stopping the running units (") +
                          (sig == SIGINT   ? "Ctrl+C"
                           : sig == SIGHUP ? "SIGHUP"
                                           : "SIGTERM") +
                          "): each ends after the block in progress.");
                station.stopRunning(sig == SIGINT ? SIGINT : sig);
            }
        }
    });

    std::string watched;
    for (const std::string& m : options.matches)
        watched += (watched.empty() ? "" : ", ") + m;
    view.note("Watching " + (watched.empty() ? std::string("every USB serial adapter") : watched) +
              " for units; " + "records go to " + store.url.toStdString() +
              (options.fixture ? "; units are swapped on the adapters" : "") +
              (options.once ? "; ends after the adapters present now" : ""));
    int code = kExitSetup;
    {
        StationLive live(station, store);
        if (!station.start(error)) {
            std::fprintf(stderr, "brimwell station: %s\n", error.c_str());
            return kExitSetup;
        }
        app.exec();
        view.redraw();
        code = station.exitCode();
    }
    std::printf("%s\n", view.header().c_str());
    std::fflush(stdout);
    return exitWithRecord(code == kExitRecordIncomplete ? kExitCompleted : code, station.lostRecords(),
                          "brimwell station");
}

} // namespace brimwell::cli
