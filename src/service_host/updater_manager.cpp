#include "service_host/updater_manager.h"

#include "logging/logger.h"

namespace tarnel {
namespace {

UpdaterManager* g_manager = nullptr;

}  // namespace

UpdaterManager::UpdaterManager() { TARNEL_LOG(VERBOSE) << "UpdaterManager: create"; }

UpdaterManager::~UpdaterManager() { TARNEL_LOG(VERBOSE) << "UpdaterManager: destroy"; }

UpdaterManager* UpdaterManager::GetInstance() {
  if (g_manager == nullptr) g_manager = new UpdaterManagerWindows();
  return g_manager;
}

void UpdaterManager::DestroyInstance() {
  if (g_manager == nullptr) return;
  delete g_manager;
  g_manager = nullptr;
}

UpdaterManagerWindows::UpdaterManagerWindows()
    : serviceStatus{}, serviceStatusHandle(nullptr), isService(true) {
  TARNEL_LOG(VERBOSE) << "UpdaterManagerWindows: create";
  serviceStatus.dwServiceType = platform::kServiceWin32OwnProcess;
  stopEvent.Init();
}

UpdaterManagerWindows::~UpdaterManagerWindows() {
  TARNEL_LOG(VERBOSE) << "UpdaterManagerWindows: destroy";
  stopEvent.Close();
}

bool UpdaterManagerWindows::Stop() {
  stopRequested = true;
  return stopEvent.Set();
}

}  // namespace tarnel
