// The command handler of the update service: reads JSON commands from a connection and
// drives the updater manager.
#pragma once

#include "command_channel/ipc_server.h"

namespace tarnel {

class UpdaterManager;

class UpdaterIPCServer : public IPCServer {
 public:
  explicit UpdaterIPCServer(UpdaterManager* manager);
  ~UpdaterIPCServer();

 private:
  UpdaterManager* manager;
};

}  // namespace tarnel
