#include "platform/installer_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/installer_unit_posix.h"

namespace tarnel::platform {
namespace {

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Reaps the child if it has ended; true with *exitCode then.
bool ReapIfEnded(pid_t pid, int* exitCode) {
  int status = 0;
  pid_t result = 0;
  do {
    result = waitpid(pid, &status, WNOHANG);
  } while (result < 0 && errno == EINTR);
  if (result != pid) return false;
  *exitCode = ExitCodeOf(status);
  return true;
}

}  // namespace

void InstallerProcess::Close() {
  if (handle >= 0) close(static_cast<int>(handle));
  handle = kNone;
  pid = 0;
  unit.reset();
}

bool InstallerProcess::WaitForExit(int timeoutMs, int* exitCode) {
  if (unit) {
    if (!WaitForInstallerUnit(unit.get(), timeoutMs, exitCode)) return false;
    Close();
    return true;
  }
  if (pid <= 0) return false;
  const pid_t child = static_cast<pid_t>(pid);
  bool ended = false;
  if (handle >= 0) {
    pollfd ready{static_cast<int>(handle), POLLIN, 0};
    ended = poll(&ready, 1, timeoutMs) > 0 && ReapIfEnded(child, exitCode);
  } else {
    // No process descriptor: look again every 100 ms.
    for (int waited = 0; !(ended = ReapIfEnded(child, exitCode)) && waited < timeoutMs;
         waited += 100) {
      usleep(100 * 1000);
    }
  }
  if (ended) Close();
  return ended;
}

}  // namespace tarnel::platform
