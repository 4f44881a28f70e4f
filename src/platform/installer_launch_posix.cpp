#include "platform/installer_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace tarnel::platform {
namespace {

void ReportErrorAndExit(int pipeFd) {
  const int error = errno;
  const ssize_t ignored = write(pipeFd, &error, sizeof(error));
  (void)ignored;
  _exit(127);
}

// Runs in the new process after fork: only async-signal-safe calls from here on.
[[noreturn]] void BecomeInstaller(int installerFd, char* const* argv, int pipeFd) {
  if (setsid() < 0) ReportErrorAndExit(pipeFd);
  const pid_t grandchild = fork();
  if (grandchild < 0) ReportErrorAndExit(pipeFd);
  if (grandchild > 0) _exit(0);  // the intermediate child ends; the installer is orphaned
  // The service blocks or ignores some signals; the installer starts with defaults.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  // Keep the descriptor open across the exec so that interpreted installers work too; the
  // report pipe stays close-on-exec, so a successful exec closes it.
  fcntl(installerFd, F_SETFD, 0);
  fexecve(installerFd, argv, environ);
  ReportErrorAndExit(pipeFd);
  _exit(127);
}

bool ReapChild(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Reads the exec report: end of file means the installer was executed.
bool ExecSucceeded(int pipeFd) {
  int error = 0;
  ssize_t count = 0;
  do {
    count = read(pipeFd, &error, sizeof(error));
  } while (count < 0 && errno == EINTR);
  return count == 0;
}

}  // namespace

bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments) {
  if (!installer.IsOpen() || !installer.StillAsOpened()) return false;
  std::vector<std::string> strings;
  strings.push_back(installer.Path());
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t child = fork();
  if (child < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (child == 0) {
    close(report[0]);
    BecomeInstaller(static_cast<int>(installer.NativeHandle()), argv.data(), report[1]);
  }
  close(report[1]);
  const bool intermediateSucceeded = ReapChild(child);
  const bool executed = ExecSucceeded(report[0]);
  close(report[0]);
  return intermediateSucceeded && executed;
}

}  // namespace tarnel::platform
