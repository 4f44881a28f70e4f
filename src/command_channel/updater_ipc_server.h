// The command handler of the update service: reads JSON commands from a connection and
// drives the updater manager.
#pragma once

#include <string>

#include "command_channel/ipc_server.h"

namespace tarnel {

class UpdaterManager;

class UpdaterIPCServer : public IPCServer {
 public:
  // `manager` is not owned and must outlive the server.
  explicit UpdaterIPCServer(UpdaterManager* manager);
  // Stops the server first, so that no worker calls into a half-destroyed object.
  ~UpdaterIPCServer();

 protected:
  // Runs one command: "stop_service", "new_install_package", "is_update_needed" or
  // "start_update_install". An unknown type, a root that is not an object, or a member the
  // matched command reads with a type it cannot convert is rejected and closes the
  // connection; members the command does not read are not looked at. The replies of
  // "stop_service" and "is_update_needed" go into *reply.
  bool HandleCommunication(platform::PipeHandle pipe, const Json::Value& message,
                           Reply* reply) override;

 private:
  bool HandleStopService(bool needReply, Reply* reply);
  bool HandleIsUpdateNeeded(const std::string& currentVersion, Reply* reply);

  UpdaterManager* manager;
};

}  // namespace tarnel
