// systemd Type=notify stands in for the service control manager: readiness and state go
// out through sd_notify, and SIGTERM (or SIGINT) arrives as the stop control.
#include "platform/service_control.h"

#include <pthread.h>
#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace tarnel::platform {
namespace {

std::atomic<ServiceControlHandlerFunction> g_controlHandler{nullptr};
std::atomic<bool> g_stopPending{false};  // a stop control that came before the handler
std::atomic<bool> g_stopped{false};
pthread_t g_dispatcherThread;

// The dispatcher thread wakes on this signal once the service reports itself stopped.
constexpr int kStoppedSignal = SIGUSR1;

const char* StateName(uint32_t state) {
  switch (state) {
    case kServiceStartPending:
      return "Starting";
    case kServiceRunning:
      return "Running";
    case kServiceStopPending:
      return "Stopping";
    case kServiceStopped:
      return "Stopped";
  }
  return "Unknown";
}

void DeliverStop() {
  ServiceControlHandlerFunction handler = g_controlHandler.load();
  if (handler == nullptr) {
    g_stopPending = true;
    return;
  }
  handler(kServiceControlStop, 0, nullptr, nullptr);
}

}  // namespace

uint32_t RunServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain) {
  const char* notifySocket = std::getenv("NOTIFY_SOCKET");
  if (notifySocket == nullptr || *notifySocket == '\0') {
    std::fprintf(stderr,
                 "%s: not started by systemd (no NOTIFY_SOCKET); run it as a Type=notify "
                 "service, or pass --no-service to run in the foreground\n",
                 serviceName.c_str());
    return kErrorFailedServiceControllerConnect;
  }

  // Block the control signals in every thread; this thread takes them with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, kStoppedSignal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  g_dispatcherThread = pthread_self();
  g_stopped = false;

  std::string name = serviceName;
  char* arguments[] = {&name[0], nullptr};
  std::thread service([&] { serviceMain(1, arguments); });

  while (!g_stopped) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGTERM || received == SIGINT) DeliverStop();
  }
  service.join();
  g_controlHandler = nullptr;
  return 0;
}

ServiceStatusHandle RegisterServiceControlHandler(const std::string& /*serviceName*/,
                                                  ServiceControlHandlerFunction handler) {
  g_controlHandler = handler;
  if (g_stopPending.exchange(false)) DeliverStop();
  // Any non-null value will do: there is one service per process.
  return reinterpret_cast<ServiceStatusHandle>(&g_controlHandler);
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  if (handle == nullptr) return false;
  std::string message = std::string("STATUS=") + StateName(status.dwCurrentState);
  if (status.dwCurrentState == kServiceRunning) message += "\nREADY=1";
  if (status.dwCurrentState == kServiceStopPending) message += "\nSTOPPING=1";
  const bool sent = sd_notify(0, message.c_str()) > 0;
  if (status.dwCurrentState == kServiceStopped) {
    g_stopped = true;
    pthread_kill(g_dispatcherThread, kStoppedSignal);
  }
  return sent;
}

}  // namespace tarnel::platform
