// The service control manager: on Windows the real one (advapi32); on POSIX systemd with
// Type=notify, where SIGTERM plays the stop control.
#pragma once

#include <cstdint>
#include <string>

namespace tarnel::platform {

// The status record reported to the service control manager, laid out like Windows'
// SERVICE_STATUS.
struct ServiceStatus {
  uint32_t dwServiceType;
  uint32_t dwCurrentState;
  uint32_t dwControlsAccepted;
  uint32_t dwWin32ExitCode;
  uint32_t dwServiceSpecificExitCode;
  uint32_t dwCheckPoint;
  uint32_t dwWaitHint;
};

using ServiceStatusHandle = void*;

constexpr uint32_t kServiceWin32OwnProcess = 0x10;
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;
constexpr uint32_t kServiceAcceptStop = 0x1;
constexpr uint32_t kServiceAcceptSessionChange = 0x80;
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceControlShutdown = 5;
constexpr uint32_t kServiceControlSessionChange = 0xE;
constexpr uint32_t kNoError = 0;
constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;

using ServiceMainFunction = void (*)(uint32_t argc, char** argv);
using ServiceControlHandlerFunction = uint32_t (*)(uint32_t control, uint32_t eventType,
                                                   void* eventData, void* context);

// Hands the process to the service control manager as the one service `serviceName` and
// returns once that service has reported itself stopped and `serviceMain` has returned
// (so nothing of the service still runs when the caller tears the process down): 0, or
// the error that kept the dispatcher from running. Windows: StartServiceCtrlDispatcherA; started
// from a prompt it fails with 1063. POSIX: needs NOTIFY_SOCKET (systemd Type=notify); without it a
// hint goes to standard error and 1063 is returned as well. Otherwise `serviceMain` runs on a
// thread of its own while the calling thread turns SIGTERM into stop controls.
uint32_t RunServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain);

// Registers the control handler of the running service (RegisterServiceCtrlHandlerExW with
// a null context). Returns the status handle, null on failure.
ServiceStatusHandle RegisterServiceControlHandler(const std::string& serviceName,
                                                  ServiceControlHandlerFunction handler);

// Reports the status (SetServiceStatus); true exactly when the system accepted it.
// POSIX: sends STATUS= lines, READY=1 on running, STOPPING=1 on stop pending.
bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

}  // namespace tarnel::platform
