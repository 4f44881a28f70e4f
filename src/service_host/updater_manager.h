// The updater manager: the one object that holds the service's state and offers the update
// operations. UpdaterManager declares the interface and implements the update decision on
// top of it; UpdaterManagerWindows is the only implementation (the class keeps its name in
// every build; on POSIX its platform calls go to the stand-ins of the platform layer).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/installer_signature.h"
#include "platform/service_control.h"
#include "service_host/singleton_base.h"
#include "service_host/sync_event.h"
#include "update/installation_watch.h"

namespace tarnel {

class UpdaterManager {
 public:
  UpdaterManager();

  virtual int Run(int argc, char** argv) = 0;
  virtual bool Stop() = 0;
  virtual bool Install(std::string user, std::string display) = 0;
  virtual ~UpdaterManager();
  virtual bool GetRegPendingUpdate(bool& pending) = 0;
  virtual bool ResetRegPendingUpdate(bool pending) = 0;
  virtual bool GetUpdaterStringValue(const std::string& name, std::string& value) = 0;
  virtual bool SetUpdaterStringValue(const std::string& name, const std::string& value) = 0;

  // Registration and update decision (update/registration.cpp).
  void NewPackageReadyToInstall(const std::string& path, const std::string& targetVersion,
                                const std::string& sha256);
  bool PackageNeedsToBeInstalled(const std::string& currentVersion);

  // The process-wide manager, constructed as an UpdaterManagerWindows on the first call.
  static UpdaterManager* GetInstance();
  static void DestroyInstance();

  UpdaterManager(const UpdaterManager&) = delete;
  UpdaterManager& operator=(const UpdaterManager&) = delete;
};

class UpdaterManagerWindows : public UpdaterManager, public SingletonBase {
 public:
  UpdaterManagerWindows();

  int Run(int argc, char** argv) override;                       // run_modes.cpp
  bool Stop() override;                                          // updater_manager.cpp
  bool Install(std::string user, std::string display) override;  // update/installer.cpp
  ~UpdaterManagerWindows() override;
  // The property store (update/property_store.cpp).
  bool GetRegPendingUpdate(bool& pending) override;
  bool ResetRegPendingUpdate(bool pending) override;
  bool GetUpdaterStringValue(const std::string& name, std::string& value) override;
  bool SetUpdaterStringValue(const std::string& name, const std::string& value) override;

  // Status steps (service_main.cpp): log the step at INFO and, in service mode, report it.
  bool SetStarting();
  bool SetStarted();
  bool SetStopping();
  bool SetStopped();

  // Determines whose installers Install starts and logs the mode in force
  // (update/installer.cpp). ServiceMain calls it at start; a manager that has not loaded it
  // yet does so at its first Install.
  void LoadInstallerPublisher();

  platform::ServiceStatus serviceStatus;
  platform::ServiceStatusHandle serviceStatusHandle;
  bool isService;
  SyncEvent stopEvent;
  platform::InstallerPublisher installerPublisher;
  // The started installers, followed to their end.
  InstallationWatch installations;
  // One installation at a time copies, checks and starts an installer.
  std::mutex installationMutex;
  // Set by Stop: an installation still copying or checking its installer gives up.
  std::atomic<bool> stopRequested{false};

 private:
  bool ReportState(const char* stepName, uint32_t state, uint32_t controlsAccepted);
};

// The service main function: the same body in both run modes (service_main.cpp).
void ServiceMain(uint32_t argc, char** argv);

// The extended control handler registered in service mode (service_main.cpp).
uint32_t ServiceControlHandler(uint32_t control, uint32_t eventType, void* eventData,
                               void* context);

// The process entry shared by both builds' main functions: creates the logger and the
// manager, runs, destroys both and returns the exit code.
int RunProcess(int argc, char** argv);

}  // namespace tarnel
