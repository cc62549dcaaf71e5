// Letting the application's events run while a test waits for something to happen on the UI
// thread: port notifications, timers, posted calls.
#pragma once

#include <functional>

namespace brimwell::testing {

// Runs pending events until `done` holds or `ms` milliseconds of real time passed; returns
// whether `done` held.
bool pumpUntil(const std::function<bool()>& done, int ms = 10000);
// Runs pending events for about `ms` milliseconds.
void pumpFor(int ms);

} // namespace brimwell::testing
