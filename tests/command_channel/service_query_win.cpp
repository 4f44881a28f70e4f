// tarnel_service_query NAME: prints the state and the accepted controls of a Windows
// service as "STATE <n> CONTROLS 0x<hex>" (the Wine service test needs the controls, which
// Wine's sc query does not show). Exit status 1 when the service cannot be queried.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tarnel_service_query NAME\n");
    return 1;
  }
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return 1;
  SC_HANDLE service = OpenServiceA(manager, argv[1], SERVICE_QUERY_STATUS);
  SERVICE_STATUS status{};
  const bool ok = service != nullptr && QueryServiceStatus(service, &status);
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!ok) return 1;
  std::printf("STATE %lu CONTROLS 0x%lx\n", static_cast<unsigned long>(status.dwCurrentState),
              static_cast<unsigned long>(status.dwControlsAccepted));
  return 0;
}
