// Conversions between seconds since 1970-01-01 UTC and the local calendar time.
#pragma once

#include <cstdint>
#include <ctime>

namespace tarnel::platform {

// Local broken-down time of a moment; false when the moment cannot be represented.
bool ToLocalTime(int64_t seconds, std::tm* local);

// Seconds since 1970 of a local broken-down time (tm_isdst -1 lets the system decide);
// -1 when it cannot be represented, such as a time before 1970.
int64_t FromLocalTime(std::tm* local);

}  // namespace tarnel::platform
