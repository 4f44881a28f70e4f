// Verification and launch of the registered installer (UpdaterManagerWindows::Install).
#pragma once

#include <functional>
#include <string>

namespace tarnel {

// Called with the installer's path after its digest has matched and before it is started.
// Tests use it to try to swap the file between the check and the launch; unset otherwise.
void SetInstallerVerifiedHook(std::function<void(const std::string&)> hook);

}  // namespace tarnel
