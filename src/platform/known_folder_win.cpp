#include "platform/known_folder.h"

#include <windows.h>

#include <vector>

namespace tarnel::platform {
namespace {

// True when the running system is at least the given version (service pack 0 or later).
bool IsVersionAtLeast(DWORD major, DWORD minor) {
  OSVERSIONINFOEXW version = {};
  version.dwOSVersionInfoSize = sizeof(version);
  version.dwMajorVersion = major;
  version.dwMinorVersion = minor;
  version.wServicePackMajor = 0;
  DWORDLONG conditions = 0;
  conditions = VerSetConditionMask(conditions, VER_MAJORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_MINORVERSION, VER_GREATER_EQUAL);
  conditions = VerSetConditionMask(conditions, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
  return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                            conditions) != FALSE;
}

}  // namespace

bool GetLocalAppDataFolder(std::string* path) {
  const char* folderTemplate = nullptr;
  if (IsVersionAtLeast(6, 0)) {
    folderTemplate = "%LOCALAPPDATA%\\";
  } else if (IsVersionAtLeast(5, 1)) {
    folderTemplate = "%USERPROFILE%\\Local Settings\\Application Data\\";
  } else {
    return false;
  }
  std::vector<char> buffer(32000);
  const DWORD length =
      ExpandEnvironmentStringsA(folderTemplate, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (length == 0) return false;
  *path = buffer.data();
  return true;
}

}  // namespace tarnel::platform
