// "brimwell run": runs one script against the unit without a window, for production lines,
// scripts and tests. Same engine as the window; the operator's side goes to the terminal.
#include "app/cli/cli_main.h"

#include "app/cli/check.h"
#include "app/cli/cli_host.h"
#include "app/cli/cli_options.h"
#include "app/cli/fleet_run.h"
#include "app/cli/output_file.h"
#include "app/cli/pci_run.h"
#include "app/cli/port_setup.h"
#include "app/cli/run_record.h"
#include "app/cli/run_recording.h"
#include "app/cli/run_store.h"
#include "app/cli/stop_signals.h"
#include "app/port_probe.h"
#include "script/loader_port.h"
#include "script/script_engine.h"
#include "script/serial_link.h"
#include "script/settings_file.h"
#include "serial/component/com_port.h"
#include "serial/net_endpoint.h"
#include "serial/port_names.h"
#include "serial/shown_text.h"
#include "serial/uucp_lock.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace brimwell::cli {
namespace {

// The stop signals come through the event loop, so that a stop is seen by every wait that lets
// events run, including the port's own waits. A hang-up stops the run as SIGTERM does: the block in
// progress ends, the port closes and the run's record, trace and log are written.
class StopSignal {
  public:
    StopSignal() {
        if (!pipe_.ok()) return;
        notifier_ = std::make_unique<QSocketNotifier>(pipe_.readFd(), QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { take(); });
    }
    // Called with the signal and the number of Ctrl+C so far.
    void setHandler(std::function<void(int, int)> h) { onStop_ = std::move(h); }
    // Also between events: a set-up phase that ended on a stop asks before the loop has run.
    bool requested() {
        take();
        return interrupts_ > 0 || terminatedBy_ != 0;
    }
    // What the run's last line names as its stop: the signal as it was received.
    const char* stopName() const {
        return named_ == SIGHUP ? "SIGHUP" : named_ == SIGTERM ? "SIGTERM" : "Ctrl+C";
    }

  private:
    void take() {
        if (!pipe_.ok()) return;
        for (const char c : pipe_.take()) {
            // A stop a parent passed on acts as SIGTERM and is named as the parent received it.
            const bool passedOn = (c & StopSignalPipe::kPassedOn) != 0;
            const int sig = passedOn ? SIGTERM : static_cast<unsigned char>(c);
            if (sig == SIGINT) ++interrupts_;
            if (sig != SIGINT) terminatedBy_ = sig;
            // A hang-up or SIGTERM names the stop over an earlier Ctrl+C.
            if (sig != SIGINT || named_ == 0) named_ = passedOn ? c & ~StopSignalPipe::kPassedOn : sig;
            if (onStop_) onStop_(sig, interrupts_);
        }
    }

    StopSignalPipe pipe_;
    std::unique_ptr<QSocketNotifier> notifier_; // destroyed before the pipe it watches
    std::function<void(int, int)> onStop_;
    int interrupts_ = 0;
    int terminatedBy_ = 0; // SIGTERM or SIGHUP
    int named_ = 0;        // the last stop's signal as the operator gave it
};

int setupError(const std::string& text) {
    std::fprintf(stderr, "brimwell run: %s\n", text.c_str());
    return kExitSetup;
}

// A line on standard error that the run goes on despite something; the record keeps it as a note.
void warning(RunRecord& record, const std::string& text) {
    const std::string line = "brimwell run: warning: " + text;
    record.addText("note", line);
    std::fprintf(stderr, "%s\n", line.c_str());
}

} // namespace

std::string scriptProblem(const RunOptions& options, RunInputs& inputs) {
    std::vector<CheckFinding> findings;
    std::vector<std::string> dataFiles;
    std::string error;
    inputs.emplace_back("script", options.script);
    const bool read = checkScript(options.script, findings, error, &dataFiles);
    for (const std::string& file : dataFiles)
        inputs.emplace_back("data file", file);
    if (!read) return "cannot open script " + serial::escapeFileName(options.script) + ": " + error;
    const std::string refusals = refusingFindings(serial::escapeFileName(options.script), findings);
    if (refusals.empty() || options.force) return {};
    return "the script would not run as it reads (run it as it is with --force):\n" +
           refusals.substr(0, refusals.size() - 1);
}

