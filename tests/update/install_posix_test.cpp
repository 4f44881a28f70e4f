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
#include <functional>
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
  EXPECT_TRUE(WaitUntil([&] { return manager.installations.Running() == 0; }));
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD) << "the installer is reaped once it ended: no zombie is left";
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
TEST_F(InstallTest, InstallerInheritsOnlyTheStandardStreamsAndNoServiceVariables) {
  const std::string logFile = GetLogger()->CurrentLogFilePath();
  const std::vector<int> logDescriptors = DescriptorsOf(std::filesystem::canonical(logFile));
  ASSERT_FALSE(logDescriptors.empty());
  for (int fd : logDescriptors) {
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "log file descriptor " << fd;
  }
  const int inherited = open("/dev/null", O_RDONLY);
  ASSERT_GE(inherited, 0);
  const std::string recorded = folder + "inherited.txt";
  const char* const serviceOnly[] = {"NOTIFY_SOCKET", "LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"};
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
  EXPECT_TRUE(others.empty()) << ::testing::PrintToString(others);
  for (const char* name : serviceOnly) EXPECT_EQ(variables.count(name), 0u) << name;
  EXPECT_EQ(variables.count("TARNEL_RECORD_ARGS_FILE"), 1u) << "the rest of the environment stays";
}

TEST_F(InstallTest, FileThatCannotBeExecutedIsAFailedLaunch) {
  ASSERT_TRUE(WriteFile(installer, "neither a program nor a script"));
  ASSERT_TRUE(ComputeFileSha256(installer, digest));
  Register(installer, digest, "/opt/product");
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

// The registered file stays its owner's: whatever the owner does to it once the service has
// checked it, what starts is the service's own copy, as checked.
TEST_F(InstallTest, RegisteredFileReplacedOrChangedAfterTheCheckIsNotWhatRuns) {
  const std::string impostorMarker = folder + "impostor-ran";
  const std::string impostorText = "#!/bin/sh\ntouch " + impostorMarker + "\n";
  const std::string impostor = folder + "impostor";
  const struct {
    const char* what;
    std::function<void(const std::string&)> attack;
  } attacks[] = {
      {"renamed over",
       [&](const std::string& path) {
         ASSERT_TRUE(WriteFile(impostor, impostorText));
         chmod(impostor.c_str(), 0755);
         ASSERT_EQ(rename(impostor.c_str(), path.c_str()), 0);
       }},
      {"rewritten in place",
       [&](const std::string& path) {
         std::ofstream(path, std::ios::binary | std::ios::in | std::ios::out) << impostorText;
       }},
  };
  for (const auto& attack : attacks) {
    std::filesystem::copy_file(ProgramFolder() + ExecutableName("tarnel_record_args_installer"),
                               installer, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::remove(argsFile);
    SetInstallerVerifiedHook(attack.attack);
    EXPECT_TRUE(manager.Install("", "")) << attack.what;
    EXPECT_EQ(WaitForRecordedArguments(), "/S\n/U\n/R\n/D=C:\\Program Files\\X\n")
        << attack.what << ": the checked installer ran";
    EXPECT_FALSE(std::filesystem::exists(impostorMarker)) << attack.what;
  }
}

}  // namespace
}  // namespace tarnel::testing
