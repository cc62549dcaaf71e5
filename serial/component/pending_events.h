// Letting the application's pending events run from inside a long operation on the UI thread,
// shared by the port component, the script engine and the command line.
#pragma once

namespace brimwell {

// Runs the events pending for the calling thread once (timers, posted events, input).
// Does nothing when there is no application object.
void processPendingEvents();

// True once the application is shutting down (its main loop is about to end or has ended);
// long waits use it to give up early.
bool applicationTerminating();

} // namespace brimwell
