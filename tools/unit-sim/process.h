// What each simulator program does around its loop: report lines on standard output, the monotonic
// clock its units run on, and an orderly stop on SIGINT, SIGTERM or SIGHUP.
#pragma once

#include "tools/unit-sim/unit.h"

#include <string>

namespace brimwell::unitsim {

// One report line, flushed at once: the tests and the demo follow them as they come.
void say(const std::string& line);
Nanos monotonicNanos();
// Ignores SIGPIPE and turns the stop signals into stopRequested().
void catchStopSignals();
bool stopRequested();

} // namespace brimwell::unitsim
