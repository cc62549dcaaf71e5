// BRIMWELL_TIME_SCALE makes every wait of the program shorter. Tests need it; on a production line
// it would cut every time-out short, so the program never takes it silently.
#pragma once

#include <string>

namespace brimwell::app {

inline constexpr double kMinTimeScale = 1.0;
inline constexpr double kMaxTimeScale = 1000.0;

// Why the variable's value is refused ("" when it is unset or within 1..1000).
std::string timeScaleRefusal();
// The announcement for a scale other than 1 ("" when the program runs at real time).
std::string timeScaleNotice();

} // namespace brimwell::app
