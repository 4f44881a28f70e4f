// Install: copy the registered installer into a staging folder of the service's own, verify
// the copy's SHA-256 digest and, when the service has a publisher, its signature and version;
// then start the copy elevated with the silent-install arguments and follow it to its end.
#include "update/installer.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "platform/directory.h"
#include "platform/held_file.h"
#include "platform/installer_launch.h"
#include "platform/installer_signature.h"
#include "platform/installer_staging.h"
#include "platform/installer_version.h"
#include "product_facts.h"
#include "service_host/updater_manager.h"
#include "update/property_store.h"
#include "update/record_lock.h"
#include "update/version.h"

// The version resource's numbers as text: "1,0,0,0".
#define TARNEL_VERSION_TEXT_OF(...) #__VA_ARGS__
#define TARNEL_VERSION_TEXT(...) TARNEL_VERSION_TEXT_OF(__VA_ARGS__)

namespace tarnel {
namespace {

std::function<void(const std::string&)>& VerifiedHook() {
  static std::function<void(const std::string&)> hook;
  return hook;
}

std::function<void(const std::string&)>& StagingHook() {
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
                      const platform::HeldFile& staged, const std::string& registeredPath) {
  if (publisher.Mode() == platform::PublisherMode::kNone) return true;
  std::string detail;
  const platform::SignatureCheck outcome = publisher.Check(staged, registeredPath, &detail);
  if (outcome == platform::SignatureCheck::kPassed) return true;
  TARNEL_LOG(ERROR) << kFailurePrefix << CheckFailureText(outcome) << " (" << detail << ")";
  TARNEL_LOG(ERROR) << kFailurePrefix << "installer signature check failed." << kTryingToReset;
  return false;
}

// Logs why the installer cannot be staged and the step that failed.
void LogStagingFailure(const std::string& reason) {
  TARNEL_LOG(ERROR) << kFailurePrefix << reason;
  TARNEL_LOG(ERROR) << kFailurePrefix << "error while computing the installer SHA256."
                    << kTryingToReset;
}

// The last component of a path, with either separator.
std::string FileNameOf(const std::string& path) {
  size_t cut = path.size();
  while (cut > 0 && !platform::IsPathSeparator(path[cut - 1])) --cut;
  return path.substr(cut);
}

// The service's own version as the four numbers of its version resource, "1.0.0.0".
std::string OwnProductVersion() {
  std::string version = TARNEL_VERSION_TEXT(TARNEL_VERSION_NUMBERS);
  for (char& c : version) {
    if (c == ',') c = '.';
  }
  return version;
}

// With a publisher, an installer older than the service is refused: the publisher's old
// installers are signed as validly as its new ones. Equal versions pass (a repair).
bool VersionAccepted(const platform::InstallerPublisher& publisher,
                     const platform::HeldFile& staged) {
  if (publisher.Mode() == platform::PublisherMode::kNone ||
      !platform::InstallersCarrySignedVersion()) {
    return true;
  }
  const std::string own = OwnProductVersion();
  std::string version;
  std::string reason;
  if (!platform::ReadInstallerProductVersion(staged, &version)) {
    reason = "the installer has no version";
  } else {
    const VersionOrder order = CompareVersions(version, own);
    if (order == VersionOrder::Older) {
      reason = "the installer's version " + version + " is older than the service's " + own;
    } else if (order == VersionOrder::Undetermined) {
      reason =
          "the installer's version " + version + " cannot be compared with the service's " + own;
    }
  }
  if (reason.empty()) return true;
  TARNEL_LOG(ERROR) << kFailurePrefix << reason;
  TARNEL_LOG(ERROR) << kFailurePrefix << "installer version check failed." << kTryingToReset;
  return false;
}

// Opens the registered installer and refuses, before reading any content, what cannot be
// one: a missing file, anything but a regular file, a file above kMaxInstallerBytes.
bool OpenRegisteredInstaller(const std::string& path, platform::HeldFile* installer) {
  std::string reason;
  if (!installer->Open(path, &reason)) {
    LogStagingFailure(reason);
    return false;
  }
  if (installer->Size() > kMaxInstallerBytes) {
    LogStagingFailure(path + " has " + std::to_string(installer->Size()) +
                      " bytes, more than the " + std::to_string(kMaxInstallerBytes) +
                      " an installer may have");
    return false;
  }
  return true;
}

// Copies the registered installer into a new staging folder and computes the copy's digest.
bool StageCopy(const platform::HeldFile& installer, const std::atomic<bool>* cancel,
               platform::StagingFolder* folder, platform::HeldFile* staged, std::string* computed) {
  std::string reason;
  if (!folder->Create(&reason) ||
      !platform::StageInstallerCopy(installer, folder->Path() + FileNameOf(installer.Path()),
                                    cancel, staged, computed, &reason)) {
    LogStagingFailure(reason);
    return false;
  }
  TARNEL_LOG(INFO) << "Staged installer copy: " << staged->Path();
  return true;
}

// What an installation takes from the record, read at its start under the record lock.
struct InstallationRequest {
  std::string installerPath;
  std::string expected;
  std::string installDirectory;
  bool installDirectoryRead = false;
};

// Reads the record's values for an installation; false (with its line) when the installer's
// path or digest cannot be read. The installation directory is read now as well, so that the
// record is not touched later without the lock; its failure is reported where it is used.
bool ReadRequest(UpdaterManagerWindows& manager, InstallationRequest* request) {
  if (!manager.GetUpdaterStringValue(kInstallerPathValue, request->installerPath)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallerPath property."
                      << kTryingToReset;
    return false;
  }
  TARNEL_LOG(INFO) << "Checking installer SHA256...";
  if (!manager.GetUpdaterStringValue(kInstallerSha256Value, request->expected)) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallerSha256 property."
                      << kTryingToReset;
    return false;
  }
  request->installDirectoryRead =
      manager.GetUpdaterStringValue(kInstallPathValue, request->installDirectory);
  return true;
}

// Verifies and starts the requested installer; true when it was started. What starts is the
// service's own copy, in a folder that only the service's account can change, and it is
// that copy whose digest, signature and version are checked. Runs without the record lock.
bool VerifyAndLaunch(UpdaterManagerWindows& manager, const InstallationRequest& request) {
  const std::string& installerPath = request.installerPath;
  if (StagingHook()) StagingHook()(installerPath);
  platform::HeldFile installer;
  if (!OpenRegisteredInstaller(installerPath, &installer)) return false;
  platform::StagingFolder folder;
  platform::HeldFile staged;
  std::string computed;
  if (!StageCopy(installer, &manager.stopRequested, &folder, &staged, &computed)) return false;
  TARNEL_LOG(ERROR) << "Expected: " << request.expected;
  TARNEL_LOG(ERROR) << "Computed: " << computed;
  if (request.expected != computed) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "SHA256 hash mismatch." << kTryingToReset;
    return false;
  }
  if (!PublisherAccepts(manager.installerPublisher, staged, installerPath)) return false;
  if (!VersionAccepted(manager.installerPublisher, staged)) return false;
  if (VerifiedHook()) VerifiedHook()(installerPath);
  if (!request.installDirectoryRead) {
    TARNEL_LOG(ERROR) << kFailurePrefix << "error while getting the InstallPath property."
                      << kTryingToReset;
    return false;
  }
  const std::string& installDirectory = request.installDirectory;
  const std::vector<std::string> arguments = InstallerArguments(installDirectory);
  TARNEL_LOG(INFO) << "Launch installation of " << installerPath << " with parameters "
                   << JoinArguments(arguments);
  platform::InstallerProcess process;
  if (!platform::LaunchInstaller(staged, arguments, folder.Path(), &process)) {
    TARNEL_LOG(ERROR) << "Update : Error while launching " << installerPath;
    return false;
  }
  // The copy is no longer held, so that it can be removed as soon as its installer ended.
  staged.Close();
  manager.installations.Watch(std::move(process), installerPath, folder.Release());
  return true;
}

