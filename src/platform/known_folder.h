// Resolution of the folders that belong to the account running the process.
#pragma once

#include <string>

namespace tarnel::platform {

// The local application data folder of the account, ending in the path separator.
// Windows: "%LOCALAPPDATA%\" expanded on version 6.0 and later, "%USERPROFILE%\Local
// Settings\Application Data\" expanded on 5.1 and later; false on older versions or when
// the expansion fails. A variable that is not set stays unexpanded, as the system leaves it.
// POSIX: "$XDG_DATA_HOME/" when that variable holds an absolute path, otherwise
// "$HOME/.local/share/"; false when neither is an absolute path. Missing levels of the
// folder are created (mode 0700), as the folder always exists on Windows.
bool GetLocalAppDataFolder(std::string* path);

}  // namespace tarnel::platform
