#include "command_channel/updater_ipc_server.h"
#include "logging/logger.h"
#include "product_facts.h"
#include "service_host/updater_manager.h"
#include "update/installer.h"

namespace tarnel {
namespace {

const char kServiceName[] = TARNEL_SERVICE_NAME;
const char kPipeName[] = TARNEL_PIPE_NAME;

UpdaterManagerWindows* Manager() {
  return static_cast<UpdaterManagerWindows*>(UpdaterManager::GetInstance());
}

}  // namespace

void ServiceMain(uint32_t /*argc*/, char** /*argv*/) {
  UpdaterManagerWindows* manager = Manager();
  if (manager->isService) {
    manager->serviceStatusHandle =
        platform::RegisterServiceControlHandler(kServiceName, ServiceControlHandler);
  }
  manager->SetStarting();
  manager->LoadInstallerPublisher();
  RemoveAbandonedInstallerCopies();
  {
    UpdaterIPCServer server(manager);
    server.Start(kPipeName, /*systemOnly=*/false, /*concurrent=*/false, /*logFailures=*/true);
    manager->SetStarted();
    TARNEL_LOG(INFO) << "Updater ready";
    manager->stopEvent.Wait(-1);
    manager->SetStopping();
    server.Stop();
    // Installers still running go on; their copies are removed at a later start.
    manager->installations.Stop();
    manager->SetStopped();
  }
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t /*eventType*/, void* /*eventData*/,
                               void* /*context*/) {
  UpdaterManager* manager = UpdaterManager::GetInstance();
  if (control == platform::kServiceControlStop || control == platform::kServiceControlShutdown) {
    TARNEL_LOG(INFO) << "Windows Service is asked to be stopped...";
    manager->Stop();
  }
  return platform::kNoError;
}

bool UpdaterManagerWindows::SetStarting() {
  return ReportState("SetStarting", platform::kServiceStartPending, 0);
}

bool UpdaterManagerWindows::SetStarted() {
  return ReportState("SetStarted", platform::kServiceRunning,
                     platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange);
}

bool UpdaterManagerWindows::SetStopping() {
  return ReportState("SetStopping", platform::kServiceStopPending, 0);
}

bool UpdaterManagerWindows::SetStopped() {
  return ReportState("SetStopped", platform::kServiceStopped, 0);
}

bool UpdaterManagerWindows::ReportState(const char* stepName, uint32_t state,
                                        uint32_t controlsAccepted) {
  TARNEL_LOG(INFO) << "UpdaterManager: " << stepName;
  if (!isService) return true;
  serviceStatus.dwCurrentState = state;
  serviceStatus.dwControlsAccepted = controlsAccepted;
  serviceStatus.dwWin32ExitCode = 0;
  serviceStatus.dwServiceSpecificExitCode = 0;
  serviceStatus.dwCheckPoint = 0;
  serviceStatus.dwWaitHint = 0;
  return platform::ReportServiceStatus(serviceStatusHandle, serviceStatus);
}

}  // namespace tarnel
