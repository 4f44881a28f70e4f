#include <cstring>
#include <vector>

#include "logging/logger.h"
#include "service_host/updater_manager.h"

namespace tarnel {
namespace {

const char kServiceName[] = "TarnelUpdaterService";
const char kForegroundOption[] = "--no-service";

bool IsForegroundOption(const char* argument) {
  return std::strcmp(argument, kForegroundOption) == 0;
}

void ServiceMainEntry(uint32_t argc, char** argv) { ServiceMain(argc, argv); }

}  // namespace

int UpdaterManagerWindows::Run(int argc, char** argv) {
  isService = true;
  bool foreground = false;
  for (int i = 1; i < argc && !foreground; ++i) foreground = IsForegroundOption(argv[i]);

  if (!foreground) {
    return static_cast<int>(platform::RunServiceDispatcher(kServiceName, ServiceMainEntry));
  }

  isService = false;
  // The entries point into the process's own argument vector; nothing is copied.
  std::vector<char*> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  arguments.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (!IsForegroundOption(argv[i])) arguments.push_back(argv[i]);
  }
  ServiceMain(static_cast<uint32_t>(arguments.size()), arguments.data());
  return 0;
}

}  // namespace tarnel
