// Starts a program as a child process for end-to-end tests: posix_spawn on POSIX,
// CreateProcessA on Windows.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace tarnel::testing {

class ChildProcess {
 public:
  ChildProcess() {}
  ~ChildProcess();  // kills the child when it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `path` with `args`, in this process's environment with `environment` laid over
  // it; standard output and error go to `outputFile`.
  bool Start(const std::string& path, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& environment, const std::string& outputFile);
  // Waits for the end of the child; false when it still runs after `timeout`.
  bool WaitForExit(std::chrono::milliseconds timeout, int* exitStatus);
  // POSIX: sends SIGTERM. Windows: not available (returns false).
  bool Terminate();
  void Kill();
  long Id() const { return id; }

 private:
  long id = 0;
  void* handle = nullptr;  // Windows: the process handle
  bool running = false;
};

// Runs a program to its end (up to `timeout`); returns its exit status, or -1 when it had
// to be killed. Its output lands in *output.
int RunToEnd(const std::string& path, const std::vector<std::string>& args,
             const std::map<std::string, std::string>& environment, std::string* output,
             std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace tarnel::testing
