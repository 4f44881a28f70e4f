#include "platform/known_folder.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace tarnel::platform {
namespace {

// Creates the missing levels of an absolute folder path ending in '/', private to the
// user as the XDG rules ask. The Windows folder always exists; this one may not on a fresh
// account, and without it no settings or log folder could be made.
void CreateMissingLevels(const std::string& folder) {
  for (size_t end = folder.find('/', 1); end != std::string::npos;
       end = folder.find('/', end + 1)) {
    const std::string level = folder.substr(0, end);
    if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return;
  }
}

}  // namespace

bool GetLocalAppDataFolder(std::string* path) {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    *path = std::string(dataHome) + "/";
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return false;
    *path = std::string(home) + "/.local/share/";
  }
  CreateMissingLevels(*path);
  return true;
}

}  // namespace tarnel::platform
