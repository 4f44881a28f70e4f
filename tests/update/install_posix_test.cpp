// Linux-only behaviour of the launch: no shell, a new session, no zombie, nothing inherited
// but the standard streams and the installer's own descriptor, exec failures and in-place
// changes detected.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "install_fixture.h"

namespace tarnel::testing {
namespace {

TEST_F(InstallTest, ShellCharactersInThePathAreNeverInterpreted) {
  const std::string marker = folder + "injected";
  const std::string odd = folder + "setup $(touch " + "injected); touch injected & \"x\" `id`";
  std::filesystem::rename(installer, odd);
  Register(odd, digest, "/opt/My Product; touch " + marker);
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_EQ(WaitForRecordedArguments(), "/S\n/U\n/R\n/D=/opt/My Product; touch " + marker + "\n");
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::current_path() / "injected"));
}

TEST_F(InstallTest, InstallerRunsInASessionOfItsOwnAndLeavesNoChildBehind) {
  const std::string session = folder + "session.txt";
  setenv("TARNEL_RECORD_SESSION_FILE", session.c_str(), 1);
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_FALSE(WaitForRecordedArguments().empty());
  unsetenv("TARNEL_RECORD_SESSION_FILE");
  const std::string installerSession = ReadFile(session);
  EXPECT_FALSE(installerSession.empty());
  EXPECT_NE(installerSession, std::to_string(getsid(0)));
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the intermediate child is reaped, the installer is not ours";
}

// The descriptors of this process that lead to `path`.
std::vector<int> DescriptorsOf(const std::string& path) {
  std::vector<int> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const auto target = std::filesystem::read_symlink(entry.path(), error);
    if (!error && target == path) found.push_back(std::stoi(entry.path().filename().string()));
  }
  return found;
}

// The service's own log file, a descriptor it inherited without close-on-exec from whatever
// started it, and the variables that speak to systemd for it all stay with the service.
TEST_F(InstallTest, InstallerInheritsOnlyTheStandardStreamsItsOwnFileAndNoServiceVariables) {
  const std::string logFile = GetLogger()->CurrentLogFilePath();
  const std::vector<int> logDescriptors = DescriptorsOf(std::filesystem::canonical(logFile));
  ASSERT_FALSE(logDescriptors.empty());
  for (int fd : logDescriptors) {
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "log file descriptor " << fd;
  }
  const int inherited = open("/dev/null", O_RDONLY);
  ASSERT_GE(inherited, 0);
  const std::string recorded = folder + "inherited.txt";
  const char* const serviceOnly[] = {"NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID",
                                     "LISTEN_FDNAMES"};
  for (const char* name : serviceOnly) setenv(name, "/run/systemd/notify", 1);
  setenv("TARNEL_RECORD_INHERITED_FILE", recorded.c_str(), 1);
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_FALSE(WaitForRecordedArguments().empty());
  for (const char* name : serviceOnly) unsetenv(name);
  unsetenv("TARNEL_RECORD_INHERITED_FILE");
  close(inherited);

  std::set<int> standardStreams;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1) standardStreams.insert(fd);
  }
  std::set<int> streams;
  std::set<std::string> others;
  std::set<std::string> variables;
  std::istringstream lines(ReadFile(recorded));
  for (std::string kind, rest; lines >> kind && std::getline(lines >> std::ws, rest);) {
    if (kind == "env") {
      variables.insert(rest.substr(0, rest.find('=')));
    } else if (kind == "fd" && std::stoi(rest) <= 2) {
      streams.insert(std::stoi(rest));
    } else {
      others.insert(kind + " " + rest);
    }
  }
  EXPECT_EQ(streams, standardStreams) << "standard input, output and error stay as they are";
  ASSERT_EQ(others.size(), 1u) << ::testing::PrintToString(others);
  const std::string own = *others.begin();
  EXPECT_EQ(own.substr(own.find(' ', 3) + 1), std::filesystem::canonical(installer).string())
      << "the one other descriptor is the executed installer: " << own;
  for (const char* name : serviceOnly) EXPECT_EQ(variables.count(name), 0u) << name;
  EXPECT_EQ(variables.count("TARNEL_RECORD_ARGS_FILE"), 1u) << "the rest of the environment stays";
}

TEST_F(InstallTest, FileThatCannotBeExecutedIsAFailedLaunch) {
  chmod(installer.c_str(), 0644);
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_EQ(StoredFlag(), 0u);
  EXPECT_TRUE(log.Contains(Error("Update : Error while launching " + installer))) << log.Text();
}

// Any local user may register any path: a named pipe without a writer must be refused at
// once, not wait (with the handler lock held) until someone opens it for writing.
TEST_F(InstallTest, NamedPipeAsInstallerIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = folder + "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  Register(fifo, digest, "/opt/product");
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread install([&] {
    result = manager.Install("", "");
    returned = true;
  });
  const bool returnedAlone = WaitUntil([&] { return returned.load(); });
  if (!returnedAlone) close(open(fifo.c_str(), O_WRONLY));  // releases the blocked open
  install.join();
  EXPECT_TRUE(returnedAlone);
  EXPECT_FALSE(result);
  EXPECT_EQ(StoredFlag(), 0u);
}

// Any local user may register any path, also one of a file that reads on without end:
// /proc/self/pagemap reports a size of 0 and reads hundreds of gigabytes. Its digest must
// not be taken for hours with the handler lock held; the install fails at once instead.
TEST_F(InstallTest, FileThatReadsOnWithoutEndIsRefusedAtOnce) {
  const std::string endless = "/proc/self/pagemap";
  if (access(endless.c_str(), R_OK) != 0) GTEST_SKIP() << endless << " cannot be read here";
  Register(endless, digest, "/opt/product");
  std::atomic<bool> returned{false};
  bool result = true;
  std::thread install([&] {
    result = manager.Install("", "");
    returned = true;
  });
  if (!WaitUntil([&] { return returned.load(); })) {
    ADD_FAILURE() << "Install still reads " << endless;
    std::fflush(nullptr);
    std::_Exit(1);  // the read would go on for hours: nothing else ends this program
  }
  install.join();
  EXPECT_FALSE(result);
  EXPECT_EQ(StoredFlag(), 0u);
}

TEST_F(InstallTest, FileRenamedOverTheInstallerAfterTheCheckIsRefused) {
  const std::string impostor = folder + "impostor";
  ASSERT_TRUE(WriteFile(impostor, "#!/bin/sh\necho impostor > \"$TARNEL_RECORD_ARGS_FILE\"\n"));
  chmod(impostor.c_str(), 0755);
  SetInstallerVerifiedHook(
      [&](const std::string& path) { ASSERT_EQ(rename(impostor.c_str(), path.c_str()), 0); });
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_TRUE(log.Contains(Error("Update : Error while launching " + installer))) << log.Text();
  EXPECT_EQ(StoredFlag(), 0u);
}

TEST_F(InstallTest, FileChangedInPlaceAfterTheCheckIsRefused) {
  SetInstallerVerifiedHook([](const std::string& path) {
    std::ofstream(path, std::ios::binary | std::ios::app) << "appended";
  });
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_TRUE(log.Contains(Error("Update : Error while launching " + installer))) << log.Text();
  EXPECT_EQ(StoredFlag(), 0u);
}

}  // namespace
}  // namespace tarnel::testing
