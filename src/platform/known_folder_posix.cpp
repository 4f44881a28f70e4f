#include "platform/known_folder.h"

#include <cstdlib>

namespace tarnel::platform {

bool GetLocalAppDataFolder(std::string* path) {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') {
    *path = std::string(dataHome) + "/";
    return true;
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') return false;
  *path = std::string(home) + "/.local/share/";
  return true;
}

}  // namespace tarnel::platform
