#include "logging/log_time.h"

#include <chrono>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>

#include "platform/local_time.h"

namespace tarnel {

int64_t SystemClockTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatLocalTime(int64_t ticks, const std::string& pattern) {
  std::tm local{};
  if (!platform::ToLocalTime(ticks / kTicksPerSecond, &local)) return std::string();
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::put_time(&local, pattern.c_str());
  return out.str();
}

}  // namespace tarnel
