// Install: verify the registered installer's SHA-256 digest and, when the service has a
// publisher, the installer's signature; then start it elevated with the silent-install
// arguments. The installer is held open from before its digest is taken until it has been
// started, so that the file verified is the file started.
#include "update/installer.h"

#include <vector>

#include "logging/logger.h"
#include "platform/held_file.h"
#include "platform/installer_launch.h"
#include "platform/installer_signature.h"
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

constexpr char kPublisherPrefix[] = "Installer publisher: ";

const char* CheckFailureText(platform::SignatureCheck outcome) {
  switch (outcome) {
    case platform::SignatureCheck::kNoSignature:
      return "the installer has no signature";
    case platform::SignatureCheck::kNotThePublisher:
      return "the installer is not signed by the publisher";
    case platform::SignatureCheck::kContentMismatch:
      return "the installer's signature does not match its content";
    case platform::SignatureCheck::kCertificateUnusable:
      return "the publisher certificate cannot be used";
    case platform::SignatureCheck::kPassed:
      break;
  }
  return "the signature check passed";
}

// Without a publisher every installer passes, as it did before installers were signed.
bool PublisherAccepts(const platform::InstallerPublisher& publisher,
                      const platform::HeldFile& installer) {
  if (publisher.Mode() == platform::PublisherMode::kNone) return true;
  std::string detail;
  const platform::SignatureCheck outcome = publisher.Check(installer, &detail);
  if (outcome == platform::SignatureCheck::kPassed) return true;
  TARNEL_LOG(ERROR) << kFailurePrefix << CheckFailureText(outcome) << " (" << detail << ")";
  TARNEL_LOG(ERROR) << kFailurePrefix << "installer signature check failed." << kTryingToReset;
  return false;
}

// Verifies and starts the recorded installer; true when it was started.
bool VerifyAndLaunch(UpdaterManager& store, const platform::InstallerPublisher& publisher) {
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
  if (!PublisherAccepts(publisher, installer)) return false;
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

void UpdaterManagerWindows::LoadInstallerPublisher() {
  installerPublisher.Load();
  switch (installerPublisher.Mode()) {
    case platform::PublisherMode::kPublisher:
      TARNEL_LOG(INFO) << kPublisherPrefix << installerPublisher.Description();
      break;
    case platform::PublisherMode::kUnusable:
      TARNEL_LOG(ERROR) << kPublisherPrefix << installerPublisher.Description()
                        << ", no installer is started until it is fixed";
      break;
    case platform::PublisherMode::kNone:
      TARNEL_LOG(INFO) << kPublisherPrefix
                       << "none, installers are started without a signature check";
      break;
  }
}

// The command's user and display have no part in the installation.
bool UpdaterManagerWindows::Install(std::string, std::string) {
  if (!installerPublisher.IsLoaded()) LoadInstallerPublisher();
  if (!VerifyAndLaunch(*this, installerPublisher)) {
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
