// A run of the real service executable in a folder of its own, and of the client tool.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "command_channel/child_process.h"
#include "command_channel/ipc_client.h"

namespace tarnel::testing {

class ServiceRun {
 public:
  // Prepares data, state and log folders and the settings file. The runtime folder is the
  // test process's own, so that IPCClient of the test reaches the service's pipe.
  ServiceRun();

  // Starts the service with `args` ({"--no-service"} for the foreground).
  bool Start(const std::vector<std::string>& args,
             const std::map<std::string, std::string>& extraEnvironment = {});
  // Waits for its end; false when it still runs after `timeout` (it is then killed).
  bool WaitForExit(int* status, std::chrono::seconds timeout = std::chrono::seconds(60));
  // Runs the client tool with `args`; its exit status, its output in *output.
  int Client(const std::vector<std::string>& args, std::string* output);

  // What the service wrote to its log file so far.
  std::string Log() const;
  // The service's standard output and error.
  std::string Output() const;
  ChildProcess& Process() { return process; }
  const std::string& Folder() const { return folder; }

 private:
  std::string folder;
  std::map<std::string, std::string> environment;
  ChildProcess process;
};

// True when `lines` appear in `text` in this order.
bool InOrder(const std::string& text, const std::vector<std::string>& lines);
// How often `needle` appears in `text`.
int CountOf(const std::string& text, const std::string& needle);

// Sends an "is_update_needed" check on an open connection and tells whether an
// "update_needed" reply came back.
bool IsUpdateCheckAnswered(IPCClient* client);

}  // namespace tarnel::testing
