// Event pumping for tests, through the same helper the port component and the engine use.
#include "support/event_pump.h"

#include "serial/component/pending_events.h"

#include <QElapsedTimer>

#include <unistd.h>

namespace brimwell::testing {

namespace {
// Short enough that a wait ends soon after its condition, long enough not to spin a core.
constexpr useconds_t kPassPauseUs = 500;
} // namespace

bool pumpUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms) return false;
        serial::processPendingEvents();
        ::usleep(kPassPauseUs);
    }
    return true;
}

void pumpFor(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        serial::processPendingEvents();
        ::usleep(kPassPauseUs);
    }
}

} // namespace brimwell::testing