namespace {

void configurePort(serial::ComPort& port, const script::LoaderSettings& settings, const RunOptions& options) {
    script::applyLoaderPortProfile(port);
    port.setPromptForPort(false);
    port.setBaud(options.baud.value_or(settings.baud.value_or(script::kLoaderBaud)));
    if (settings.dataBits) port.setDataBits(static_cast<uint16_t>(*settings.dataBits));
    if (settings.parity) port.setParity(static_cast<serial::Parity>(*settings.parity));
    if (settings.stopBits) port.setStopBits(static_cast<uint16_t>(*settings.stopBits));
}

// Why the search found no port to run on, with what the operator can name instead.
std::string noUnitText(const std::vector<serial::SerialPortInfo>& adapters) {
    std::vector<std::string> asked;
    for (const uint16_t n : {1, 2})
        if (!serial::isKernelConsole(serial::comDevicePath(n))) asked.push_back(PortSetup::describe(n));
    std::string text = asked.empty() ? "COM1 and COM2 are the kernel console (never probed)"
                                     : "no unit answered on " + asked.front() +
                                           (asked.size() > 1 ? " or " + asked.back() : std::string());
    if (adapters.empty())
        return text + "; no USB serial adapter is connected; connect the unit or name its port with --port";
    return text + "; " + std::to_string(adapters.size()) +
           " USB serial adapters are connected, and brimwell probes only a single one by itself; name the "
           "unit's "
           "with --port:" +
           serial::portLines(adapters);
}

} // namespace

RunSummary runSummary(script::RunOutcome outcome, const std::optional<std::string>& firstFailure,
                      const std::string& stopSignal, bool stopRequested) {
    // The engine's closing box says "terminated by user" for every failure; the last line says
    // what really ended the run.
    if (stopRequested) return {"Run stopped (" + stopSignal + ").", false};
    if (firstFailure) {
        std::string text = *firstFailure;
        std::replace(text.begin(), text.end(), '\r', ' ');
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        return {"Run failed: " + text +
                    (outcome == script::RunOutcome::Completed ? " (the script ran on to its end)" : ""),
                false};
    }
    if (outcome != script::RunOutcome::Completed)
        return {"Run failed: the script stopped without a message.", false};
    return {"Run completed.", true};
}

