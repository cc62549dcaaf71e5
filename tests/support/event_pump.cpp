// Waits for tests; the events run through the same helper the port component and the engine use.
#include "support/event_pump.h"

#include "serial/component/pending_events.h"

#include <QElapsedTimer>

#include <unistd.h>

namespace brimwell::testing {

namespace {
// Short enough that a wait ends soon after its condition, long enough not to spin a core.
constexpr useconds_t kPassPauseUs = 500;
} // namespace

bool waitUntil(const std::function<bool()>& done, int ms, const std::function<void()>& between) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        if (between) between();
        ::usleep(kPassPauseUs);
    }
    return true;
}

bool pumpUntil(const std::function<bool()>& done, int ms) {
    return waitUntil(done, ms, serial::processPendingEvents);
}

void pumpFor(int ms) {
    waitUntil([] { return false; }, ms, serial::processPendingEvents);
}

} // namespace brimwell::testing
