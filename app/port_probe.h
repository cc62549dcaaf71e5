// Asking a port whether the unit is there: open port n, send a carriage return and wait for the
// main prompt, then for the loader prompt, and say how it went. The window and the command line
// each turn the outcome into their own texts and side effects.
#pragma once

#include "script/script_engine.h"
#include "serial/component/com_port.h"
#include "serial/finder/port_finder.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace brimwell::app {

enum class ProbeOutcome {
    Answered,   // the port is open and the unit gave one of its prompts
    OpenFailed, // opening the port raised an error; the port is closed
    PortError,  // a port operation failed during the prompt check; the port is left as it was
    Silent,     // neither prompt came; the port is closed
};

struct ProbeResult {
    ProbeOutcome outcome = ProbeOutcome::Silent;
    std::string openError; // the component's reason when the open failed
};

// Opens the port under its current number unless it is open already. False with the component's
// reason in `error` (when given) when it did not open; a failed open leaves the port closed.
bool openComPort(serial::ComPort& port, std::string* error = nullptr);
// Closes the port; the port ends up closed whatever the device said.
void closeComPortQuietly(serial::ComPort& port);

// The probe of port n through the engine's serial link. `stopped`, when given, is asked after the
// first wait: a stop skips the second. The availability test is the caller's.
// Probing is on in the engine for the whole probe, as the shorter prompt wait needs.
ProbeResult probeComPort(serial::ComPort& port, script::ScriptEngine& engine, uint16_t n,
                         const std::function<bool()>& stopped = {});

// The search for the unit, the same in the window and on the command line: COM1, then COM2, then,
// when neither answered and exactly one USB adapter is present, that adapter. Opening a device
// that is not the unit's can reset whatever hangs on it, so several adapters are left to the
// operator. The kernel console is never probed; `checkCom` decides for each number whether its
// device exists.
struct PortSearch {
    uint16_t found = 0;                           // the number that answered; 0 when none did
    std::vector<serial::SerialPortInfo> adapters; // the adapters present at the search
};
PortSearch searchForUnit(const std::vector<serial::SerialPortInfo>& adapters,
                         const std::function<uint16_t(const serial::SerialPortInfo&)>& numberOf,
                         const std::function<bool(uint16_t)>& checkCom,
                         const std::function<bool()>& stopped = {});

} // namespace brimwell::app
