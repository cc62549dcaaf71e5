// Reading BRIMWELL_TIME_SCALE as the serial time base does, to announce or refuse it.
#include "app/time_scale_notice.h"

#include <cstdlib>
#include <optional>

namespace brimwell::app {
namespace {

struct Setting {
    const char* raw = nullptr;
    std::optional<double> value; // set when the whole text is a number
};

Setting read() {
    Setting s;
    s.raw = std::getenv("BRIMWELL_TIME_SCALE");
    if (!s.raw) return s;
    char* end = nullptr;
    const double v = std::strtod(s.raw, &end);
    if (end != s.raw && *end == '\0') s.value = v;
    return s;
}

std::string shortNumber(double v) {
    std::string text = std::to_string(v);
    text.erase(text.find_last_not_of('0') + 1);
    if (text.back() == '.') text.pop_back();
    return text;
}

} // namespace

std::string timeScaleRefusal() {
    const Setting s = read();
    if (!s.raw) return {};
    if (s.value && *s.value >= kMinTimeScale && *s.value <= kMaxTimeScale) return {};
    return std::string("BRIMWELL_TIME_SCALE=") + s.raw +
           " is refused: it must be a number from 1 to 1000 (and is meant for tests only)";
}

std::string timeScaleNotice() {
    const Setting s = read();
    if (!s.value || *s.value == 1.0 || !timeScaleRefusal().empty()) return {};
    return "BRIMWELL_TIME_SCALE=" + std::string(s.raw) + ": every wait runs " + shortNumber(*s.value) +
           " times faster than real time (for tests only)";
}

} // namespace brimwell::app
