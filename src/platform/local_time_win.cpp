#include "platform/local_time.h"

#include <time.h>

namespace tarnel::platform {

bool ToLocalTime(int64_t seconds, std::tm* local) {
  const __time64_t t = static_cast<__time64_t>(seconds);
  return _localtime64_s(local, &t) == 0;
}

int64_t FromLocalTime(std::tm* local) { return static_cast<int64_t>(_mktime64(local)); }

}  // namespace tarnel::platform
