// Install: verify the registered installer's SHA-256 digest, then start it elevated with
// the silent-install arguments. The installer is held open from before its digest is taken
// until it has been started, so that the file verified is the file started.
#include "update/installer.h"

#include <vector>

#include "logging/logger.h"
#include "platform/held_file.h"
#include "platform/installer_launch.h"
#include "service_host/updater_manager.h"
#include "update/file_digest.h"
#include "update/property_store.h"

namespace tarnel {
namespace {

std::function<void(const std::string&)>& VerifiedHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

std::vector<std::string> InstallerArguments(const std::string& installDirectory) {
  return {"/S", "/U", "/R", "/D=" + installDirectory};
}

std::string JoinArguments(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (!joined.empty()) joined += ' ';
    joined += argument;
  }
  return joined;
}

constexpr char kFailurePrefix[] = "UpdaterManagerWindows::NewPackageReadyToInstall: ";
constexpr char kTryingToReset[] = " Trying to reset PendingUpdate...";

// Verifies and starts the recorded installer; true when it was started.
bool VerifyAndLaunch(UpdaterManager& store) {
  std::string installerPath;
  if (!store.GetUpdaterStringValue(kInstallerPathValue, installerPath)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallerPath property."
                      << kTryingToReset;
    return false;
  }
  TARNEL_LOG(INFO) << "Checking installer SHA256...";
  std::string expected;
  if (!store.GetUpdaterStringValue(kInstallerSha256Value, expected)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallerSha256 property."
                      << kTryingToReset;
    return false;
  }
  platform::HeldFile installer;
  std::string computed;
  if (!installer.Open(installerPath) || !ComputeHeldFileSha256(installer, computed)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while computing the installer SHA256."
                      << kTryingToReset;
    return false;
  }
  TARNEL_LOG(ERROR) << "Expected: " << expected;
  TARNEL_LOG(ERROR) << "Computed: " << computed;
  if (expected != computed) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "SHA256 hash mismatch." << kTryingToReset;
    return false;
  }
  if (VerifiedHook()) VerifiedHook()(installerPath);
  std::string installDirectory;
  if (!store.GetUpdaterStringValue(kInstallPathValue, installDirectory)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallPath property."
                      << kTryingToReset;
    return false;
  }
  const std::vector<std::string> arguments = InstallerArguments(installDirectory);
  TARNEL_LOG(INFO) << "Launch installation of " << installerPath << " with parameters "
                   << JoinArguments(arguments);
  if (!platform::LaunchInstaller(installer, arguments)) {
    TARNEL_LOG(ERROR) << "Update : Error while launching " << installerPath;
    return false;
  }
  return true;
}

}  // namespace

void SetInstallerVerifiedHook(std::function<void(const std::string&)> hook) {
  VerifiedHook() = std::move(hook);
}

// The command's user and display have no part in the installation.
bool UpdaterManagerWindows::Install(std::string, std::string) {
  if (!VerifyAndLaunch(*this)) {
    ResetRegPendingUpdate(false);  // logs its own failure
    return false;
  }
  if (!ResetRegPendingUpdate(false)) {
    TARNEL_LOG(ERROR) << "UpdaterManager::Install: error while setting the PendingUpdate property.";
    return false;
  }
  return true;
}

}  // namespace tarnel
