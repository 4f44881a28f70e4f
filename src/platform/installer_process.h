// A started installer process, and learning when it ended and with which exit code.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

namespace tarnel::platform {

// POSIX: an installer that the service manager runs as a unit of its own.
struct InstallerUnit;

// A started installer process. Move-only; closing it (or destroying it) leaves the process
// running.
class InstallerProcess {
 public:
  InstallerProcess() = default;
  // Takes over a started process: POSIX, a pidfd of the child (-1 where the kernel offers
  // none; the pid alone serves then) and its pid; Windows, the process HANDLE and its id.
  InstallerProcess(intptr_t handle, int64_t pid) : handle(handle), pid(pid) {}
  // POSIX: takes over an installer that runs as a unit of the service manager.
  explicit InstallerProcess(std::shared_ptr<InstallerUnit> unit) : unit(std::move(unit)) {}
  ~InstallerProcess();
  InstallerProcess(InstallerProcess&& other) noexcept;
  InstallerProcess& operator=(InstallerProcess&& other) noexcept;
  InstallerProcess(const InstallerProcess&) = delete;
  InstallerProcess& operator=(const InstallerProcess&) = delete;

  bool IsValid() const { return handle != kNone || pid > 0 || unit != nullptr; }
  // Waits at most timeoutMs for the installer to end. True when it has ended: *exitCode is
  // its exit code (POSIX: the exit status, or 128 + the signal that ended it), and the
  // process is reaped (a unit is released to the service manager). False while it still
  // runs or when its end cannot be learnt.
  bool WaitForExit(int timeoutMs, int* exitCode);

 private:
  static constexpr intptr_t kNone = -1;
  void Close();

  intptr_t handle = kNone;
  int64_t pid = 0;
  std::shared_ptr<InstallerUnit> unit;  // POSIX only; empty on Windows
};

}  // namespace tarnel::platform
