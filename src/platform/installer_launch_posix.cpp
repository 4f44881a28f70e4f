#include "platform/installer_launch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/installer_unit_posix.h"

extern char** environ;

namespace tarnel::platform {
namespace {

[[noreturn]] void ReportErrorAndExit(int pipeFd) {
  const int error = errno;
  const ssize_t ignored = write(pipeFd, &error, sizeof(error));
  (void)ignored;
  _exit(127);
}

// Variables that would let the installer speak for the service to systemd (the notify
// socket) or take over descriptors passed to the service (socket activation).
const char* const kServiceOnlyVariables[] = {"NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                                             "LISTEN_FDNAMES"};
// Variables that systemd sets for each unit itself; an installer unit gets its own.
const char* const kPerUnitVariables[] = {"INVOCATION_ID", "JOURNAL_STREAM", "SYSTEMD_EXEC_PID"};

template <size_t N>
bool IsOneOf(const char* entry, const char* const (&names)[N]) {
  for (const char* name : names) {
    const size_t length = std::strlen(name);
    if (std::strncmp(entry, name, length) == 0 && entry[length] == '=') return true;
  }
  return false;
}

// The service's environment without its service-only variables (and, for a unit, without
// those systemd sets for the unit); the entries point into `environ`, which nothing changes
// while the launch runs.
std::vector<char*> InstallerEnvironment(bool forUnit) {
  std::vector<char*> entries;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (IsOneOf(*entry, kServiceOnlyVariables)) continue;
    if (forUnit && IsOneOf(*entry, kPerUnitVariables)) continue;
    entries.push_back(*entry);
  }
  return entries;
}

// The bound of the one-by-one closing: the descriptor limit, or the usual one when the
// system does not tell.
long DescriptorLimit() {
  const long limit = sysconf(_SC_OPEN_MAX);
  return limit > 0 ? limit : 1024;
}

// Closes the descriptors first..last; without close_range (kernels before 5.9) one by one,
// up to the descriptor limit read before the fork.
void CloseDescriptors(unsigned first, unsigned last, long openMax) {
  if (first > last) return;
  if (close_range(first, last, 0) == 0) return;
  for (unsigned long fd = first; fd <= last && fd < static_cast<unsigned long>(openMax); ++fd) {
    close(static_cast<int>(fd));
  }
}

// Closes every descriptor above standard error but `kept`: whatever the service inherited or
// opened without close-on-exec never reaches the installer.
void CloseAllDescriptorsBut(int kept, long openMax) {
  CloseDescriptors(STDERR_FILENO + 1, static_cast<unsigned>(kept) - 1, openMax);
  CloseDescriptors(static_cast<unsigned>(kept) + 1, UINT_MAX, openMax);
}

// Runs in the new process after fork: only async-signal-safe calls from here on.
[[noreturn]] void BecomeInstaller(const char* path, char* const* argv, char* const* envp,
                                  const char* workingFolder, int pipeFd, long openMax) {
  if (setsid() < 0) ReportErrorAndExit(pipeFd);
  // The service blocks or ignores some signals; the installer starts with defaults.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  CloseAllDescriptorsBut(pipeFd, openMax);
  if (chdir(workingFolder) != 0) ReportErrorAndExit(pipeFd);
  // The report pipe is close-on-exec, so a successful exec closes it.
  execve(path, argv, envp);
  ReportErrorAndExit(pipeFd);
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

int OpenProcessDescriptor(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

}  // namespace

bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments,
                     const std::string& workingFolder, InstallerProcess* process) {
  if (!installer.IsOpen() || !installer.StillAsOpened()) return false;
  std::vector<std::string> strings;
  strings.push_back(installer.Path());
  strings.insert(strings.end(), arguments.begin(), arguments.end());
  // Under systemd the installer becomes a unit of its own, outside this service's unit and
  // its sandbox, so that it can change the system and outlives a stop of the service.
  if (InstallerUnitsAvailable()) {
    std::vector<std::string> environment;
    for (char* entry : InstallerEnvironment(/*forUnit=*/true)) environment.emplace_back(entry);
    return StartInstallerUnit(strings, workingFolder, environment, process);
  }
  std::vector<char*> argv;
  for (std::string& text : strings) argv.push_back(text.data());
  argv.push_back(nullptr);
  std::vector<char*> envp = InstallerEnvironment(/*forUnit=*/false);
  envp.push_back(nullptr);
  const long openMax = DescriptorLimit();

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
    BecomeInstaller(installer.Path().c_str(), argv.data(), envp.data(), workingFolder.c_str(),
                    report[1], openMax);
  }
  close(report[1]);
  const bool executed = ExecSucceeded(report[0]);
  close(report[0]);
  if (!executed) {
    int ignored = 0;
    while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
    }
    return false;
  }
  *process = InstallerProcess(OpenProcessDescriptor(child), child);
  return true;
}

}  // namespace tarnel::platform
