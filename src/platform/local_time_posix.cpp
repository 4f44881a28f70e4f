#include "platform/local_time.h"

namespace tarnel::platform {

bool ToLocalTime(int64_t seconds, std::tm* local) {
  const time_t t = static_cast<time_t>(seconds);
  return localtime_r(&t, local) != nullptr;
}

int64_t FromLocalTime(std::tm* local) {
  const time_t t = mktime(local);
  // mktime accepts times before 1970 on Linux; the Windows runtime refuses them, and the
  // retention rules count such names as unreadable, so refuse them here too.
  return t < 0 ? -1 : static_cast<int64_t>(t);
}

}  // namespace tarnel::platform
