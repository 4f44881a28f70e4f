#include "service_host/run_modes.h"

#include <cstring>

#include "product_facts.h"
#include "service_host/updater_manager.h"

namespace tarnel {
namespace {

const char kServiceName[] = TARNEL_SERVICE_NAME;
const char kForegroundOption[] = "--no-service";

bool IsForegroundOption(const char* argument) {
  return std::strcmp(argument, kForegroundOption) == 0;
}

}  // namespace

bool HasForegroundOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (IsForegroundOption(argv[i])) return true;
  }
  return false;
}

std::vector<char*> ForegroundArguments(int argc, char** argv) {
  std::vector<char*> arguments;
  if (argc < 1) return arguments;
  arguments.reserve(static_cast<size_t>(argc));
  arguments.push_back(argv[0]);
  for (int i = 1; i < argc; ++i) {
    if (!IsForegroundOption(argv[i])) arguments.push_back(argv[i]);
  }
  return arguments;
}

int UpdaterManagerWindows::Run(int argc, char** argv) {
  isService = true;
  if (!HasForegroundOption(argc, argv)) {
    return static_cast<int>(platform::RunServiceDispatcher(kServiceName, ServiceMain));
  }
  isService = false;
  std::vector<char*> arguments = ForegroundArguments(argc, argv);
  ServiceMain(static_cast<uint32_t>(arguments.size()), arguments.data());
  return 0;
}

}  // namespace tarnel
