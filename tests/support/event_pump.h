// Waiting in tests for a condition instead of for a fixed time: plainly (a thread of the code under
// test makes it true), or letting the application's events run on this thread meanwhile (port
// notifications, timers, posted calls).
#pragma once

#include <functional>

namespace brimwell::testing {

// Looks at `done` until it holds or `ms` milliseconds of real time passed, running `between` (when
// given) and pausing half a millisecond between looks; returns whether `done` held.
bool waitUntil(const std::function<bool()>& done, int ms = 3000, const std::function<void()>& between = {});
// waitUntil with the pending events run between looks.
bool pumpUntil(const std::function<bool()>& done, int ms = 10000);
// Runs pending events for about `ms` milliseconds.
void pumpFor(int ms);

} // namespace brimwell::testing
