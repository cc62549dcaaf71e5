// The port probe shared by the window and the command line.
#include "app/port_probe.h"

#include "app/device_info.h"
#include "app/link_watch.h"
#include "serial/component/exceptions.h"
#include "serial/port_names.h"

#include <exception>

namespace brimwell::app {

bool openComPort(serial::ComPort& port, std::string* error) {
    try {
        if (!port.isOpen()) port.setOpen(true);
        if (port.isOpen()) return true;
        if (error) *error = "the port did not open";
        return false;
    } catch (const serial::PortAccessDeniedError& e) {
        // Already names the device and the group that owns it.
        if (error) *error = e.what();
    } catch (const serial::BaudRateError&) {
        if (error)
            *error =
                "the device cannot run at " + std::to_string(port.baud()) + " baud (it refused the rate)";
    } catch (const serial::AlreadyOpenError& e) {
        // "ie_Open - device already open" reads as if this program had opened it; say who has.
        if (error) *error = busyText(serial::comDevicePath(port.comNumber()));
    } catch (const std::exception& e) {
        if (error) *error = e.what();
    }
    closeComPortQuietly(port);
    return false;
}

void closeComPortQuietly(serial::ComPort& port) {
    try {
        port.setOpen(false);
    } catch (const std::exception&) {
        // A port that fails to close cleanly is still closed afterwards.
    }
}

namespace {

// Puts a LinkWatch between the engine and its serial link for as long as it lives: the link reports
// port errors as failed operations, and any of them during the prompt check means the port broke
// down rather than that nothing answered.
class WatchedLink {
  public:
    explicit WatchedLink(script::ScriptEngine& engine) : engine_(engine), watch_(engine.serialLink()) {
        if (watch_.inner() != nullptr) engine_.setSerialLink(&watch_);
    }
    ~WatchedLink() {
        if (watch_.inner() != nullptr) engine_.setSerialLink(watch_.inner());
    }
    WatchedLink(const WatchedLink&) = delete;
    WatchedLink& operator=(const WatchedLink&) = delete;

    bool failed() const { return watch_.failures() > 0; }

  private:
    script::ScriptEngine& engine_;
    LinkWatch watch_;
};

} // namespace

ProbeResult probeComPort(serial::ComPort& port, script::ScriptEngine& engine, uint16_t n,
                         const std::function<bool()>& stopped) {
    ProbeResult result;
    try {
        port.setComNumber(n);
    } catch (const std::exception&) {
        // A re-open under the new number failed; the open below tries again and reports it.
    }
    // A notification on its way to this thread defers the old device's close, and the port reopens
    // under the new number only as events run. Until then it still reads as open, and a wait on it
    // would report an answer the new device never gave.
    const bool settled = port.finishPendingClose(2 * serial::kWindowHandlerTimeoutMs);
    const bool opened = settled && openComPort(port, &result.openError);
    if (!settled) result.openError = "the port is still closing";

    engine.setProbing(true);
    if (!opened) {
        result.outcome = ProbeOutcome::OpenFailed;
    } else {
        const WatchedLink watch(engine);
        engine.setExpectedPrompt(engine.mainPromptChar());
        bool answered = engine.promptAttempt("\r", 1, 2);
        if (!answered && !watch.failed() && !(stopped && stopped())) {
            engine.setExpectedPrompt(engine.loaderPromptChar());
            answered = engine.promptAttempt("\r", 2, 2);
        }
        if (watch.failed()) {
            result.outcome = ProbeOutcome::PortError;
        } else if (answered) {
            result.outcome = ProbeOutcome::Answered;
        } else {
            closeComPortQuietly(port);
            result.outcome = ProbeOutcome::Silent;
        }
    }
    engine.setProbing(false);
    return result;
}

PortSearch searchForUnit(const std::vector<serial::SerialPortInfo>& adapters,
                         const std::function<uint16_t(const serial::SerialPortInfo&)>& numberOf,
                         const std::function<bool(uint16_t)>& checkCom,
                         const std::function<bool()>& stopped) {
    PortSearch search;
    search.adapters = adapters;
    auto tryPort = [&](uint16_t n) {
        if (n == 0 || (stopped && stopped()) || serial::isKernelConsole(serial::comDevicePath(n)) ||
            !checkCom(n))
            return false;
        search.found = n;
        return true;
    };
    if (!tryPort(1) && !tryPort(2) && adapters.size() == 1) tryPort(numberOf(adapters.front()));
    return search;
}

} // namespace brimwell::app