// Whether the record still names the package this installation was asked for; a package
// registered meanwhile keeps its pending flag. A record that cannot be read counts as
// unchanged, so the flag is lowered as on every other attempt.
bool RecordStillNames(UpdaterManagerWindows& manager, const InstallationRequest& request) {
  std::string path;
  std::string sha256;
  if (!manager.GetUpdaterStringValue(kInstallerPathValue, path) ||
      !manager.GetUpdaterStringValue(kInstallerSha256Value, sha256)) {
    return true;
  }
  return path == request.installerPath && sha256 == request.expected;
}

}  // namespace

void SetInstallerVerifiedHook(std::function<void(const std::string&)> hook) {
  VerifiedHook() = std::move(hook);
}

void SetInstallerStagingHook(std::function<void(const std::string&)> hook) {
  StagingHook() = std::move(hook);
}

void RemoveAbandonedInstallerCopies() {
  const int removed = platform::RemoveAbandonedStagingFolders();
  if (removed > 0) {
    TARNEL_LOG(INFO) << "Removed " << removed << " staged installer copies of earlier runs";
  }
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
      // A service installed as such that starts any admitted caller's program is worth a
      // warning; in the foreground it is the usual way of trying the service out.
      TARNEL_LOG_AT(isService ? LogLevel::WARNING : LogLevel::INFO)
          << kPublisherPrefix << "none, installers are started without a signature check";
      break;
  }
}

// The command's user and display have no part in the installation. The record is read and
// written under the record lock, at the start and at the end; in between the installer is
// copied, checked and started under the installation lock alone (one installation at a time),
// while the other commands are handled.
bool UpdaterManagerWindows::Install(std::string, std::string) {
  if (!installerPublisher.IsLoaded()) LoadInstallerPublisher();
  InstallationRequest request;
  if (!ReadRequest(*this, &request)) {
    ResetRegPendingUpdate(false);  // logs its own failure
    return false;
  }
  bool started = false;
  {
    RecordLockReleased released;
    std::lock_guard<std::mutex> oneAtATime(installationMutex);
    started = VerifyAndLaunch(*this, request);
  }
  if (!RecordStillNames(*this, request)) {
    TARNEL_LOG(INFO)
        << "PendingUpdate kept: a newer package was registered during the installation";
    return started;
  }
  if (!started) {
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
