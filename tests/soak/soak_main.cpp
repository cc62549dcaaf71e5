// The soak: N flashing runs against the unit simulator in one long-running window process (the Pick
// button driven from code, offscreen) and as N command-line runs, with a seeded random fault in one
// run of ten. Every run that reports success must have left an image byte-identical to its data
// file, and every faulted run must report failure; the window process must not gather descriptors,
// threads or memory from run 10 on.
//   brimwell-soak N [SEED]      prints BENCH lines; exits 1 when a run broke the rule
#include "app/main_window.h"
#include "app/window_host.h"
#include "serial/component/com_port.h"
#include "serial/time_base.h"
#include "support/event_pump.h"
#include "support/scripted_dialogs.h"
#include "support/sim_process.h"

#include <QAction>
#include <QApplication>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace brimwell;
using namespace brimwell::testing;

namespace {

// Fast enough for 2N runs in half an hour, and the figure the end-to-end fault runs use.
constexpr double kTimeScale = 20;
constexpr int kFaultEvery = 10;
constexpr int kSampleRun = 10; // the window's resources are compared from here to the last run
constexpr size_t kMinImage = 1000;
constexpr size_t kMaxImage = 40000;

// Faults that end a run within seconds: the simulator's option and its value (empty: the option
// alone; none: a data byte inside the image). The prompt delay is far beyond every prompt wait.
struct Fault {
    const char* name;
    const char* option;
    std::optional<std::string> value;
};
const Fault kFaults[] = {
    {"corrupted byte", "--corrupt-at", std::nullopt},
    {"dropped byte", "--drop-at", std::nullopt},
    {"line closed mid-upload", "--disconnect-after", std::nullopt},
    {"loader mode refused", "--stay-normal", ""},
    {"prompt delay", "--prompt-delay", "10000"},
};

struct Run {
    int index = 0;
    const Fault* fault = nullptr;
    std::vector<uint8_t> data;
    std::string dir; // data file, script and the unit's store
    std::vector<std::string> simArgs;
};

// The runs of one soak: which get a fault, and each run's image, all from the seed.
std::vector<Run> planRuns(int n, uint32_t seed, const TempDir& work, const char* side) {
    std::mt19937 rng(seed);
    std::vector<Run> runs(static_cast<size_t>(n));
    int faulted = -1;
    for (int i = 0; i < n; ++i) {
        if (i % kFaultEvery == 0) faulted = i + static_cast<int>(rng() % kFaultEvery);
        Run& r = runs[static_cast<size_t>(i)];
        r.index = i + 1;
        r.data = patternBytes(kMinImage + rng() % (kMaxImage - kMinImage), rng());
        r.dir = work.file(std::string(side) + std::to_string(r.index));
        std::filesystem::create_directories(r.dir + "/store");
        writeFile(r.dir + "/image.bin", r.data);
        writeText(r.dir + "/flash.sld", "_TC \"LOADR^M\"\n_LF " + r.dir + "/image.bin\n_LA 80000000\n_LV " +
                                            std::to_string(r.index) + "\n_LD\n");
        r.simArgs = {"--store", r.dir + "/store"};
        if (i == faulted) {
            r.fault = &kFaults[rng() % std::size(kFaults)];
            const std::string at = std::to_string(1 + rng() % (r.data.size() - 1));
            r.simArgs.push_back(r.fault->option);
            if (r.fault->value != "") r.simArgs.push_back(r.fault->value.value_or(at));
        }
    }
    return runs;
}

struct Tally {
    int runs = 0;
    int falseSuccess = 0; // reported success without the image, or a faulted run that succeeded
    int falseFailure = 0; // a run without a fault that failed
};

// Judges one finished run; prints what broke the rule.
void judge(Tally& t, const Run& r, bool success, const char* side, const std::string& said) {
    ++t.runs;
    const std::string stored = r.dir + "/store/LF_80000000_" + std::to_string(r.index) + ".bin";
    const bool imageGood = readFile(stored) == r.data;
    const char* fault = r.fault ? r.fault->name : "no fault";
    if (success && (r.fault || !imageGood)) {
        ++t.falseSuccess;
        std::printf("soak: %s run %d (%s) reported success; image %s\n", side, r.index, fault,
                    imageGood ? "identical" : "missing or different");
    } else if (!success && !r.fault) {
        ++t.falseFailure;
        std::printf("soak: %s run %d (no fault) failed: %s\n", side, r.index, said.c_str());
    } else if (r.fault) {
        std::printf("soak: %s run %d (%s) failed as it should\n", side, r.index, fault);
    }
    std::fflush(stdout);
}

struct Usage {
    long fds = 0;
    long threads = 0;
    long rssKb = 0;
};

Usage ownUsage() {
    Usage u;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++u.fds;
    std::ifstream status("/proc/self/status");
    for (std::string key; status >> key;) {
        if (key == "Threads:") status >> u.threads;
        if (key == "VmRSS:") status >> u.rssKb;
    }
    return u;
}

bool startSim(SimUnit& sim, const TempDir& work, const Run& r) {
    if (sim.start(work, r.simArgs)) return true;
    std::printf("soak: run %d: the simulator did not start: %s\n", r.index, sim.process.stderrText().c_str());
    return false;
}

// All runs in one window, as an operator would: after each run the unit's line goes (the simulator
// ends), the window lets go of the port, and the next run chooses COM1 again before Pick.
Tally windowRuns(const std::vector<Run>& runs, const TempDir& work, Usage& atSample, Usage& atEnd) {
    Tally t;
    ScriptedDialogs dialogs;
    auto sim = std::make_unique<SimUnit>();
    if (!startSim(*sim, work, runs.front())) return t;
    app::MainWindow form(QString::fromStdString(work.file("LoaderDefault.ini")));
    form.show();
    pumpUntil([&] { return form.startupFinished(); }, 60000);
    for (const Run& r : runs) {
        if (r.index > 1) {
            sim = std::make_unique<SimUnit>();
            if (!startSim(*sim, work, r)) break;
            form.com1Menu->trigger();
        }
        dialogs.messages.clear();
        dialogs.fileToOpen = QString::fromStdString(r.dir + "/flash.sld");
        form.pickButton->click();
        const bool success = form.host().lastOutcome() == script::RunOutcome::Completed &&
                             !dialogs.messages.isEmpty() && dialogs.messages.last() == "Upload Complete.";
        judge(t, r, success, "window", dialogs.messages.join(" | ").toStdString());
        sim->process.stop();
        if (!pumpUntil([&] { return !form.port().isOpen(); }, 10000))
            std::printf("soak: window run %d: the port stayed open after its line went\n", r.index);
        if (r.index == kSampleRun) atSample = ownUsage();
        atEnd = ownUsage();
    }
    return t;
}

Tally commandLineRuns(const std::vector<Run>& runs, const TempDir& work) {
    Tally t;
    writeText(work.file("empty.ini"), "");
    for (const Run& r : runs) {
        SimUnit sim;
        if (!startSim(sim, work, r)) break;
        ChildProcess run;
        run.start(binDir() + "/brimwell",
                  {"run", r.dir + "/flash.sld", "--port", sim.device, "--settings", work.file("empty.ini")},
                  {"BRIMWELL_TIME_SCALE=" + std::to_string(kTimeScale)});
        const int code = run.wait(std::chrono::minutes(5));
        judge(t, r, code == 0, "command-line", "exit " + std::to_string(code) + ": " + run.stderrText());
    }
    return t;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || std::atoi(argv[1]) < kSampleRun) {
        std::fprintf(stderr, "usage: brimwell-soak N [SEED]   (N at least %d)\n", kSampleRun);
        return 2;
    }
    const int n = std::atoi(argv[1]);
    const auto seed = static_cast<uint32_t>(argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1);
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    // The offscreen platform notes every window it cannot raise; hundreds of runs drown the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (!text.startsWith("This plugin does not support")) std::fprintf(stderr, "%s\n", qPrintable(text));
        if (type == QtFatalMsg) std::abort();
    });
    serial::Clock::setScale(kTimeScale);
    TempDir work;
    setenv("BRIMWELL_COM1", work.file("unit").c_str(), 1);
    setenv("BRIMWELL_COM2", work.file("absent").c_str(), 1);
    std::printf("soak: %d runs each in the window and on the command line, seed %u\n", n, seed);

    const auto began = std::chrono::steady_clock::now();
    Usage atSample, atEnd;
    const Tally window = windowRuns(planRuns(n, seed, work, "w"), work, atSample, atEnd);
    const Tally cli = commandLineRuns(planRuns(n, seed + 1, work, "c"), work);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count();

    std::printf("soak: %lld s; window runs %d, command-line runs %d; runs without a fault that failed: "
                "%d window, %d command line; window threads %ld -> %ld\n",
                static_cast<long long>(seconds), window.runs, cli.runs, window.falseFailure, cli.falseFailure,
                atSample.threads, atEnd.threads);
    std::printf("BENCH soak_runs %d runs\n", std::min(window.runs, cli.runs));
    std::printf("BENCH soak_false_success %d count\n", window.falseSuccess + cli.falseSuccess);
    std::printf("BENCH soak_fd_growth %ld fds\n", atEnd.fds - atSample.fds);
    std::printf("BENCH soak_rss_growth_kb %ld kB\n", atEnd.rssKb - atSample.rssKb);
    const bool held = window.runs == n && cli.runs == n && window.falseSuccess + cli.falseSuccess == 0 &&
                      atEnd.fds == atSample.fds && atEnd.threads == atSample.threads &&
                      atEnd.rssKb - atSample.rssKb < 5 * 1024;
    return held ? 0 : 1;
}
