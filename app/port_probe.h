// Asking a port whether the unit is there: open port n, send a carriage return and wait for the
// main prompt, then for the loader prompt, and say how it went. The window and the command line
// each turn the outcome into their own texts and side effects.
#pragma once

#include "script/script_engine.h"
#include "serial/component/com_port.h"

#include <cstdint>
#include <functional>
#include <string>

namespace brimwell {

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
bool openComPort(TQuavComPort& port, std::string* error = nullptr);
// Closes the port; the port ends up closed whatever the device said.
void closeComPortQuietly(TQuavComPort& port);

// The probe of port n through the engine's serial link. `stopped`, when given, is asked after the
// first wait: a stop skips the second. The availability test is the caller's.
// Probing is on in the engine for the whole probe, as the shorter prompt wait needs.
ProbeResult probeComPort(TQuavComPort& port, script::ScriptEngine& engine, uint16_t n,
                         const std::function<bool()>& stopped = {});

} // namespace brimwell