namespace {

// How one unit's run ended, beyond its exit status.
struct UnitEnd {
    bool stopRequested = false;
    std::string summary;
};

int runUnit(const RunOptions& options, char* program, RunRecord& record, UnitEnd& end, RunOutputs& outputs) {
    int qtArgc = 1;
    char* qtArgv[] = {program, nullptr};
    QCoreApplication app(qtArgc, qtArgv);

    CliHost host(stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    host.setRecord(&record);
    host.setEventFd(options.eventFd);
    // Notes about lock files (a stale one removed) belong to the run's record.
    serial::setLockNoteSink([&host](const std::string& text) { host.note(text); });
    struct NoteSinkReset {
        ~NoteSinkReset() { serial::setLockNoteSink({}); }
    } noteSinkReset;

    // From here a stop ends the set-up (reading the files, opening the port, looking for boards)
    // as a stopped run; however the run returns, the record learns whether a stop ended it.
    StopSignal stop;
    struct StopSeen {
        StopSignal& stop;
        bool& seen;
        ~StopSeen() { seen = stop.requested(); }
    } stopSeen{stop, end.stopRequested};
    auto stoppedInSetup = [&] {
        end.summary = std::string("Run stopped (") + stop.stopName() + ").";
        host.note(end.summary);
        return kExitFailed;
    };
    // A set-up step that failed because a stop cut it short is a stop, not a set-up error.
    auto setupError = [&](const std::string& text) {
        if (stop.requested()) return stoppedInSetup();
        end.summary = "brimwell run: " + text;
        record.addText("note", end.summary);
        return cli::setupError(text);
    };
    std::string error;
    RunInputs inputs;
    if (const std::string problem = scriptProblem(options, inputs); !problem.empty())
        return setupError(problem);

    const std::string settingsPath = options.settings.value_or(script::kSettingsFileName);
    const script::LoaderSettings settings = script::readSettingsFile(settingsPath);
    // Without --settings a missing LoaderDefault.ini means the defaults; one that is there is read whole.
    if (!settings.problem.empty() && (options.settings || settings.fileFound))
        return setupError("cannot read settings file " + serial::escapeFileName(settingsPath) + ": " +
                          settings.problem);
    // A settings file that says something wrong is a set-up error before any port is touched,
    // unless an option stands in for the wrong value: then the run goes on with a warning.
    const std::string settingsName = serial::escapeFileName(settingsPath);
    for (size_t i = 0; i < settings.messages.size(); ++i) {
        const int setting = i < settings.messageSettings.size() ? settings.messageSettings[i] : 0;
        const std::string what = "settings file " + settingsName + ": " + settings.messages[i];
        if (setting != 2 || !options.baud) return setupError(what);
        warning(record, what + " --baud " + std::to_string(*options.baud) + " is used instead.");
    }
    if (!script::scriptHasCommandLines(options.script))
        warning(record,
                serial::escapeFileName(options.script) +
                    " has no command lines (empty, or comments only); the run sends nothing to the unit.");
    inputs.emplace_back("settings file", settingsPath);
    // The run's record files are checked before anything touches a unit: none is flashed without them.
    if (const std::string problem = outputs.problem(inputs); !problem.empty()) return setupError(problem);

    serial::ComPort port;
    try {
        configurePort(port, settings, options);
    } catch (const std::exception& e) {
        return setupError(std::string("cannot apply the line settings: ") + e.what());
    }
    if (!outputs.prepareRecording(port, error)) return setupError(error);
    script::SerialLink link(port);
    script::ScriptEngine engine(host);
    engine.applySettings(settings);
    engine.setSerialLink(&link);
    engine.setLinkMode(script::kLinkSerial);
    script::installCaptureHandler(port, engine);

    bool running = false;
    // Ends every wait for the unit: the run goes on to its end without the prompt attempts.
    auto abandon = [&] { engine.abandonWaits(); };
    stop.setHandler([&](int sig, int interrupts) {
        if (!running) {
            host.note("Stopping: set-up abandoned.");
            abandon();
        } else if (sig != SIGINT) {
            // A service manager stopping the run must not wait minutes for prompt attempts.
            host.note(std::string("Stopping (") + stop.stopName() +
                      "): the transfer ends after the block in progress; no more waiting for the unit.");
            abandon();
        } else if (interrupts == 1 && engine.unitLineHeld()) {
            // As the window's first Stop: a unit left mid-load still answers the prompt check.
            host.note("Stopping (Ctrl+C): the transfer ends after the block in progress. "
                      "Ctrl+C again stops waiting for the unit's prompt.");
        } else if (interrupts == 1) {
            // Outside an upload there is no Stop button to press: the wait for the unit ends.
            host.note("Stopping (Ctrl+C): no more waiting for the unit; the run fails.");
            abandon();
        } else if (interrupts == 2) {
            host.note("Stopping now: no more waiting for the unit's prompt.");
            abandon();
        }
        if (running) engine.pressStop();
    });

    PortSetup setup(port, engine, host);
    setup.setStopCheck([&] { return stop.requested(); });
    auto closePort = [&] { app::closeComPortQuietly(port); };
    auto runScript = [&](const std::string& where) {
        host.note("Running " + serial::escapeFileName(options.script) + " on " + where);
        running = true;
        if (port.isOpen()) outputs.startRecording(port);
        const script::RunOutcome outcome = engine.runPickedScript(options.script);
        running = false;
        if (engine.linkMode() == script::kLinkSerial) {
            // A character on the line: start bit, data bits, parity bit, stop bits.
            const int bits =
                1 + port.dataBits() + (port.parity() != serial::Parity::None ? 1 : 0) + port.stopBits();
            host.noteDataFiles(static_cast<double>(port.baud()) / bits,
                               std::to_string(port.baud()) + " baud");
        } else {
            host.noteDataFiles(0, {});
        }
        record.setLastAnswer(engine.unitLastAnswer());
        outputs.closeRecordedPort(port, host);
        // Some failures let the script go on (a data file that does not open skips its upload);
        // the window leaves them to the operator who read the message box, but an unattended
        // caller only sees the exit status, so a run that reported an error does not count as
        // completed.
        const RunSummary summary =
            runSummary(outcome, host.firstFailure(), stop.stopName(), stop.requested());
        host.note(summary.text);
        end.summary = summary.text;
        return summary.completed ? kExitCompleted : kExitFailed;
    };

    std::string pciError;
    const std::string& linkName = options.port.empty() ? settings.pciPort : options.port;
    if (const std::optional<int> board = pciBoardOf(linkName, pciError); board || !pciError.empty()) {
        if (!board) return setupError("setting 1: " + pciError);
        if (!options.traceFile.empty() || !options.logFile.empty())
            return setupError("--trace and --log record a serial port; the PCI link has neither");
        pci::PciBoardLink boards(pci::installedPciDriver());
        if (!preparePciRun(*board, boards, engine, host, pciError)) return setupError(pciError);
        if (stop.requested()) return stoppedInSetup(); // while the boards were looked for
        record.setDevice(describeBoards(engine));
        return runScript(describeBoards(engine));
    }
    for (uint32_t n : {1u, 2u, static_cast<uint32_t>(std::max(settings.defaultComPort, 0))})
        if (const std::string reserved = reservedComMapping(n); !reserved.empty())
            return setupError(reserved);

    uint16_t chosen = 0;
    if (!options.port.empty()) {
        chosen = setup.numberFor(options.port, error);
        if (chosen == 0) return setupError(error);
        if (const std::string reserved = reservedComMapping(chosen); !reserved.empty())
            return setupError(reserved);
        // A serial server that refuses or cannot be reached is the line being down, as an absent
        // unit is: the run failed. A device that cannot be opened is the set-up's fault.
        const bool network = serial::parseNetEndpoint(serial::comDevicePath(chosen)).has_value();
        if (!setup.open(
                chosen, error,
                network ? "; check that the serial server runs and is reachable"
                        : "; check the device name and the connection, or name another port with --port")) {
            const int code = setupError(error);
            return network ? kExitFailed : code;
        }
    } else {
        uint16_t configured = 0;
        if (!settings.defaultComDevice.empty()) {
            configured = setup.numberFor(settings.defaultComDevice, error);
            if (configured == 0) return setupError(error);
        } else if (settings.defaultComPort > 0) {
            if (settings.defaultComPort > static_cast<int>(serial::kLastComNumber))
                return setupError("setting 1 names COM" + std::to_string(settings.defaultComPort) +
                                  ", beyond COM" + std::to_string(serial::kLastComNumber));
            configured = static_cast<uint16_t>(settings.defaultComPort);
        }
        if (configured != 0 && setup.checkCom(configured)) {
            chosen = configured;
        } else if (!stop.requested() && setup.searchComPorts() == 1) {
            chosen = port.comNumber();
        } else if (stop.requested()) {
            closePort();
            return stoppedInSetup();
        } else {
            // As the window does: fall back to the configured port without a prompt check, or,
            // with nothing configured, to the one adapter present, and let the script's own
            // loader-mode check find out whether the unit is there.
            uint16_t fallback = configured;
            if (fallback == 0 && setup.adapters().size() == 1)
                fallback = setup.numberForAdapter(setup.adapters().front());
            if (fallback == 0) {
                host.setStatusText(script::kNoHardwareText);
                return setupError(noUnitText(setup.adapters()));
            }
            host.setStatusText(script::kFallbackPortText);
            if (!setup.open(fallback, error,
                            configured != 0
                                ? "; check setting 1 of the settings file, or name the port with --port"
                                : "; check the adapter, or name the port with --port"))
                return setupError(error);
            chosen = fallback;
        }
    }
    if (stop.requested()) {
        closePort();
        return stoppedInSetup();
    }

    record.setDevice(serial::comDevicePath(chosen));
    return runScript(setup.nameOf(chosen) + " at " + std::to_string(port.baud()) + " baud");
}

} // namespace

int runMain(int argc, char** argv) {
    RunOptions options;
    std::string error;
    if (!parseRunOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "brimwell run: %s\n%s", error.c_str(), runUsage());
        return kExitSetup;
    }
    if (options.help) {
        std::fputs(runUsage(), stdout);
        return kExitCompleted;
    }
    std::optional<records::StoreLocation> store;
    if (!requestedStore(options, store, error)) return setupError(error);
    // Output nobody reads any more (a pager quit, "| head", a parent that ended early) must not end
    // a flash half-way, nor may a file that cannot grow (a store at its size limit): the writes
    // fail and the run goes on to its end and its exit code.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    RunOutputs outputs(options);
    if (options.ports.size() > 1) {
        // Each unit checks its own trace and log (FILE.PORT) again; the report is the parent's.
        RunInputs inputs;
        if (const std::string problem = scriptProblem(options, inputs); !problem.empty())
            return setupError(problem);
        if (options.settings) inputs.emplace_back("settings file", *options.settings);
        if (const std::string problem = outputs.problem(inputs); !problem.empty()) return setupError(problem);
        return runFleet(options, argv[0], store, outputs);
    }

    RunRecord record(options.script, options.port);
    record.setTags(options.tags);
    UnitEnd end;
    const int verdict = runUnit(options, argv[0], record, end, outputs);
    // The unit's verdict stays whatever becomes of its record; the exit status tells both.
    record.finish(verdict == kExitCompleted && !outputs.lost().empty() ? kExitRecordIncomplete : verdict,
                  outcomeOf(verdict, end.stopRequested), end.summary);
    QJsonObject json = record.json();
    std::string lostRecord = store ? storeRun(json, *store) : std::string();
    if (options.eventFd >= 0) {
        sendEvent(options.eventFd,
                  "record " + QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString());
    }
    outputs.writeReport(QJsonArray{json});
    if (!outputs.lost().empty()) lostRecord += (lostRecord.empty() ? "" : "; ") + outputs.lost();
    return exitWithRecord(verdict, lostRecord);
}

} // namespace brimwell::cli
