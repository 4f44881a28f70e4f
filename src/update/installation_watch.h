// Follows started installers to their end: logs how each one ended and removes its staged
// copy. Each installer is followed on a thread of its own that holds no command lock.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/installer_launch.h"

namespace tarnel {

// How long an installer runs before the log says that it still runs. It is never killed.
constexpr std::chrono::minutes kInstallerRunningWarning{15};

class InstallationWatch {
 public:
  explicit InstallationWatch(std::chrono::milliseconds runningWarning = kInstallerRunningWarning);
  ~InstallationWatch();
  InstallationWatch(const InstallationWatch&) = delete;
  InstallationWatch& operator=(const InstallationWatch&) = delete;

  // Follows the started installer of the file registered at `registeredPath`. When it ends,
  // logs "Installation of PATH ended with exit code N" (INFO for 0, ERROR otherwise) and
  // removes `stagingFolder`; logs a WARNING once when it still runs after the warning time.
  void Watch(platform::InstallerProcess process, const std::string& registeredPath,
             const std::string& stagingFolder);

  // Stops following and joins the threads. Installers still running go on; their copies stay
  // for the clean-up at a later start. Watch does nothing afterwards.
  void Stop();

  // How many installers are being followed.
  size_t Running();

 private:
  struct Follower {
    std::thread thread;
    std::atomic<bool> finished{false};
  };

  void Follow(platform::InstallerProcess process, const std::string& registeredPath,
              const std::string& stagingFolder, Follower* self);
  // Removes the copy of an ended installer, trying again for a few seconds while it is in use.
  void RemoveWhenReleased(const std::string& stagingFolder);
  // Waits for the stop up to `duration`; true when stopping.
  bool SleepUnlessStopping(std::chrono::milliseconds duration);
  void JoinFinished();

  const std::chrono::milliseconds runningWarning;
  std::mutex mutex;
  std::condition_variable stopSignal;
  bool stopping = false;
  std::list<std::unique_ptr<Follower>> followers;
};

}  // namespace tarnel
