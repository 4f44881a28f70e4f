#include "platform/environment.h"

#include <cstdlib>

namespace tarnel::platform {

bool GetEnvironmentValue(const std::string& name, std::string* value) {
  const char* found = std::getenv(name.c_str());
  if (found == nullptr) return false;
  *value = found;
  return true;
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
  return setenv(name.c_str(), value.c_str(), /*overwrite=*/1) == 0;
}

char PathSeparator() { return '/'; }

}  // namespace tarnel::platform
