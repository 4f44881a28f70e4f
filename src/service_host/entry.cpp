#include "logging/logger.h"
#include "service_host/updater_manager.h"

namespace tarnel {

int RunProcess(int argc, char** argv) {
  GetLogger();
  UpdaterManager* manager = UpdaterManager::GetInstance();
  const int result = manager->Run(argc, argv);
  UpdaterManager::DestroyInstance();
  DeleteLogger();
  return result;
}

}  // namespace tarnel
