#include "platform/service_control.h"

#include <windows.h>

#include <cstring>

namespace tarnel::platform {
namespace {

static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS),
              "ServiceStatus mirrors SERVICE_STATUS");

ServiceMainFunction g_serviceMain = nullptr;
ServiceControlHandlerFunction g_controlHandler = nullptr;
// Set once the service main function has returned; the dispatcher call returns as soon as
// the service reports itself stopped, which can be before that.
HANDLE g_serviceMainReturned = nullptr;

void WINAPI ServiceMainTrampoline(DWORD argc, LPSTR* argv) {
  g_serviceMain(argc, argv);
  SetEvent(g_serviceMainReturned);
}

DWORD WINAPI ControlHandlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData,
                                      LPVOID context) {
  return g_controlHandler(control, eventType, eventData, context);
}

}  // namespace

uint32_t RunServiceDispatcher(const std::string& serviceName, ServiceMainFunction serviceMain) {
  g_serviceMain = serviceMain;
  g_serviceMainReturned = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::string name = serviceName;
  SERVICE_TABLE_ENTRYA table[] = {{&name[0], ServiceMainTrampoline}, {nullptr, nullptr}};
  uint32_t result = 0;
  if (!StartServiceCtrlDispatcherA(table)) {
    result = GetLastError();
  } else if (g_serviceMainReturned != nullptr) {
    WaitForSingleObject(g_serviceMainReturned, INFINITE);
  }
  if (g_serviceMainReturned != nullptr) CloseHandle(g_serviceMainReturned);
  g_serviceMainReturned = nullptr;
  return result;
}

ServiceStatusHandle RegisterServiceControlHandler(const std::string& serviceName,
                                                  ServiceControlHandlerFunction handler) {
  g_controlHandler = handler;
  std::wstring wide(serviceName.begin(), serviceName.end());
  return RegisterServiceCtrlHandlerExW(wide.c_str(), ControlHandlerTrampoline, nullptr);
}

bool ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS native;
  std::memcpy(&native, &status, sizeof native);
  return SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &native) == 1;
}

}  // namespace tarnel::platform
