// The logging module's clock and the local-time text made from it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tarnel {

// Clock ticks: 100-nanosecond units since 1970-01-01 00:00:00 UTC.
using TickClock = std::function<int64_t()>;
constexpr int64_t kTicksPerSecond = 10000000;
int64_t SystemClockTicks();

// The local time of a tick count in the given std::put_time pattern, in the classic locale
// (also used for log file names and tests); empty when the time has no local form.
std::string FormatLocalTime(int64_t ticks, const std::string& pattern);

}  // namespace tarnel
