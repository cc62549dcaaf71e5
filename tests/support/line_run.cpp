// Flashing runs over real lines for the line tests and the reliability benchmark.
#include "support/line_run.h"
#include "support/event_pump.h"

#include "support/pty.h"
#include "support/sim_process.h"

#include <csignal>
#include <thread>

namespace brimwell::testing {

LineFlashResult runLineFlash(const LineFlash& spec) {
    using Clock = std::chrono::steady_clock;
    LineFlashResult result;
    TempDir dir;
    SimUnit sim;
    std::vector<std::string> simArgs{"--quiet", "--store", dir.file("store"), "--data-timeout", "20000"};
    simArgs.insert(simArgs.end(), spec.simArgs.begin(), spec.simArgs.end());
    if (!sim.start(dir, simArgs)) {
        result.output = "the simulator did not start: " + sim.process.stderrText();
        return result;
    }
    const std::vector<uint8_t> image = patternBytes(spec.fileSize, 5);
    writeFile(dir.file("image.bin"), image);
    writeText(dir.file("run.sld"), "_TC \"LOADR^M\"\n_LP " + std::to_string(spec.postUploadSeconds) +
                                       "\n_LF " + dir.file("image.bin") + "\n_LA 10\n_LV 1\n_LD\n");
    writeText(dir.file("empty.ini"), "");
    const std::string port = spec.paced ? "paced:" + sim.device + "?" + *spec.paced : sim.device;
    ChildProcess run;
    if (!run.start(binDir() + (spec.paced ? "/brimwell-paced" : "/brimwell"),
                   {"run", dir.file("run.sld"), "--port", port, "--baud", std::to_string(spec.baud),
                    "--settings", dir.file("empty.ini")},
                   {"BRIMWELL_TIME_SCALE=" + std::to_string(spec.timeScale)})) {
        result.output = "the program did not start";
        return result;
    }
    std::optional<Clock::time_point> lost;
    const auto lineLimit = std::chrono::seconds(120);
    switch (spec.loss) {
    case LineLoss::None:
        break;
    case LineLoss::SimCloses:
        if (sim.process.waitForLine("DISCONNECTED ", lineLimit)) lost = Clock::now();
        break;
    case LineLoss::Unplug:
        if (run.waitForLine("PACED UNPLUGGED ", lineLimit)) lost = Clock::now();
        break;
    case LineLoss::HangUp:
        if (run.waitForLine("Progress ", lineLimit) && test::hangUpTty(sim.device)) lost = Clock::now();
        break;
    case LineLoss::SimFault:
        if (sim.process.waitForLine("NOTE pty FAULT ", lineLimit)) lost = Clock::now();
        break;
    case LineLoss::SecondStop: {
        const auto said = [&run](const char* text) {
            return
                [&run, text] { return run.stderrText().find(text) != std::string::npos || !run.running(); };
        };
        const int limitMs = static_cast<int>(std::chrono::milliseconds(lineLimit).count());
        waitUntil(said("(attempt 1 of 11)"), limitMs);
        run.signal(SIGINT);
        waitUntil(said("Stopping (Ctrl+C)"), limitMs); // the second once the first was taken
        run.signal(SIGINT);
        lost = Clock::now();
        break;
    }
    }
    result.exitCode = run.wait(std::chrono::seconds(300));
    if (lost) result.lossToExit = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - *lost);
    result.output = run.stderrText();
    for (const auto& line : run.lines())
        result.output += line + "\n";
    result.imageIdentical = readFile(dir.file("store/LF_10_1.bin")) == image;
    return result;
}

} // namespace brimwell::testing
