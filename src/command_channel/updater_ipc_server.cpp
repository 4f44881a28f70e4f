// TEMPORARY: placeholder so that the tree links; the command channel work replaces it.
#include "command_channel/updater_ipc_server.h"

#include "logging/logger.h"

namespace tarnel {

UpdaterIPCServer::UpdaterIPCServer(UpdaterManager* manager) : manager(manager) {
  TARNEL_LOG(VERBOSE) << "UpdaterIPCServer: create";
}

UpdaterIPCServer::~UpdaterIPCServer() { TARNEL_LOG(VERBOSE) << "UpdaterIPCServer: destroy"; }

}  // namespace tarnel
