// systemd Type=notify stands in for the service control manager: readiness and state go
// out through sd_notify, and SIGTERM (or SIGINT) arrives as the stop control.
#include "platform/service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace tarnel::platform {
namespace {

std::atomic<ServiceControlHandlerFunction> g_controlHandler{nullptr};
std::atomic<bool> g_stopPending{false};  // a stop control that came before the handler

// The dispatcher thread sleeps on this pipe. A signal handler may run on any thread (the
// logger's writer thread exists before the dispatcher and does not block signals), so
// the handler only writes a byte here; the dispatcher thread does the rest.
int g_wakePipe[2] = {-1, -1};
constexpr char kStopControl = 'S';
constexpr char kStoppedReport = 'X';

void Wake(char what) {
  const int saved = errno;
  if (write(g_wakePipe[1], &what, 1) < 0) {
  }
  errno = saved;
}

void OnStopSignal(int /*signal*/) { Wake(kStopControl); }

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

void SetStopSignalHandler(void (*handler)(int)) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART, so that blocked calls return and a handler that runs deferred gets its
  // turn; the pipe and socket calls retry on EINTR. A thread sanitizer adds SA_RESTART all
  // the same, which is why the dispatcher waits in poll() (see RunServiceDispatcher).
  action.sa_flags = 0;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
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
  if (pipe2(g_wakePipe, O_CLOEXEC) != 0) return kErrorFailedServiceControllerConnect;
  SetStopSignalHandler(OnStopSignal);

  std::string name = serviceName;
  char* arguments[] = {&name[0], nullptr};
  std::thread service([&] { serviceMain(1, arguments); });

  for (;;) {
    // poll() first: unlike read(), it is never restarted after a signal handler, even with
    // SA_RESTART (which a thread sanitizer forces while it defers the handler until the
    // interrupted call returns).
    pollfd wake{g_wakePipe[0], POLLIN, 0};
    if (poll(&wake, 1, -1) < 0) continue;
    char what = 0;
    const ssize_t count = read(g_wakePipe[0], &what, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0 || what == kStoppedReport) break;
    DeliverStop();
  }
  service.join();
  SetStopSignalHandler(SIG_DFL);
  g_controlHandler = nullptr;
  close(g_wakePipe[0]);
  close(g_wakePipe[1]);
  g_wakePipe[0] = g_wakePipe[1] = -1;
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
  if (status.dwCurrentState == kServiceStopped) Wake(kStoppedReport);
  return sent;
}

}  // namespace tarnel::platform
