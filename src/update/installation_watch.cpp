#include "update/installation_watch.h"

#include "logging/logger.h"
#include "platform/installer_staging.h"

namespace tarnel {
namespace {

// How often a follower looks whether the service stops while its installer runs.
constexpr std::chrono::milliseconds kWaitSlice{500};
// How often, and how far apart, the removal of an ended installer's copy is tried.
constexpr int kRemovalAttempts = 25;
constexpr std::chrono::milliseconds kRemovalRetryDelay{200};

}  // namespace

InstallationWatch::InstallationWatch(std::chrono::milliseconds runningWarning)
    : runningWarning(runningWarning) {}

InstallationWatch::~InstallationWatch() { Stop(); }

void InstallationWatch::Watch(platform::InstallerProcess process, const std::string& registeredPath,
                              const std::string& stagingFolder) {
  if (!process.IsValid()) {
    // Nothing to follow (the system gave no process): the copy goes now if it can, otherwise
    // at a later start.
    platform::RemoveStagingFolder(stagingFolder);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (stopping) return;
  JoinFinished();
  followers.push_back(std::make_unique<Follower>());
  Follower* follower = followers.back().get();
  follower->thread = std::thread(&InstallationWatch::Follow, this, std::move(process),
                                 registeredPath, stagingFolder, follower);
}

void InstallationWatch::Stop() {
  std::list<std::unique_ptr<Follower>> stopped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    stopped.swap(followers);
  }
  stopSignal.notify_all();
  for (const auto& follower : stopped) follower->thread.join();
}

size_t InstallationWatch::Running() {
  std::lock_guard<std::mutex> lock(mutex);
  size_t running = 0;
  for (const auto& follower : followers) running += follower->finished ? 0 : 1;
  return running;
}

void InstallationWatch::JoinFinished() {
  for (auto it = followers.begin(); it != followers.end();) {
    if ((*it)->finished) {
      (*it)->thread.join();
      it = followers.erase(it);
    } else {
      ++it;
    }
  }
}

bool InstallationWatch::SleepUnlessStopping(std::chrono::milliseconds duration) {
  std::unique_lock<std::mutex> lock(mutex);
  return stopSignal.wait_for(lock, duration, [&] { return stopping; });
}

void InstallationWatch::RemoveWhenReleased(const std::string& stagingFolder) {
  // The system may release an ended program's image a moment after its end is signalled.
  for (int attempt = 0; attempt < kRemovalAttempts; ++attempt) {
    if (platform::RemoveStagingFolder(stagingFolder)) return;
    if (SleepUnlessStopping(kRemovalRetryDelay)) return;
  }
}

void InstallationWatch::Follow(platform::InstallerProcess process,
                               const std::string& registeredPath, const std::string& stagingFolder,
                               Follower* self) {
  const auto started = std::chrono::steady_clock::now();
  bool warned = false;
  int exitCode = 0;
  bool ended = false;
  while (process.IsValid()) {
    const auto sliceStart = std::chrono::steady_clock::now();
    if (process.WaitForExit(static_cast<int>(kWaitSlice.count()), &exitCode)) {
      ended = true;
      break;
    }
    // A wait that returned early without an end (its failure) must not turn into a spin.
    const auto waited = std::chrono::steady_clock::now() - sliceStart;
    const auto rest = kWaitSlice - std::chrono::duration_cast<std::chrono::milliseconds>(waited);
    if (SleepUnlessStopping(rest > rest.zero() ? rest : rest.zero())) break;
    if (!warned && std::chrono::steady_clock::now() - started >= runningWarning) {
      TARNEL_LOG(WARNING)
          << "Installation of " << registeredPath << " still running after "
          << std::chrono::duration_cast<std::chrono::minutes>(runningWarning).count() << " minutes";
      warned = true;
    }
  }
  if (ended) {
    if (exitCode == 0) {
      TARNEL_LOG(INFO) << "Installation of " << registeredPath << " ended with exit code 0";
    } else {
      TARNEL_LOG(ERROR) << "Installation of " << registeredPath << " ended with exit code "
                        << exitCode;
    }
    RemoveWhenReleased(stagingFolder);
  }
  self->finished = true;
}

}  // namespace tarnel
