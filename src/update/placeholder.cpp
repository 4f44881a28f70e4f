// TEMPORARY: placeholder so that the tree links; the update management work replaces it.
#include "service_host/updater_manager.h"

namespace tarnel {

void UpdaterManager::NewPackageReadyToInstall(const std::string&, const std::string&,
                                              const std::string&) {}
bool UpdaterManager::PackageNeedsToBeInstalled(const std::string&) { return false; }
bool UpdaterManagerWindows::Install(std::string, std::string) { return false; }
bool UpdaterManagerWindows::GetRegPendingUpdate(bool&) { return false; }
bool UpdaterManagerWindows::ResetRegPendingUpdate(bool) { return false; }
bool UpdaterManagerWindows::GetUpdaterStringValue(const std::string&, std::string&) {
  return false;
}
bool UpdaterManagerWindows::SetUpdaterStringValue(const std::string&, const std::string&) {
  return false;
}

}  // namespace tarnel
