#include "platform/environment.h"

#include <windows.h>

#include <cstdlib>
#include <vector>

namespace tarnel::platform {

bool GetEnvironmentValue(const std::string& name, std::string* value) {
  DWORD size = GetEnvironmentVariableA(name.c_str(), nullptr, 0);
  if (size == 0) return false;
  std::vector<char> buffer(size);
  DWORD length = GetEnvironmentVariableA(name.c_str(), buffer.data(), size);
  if (length == 0 || length >= size) return false;
  value->assign(buffer.data(), length);
  return true;
}

bool SetEnvironmentValue(const std::string& name, const std::string& value) {
  // Both the runtime's copy (getenv) and the process block (ExpandEnvironmentStrings,
  // child processes) must see the change.
  if (_putenv_s(name.c_str(), value.c_str()) != 0) return false;
  return SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str()) != 0;
}

char PathSeparator() { return '\\'; }

}  // namespace tarnel::platform
