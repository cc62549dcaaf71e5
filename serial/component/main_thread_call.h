// Running a call on the application's main thread from a background thread and waiting for it:
// how synchronised trigger handlers of a dispatcher reach the UI thread.
#pragma once

#include <functional>

namespace brimwell::serial {

// Runs |call| on the main thread and returns when it has run. On the main thread itself it runs
// at once. A call the main thread has not started within |startTimeoutMs| is withdrawn (it never
// runs) and false is returned; once started it is always waited for to its end.
bool runOnMainThread(const std::function<void()>& call, int startTimeoutMs);

// Installs runOnMainThread as the dispatchers' way to call synchronised event handlers
// (once per process; the port component does it when the first one is made).
void installMainThreadSynchronizer();

} // namespace brimwell::serial
