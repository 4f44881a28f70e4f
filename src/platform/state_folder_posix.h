// The service's state folder on POSIX, shared by the store and the staging of installers.
#pragma once

#include <string>

namespace tarnel::platform {

// The first entry of $STATE_DIRECTORY, or /var/lib/tarnel/ when it is unset or empty,
// ending in '/'.
std::string StateFolder();

}  // namespace tarnel::platform
