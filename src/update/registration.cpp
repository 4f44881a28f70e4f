// Registration of a downloaded package and the update decision. Both reach the pending-update
// record only through the virtual property-store operations, so they work over any store.
#include "logging/logger.h"
#include "service_host/updater_manager.h"
#include "update/property_store.h"
#include "update/version.h"

namespace tarnel {

void UpdaterManager::NewPackageReadyToInstall(const std::string& path,
                                              const std::string& targetVersion,
                                              const std::string& sha256) {
  if (!ResetRegPendingUpdate(true)) {
    TARNEL_LOG(ERROR)
        << "UpdaterManager::NewPackageReadyToInstall: error while setting the PendingUpdate "
           "property.";
    return;
  }
  const struct {
    const char* name;
    const std::string& value;
  } values[] = {{kInstallerPathValue, path},
                {kInstallerTargetVersionValue, targetVersion},
                {kInstallerSha256Value, sha256}};
  for (const auto& entry : values) {
    if (!SetUpdaterStringValue(entry.name, entry.value)) {
      TARNEL_LOG(ERROR) << "UpdaterManager::NewPackageReadyToInstall: error while setting the "
                        << entry.name << " property. Trying to reset PendingUpdate...";
      ResetRegPendingUpdate(false);
      return;
    }
  }
  TARNEL_LOG(INFO) << "Package ready to be installed : " << path;
}

bool UpdaterManager::PackageNeedsToBeInstalled(const std::string& currentVersion) {
  bool pending = false;
  if (!GetRegPendingUpdate(pending)) {
    TARNEL_LOG(ERROR) << "UpdaterManager::PackageNeedsToBeInstalled: an error has occured while "
                         "retrieving the PendingUpdate property. Discarding possible update.";
    return false;
  }
  if (!pending) {
    TARNEL_LOG(VERBOSE) << "UpdaterManager::PackageNeedsToBeInstalled: no update available";
    return false;
  }
  TARNEL_LOG(INFO) << "UpdaterManager::PackageNeedsToBeInstalled: an update is available, now "
                      "compare version numbers";
  std::string targetVersion;
  if (!GetUpdaterStringValue(kInstallerTargetVersionValue, targetVersion)) {
    TARNEL_LOG(ERROR) << "UpdaterManager::PackageNeedsToBeInstalled: an error has occured while "
                         "retrieving the InstallerTargetVersion property. Discarding possible "
                         "update.";
    return false;
  }
  if (CompareVersions(currentVersion, targetVersion) == VersionOrder::Older) {
    TARNEL_LOG(INFO) << "UpdaterManager::PackageNeedsToBeInstalled: current version is older "
                        "than the downloaded package. The update will start soon.";
    return true;
  }
  TARNEL_LOG(ERROR) << "UpdaterManager::PackageNeedsToBeInstalled: current version is newer "
                       "than the downloaded package.";
  return false;
}

}  // namespace tarnel
