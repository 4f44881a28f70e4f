// Verification and launch of the registered installer (UpdaterManagerWindows::Install).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace tarnel {

// The largest installer the service copies and starts: 4 GiB. Anything larger is refused
// before any of it is read.
constexpr uint64_t kMaxInstallerBytes = uint64_t{4} << 30;

// Called with the registered installer's path after its copy's digest has matched and before it is
// started. Tests use it to try to swap the file between the check and the launch; unset otherwise.
void SetInstallerVerifiedHook(std::function<void(const std::string&)> hook);

// Called with the registered installer's path when the installation, no longer holding the
// record lock, is about to open and copy it. Tests use it to hold an installation at that
// point; unset otherwise.
void SetInstallerStagingHook(std::function<void(const std::string&)> hook);

// Removes the staged installer copies that earlier runs left behind and that no process
// uses any more; logs how many there were.
void RemoveAbandonedInstallerCopies();

}  // namespace tarnel
