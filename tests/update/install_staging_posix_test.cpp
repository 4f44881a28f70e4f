// The staged launch on Linux: what starts is a copy in a folder of the service's own, under
// $STATE_DIRECTORY/installers/; what cannot be an installer is refused before it is read;
// nothing is left behind; every installer's exit code reaches the log.
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

#include "install_fixture.h"
#include "platform/installer_staging.h"
#include "update/installation_watch.h"

namespace tarnel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kPrefix = "UpdaterManagerWindows::NewPackageReadyToInstall: ";
const std::string kComputeFailed =
    kPrefix + "error while computing the installer SHA256. Trying to reset PendingUpdate...";

std::string StagingRootFolder() { return platform::StagingRoot(); }

// The entries of the staging root; none when it does not exist.
size_t StagedEntries() {
  std::error_code error;
  if (!fs::exists(StagingRootFolder(), error)) return 0;
  return static_cast<size_t>(
      std::distance(fs::directory_iterator(StagingRootFolder()), fs::directory_iterator()));
}

class StagedInstallTest : public InstallTest {
 protected:
  // Waits until the started installer has ended and the service has followed it.
  bool WaitForInstallationEnd() {
    return WaitUntil([&] { return manager.installations.Running() == 0; });
  }
};

TEST_F(StagedInstallTest, CopyKeepsItsNameRunsFromItsOwnFolderAndIsGoneAfterwards) {
  const std::string self = folder + "self.txt";
  platform::SetEnvironmentValue("TARNEL_RECORD_SELF_FILE", self);
  LogCapture log;
  ASSERT_TRUE(manager.Install("", ""));
  ASSERT_FALSE(WaitForRecordedArguments().empty());
  ASSERT_TRUE(WaitForInstallationEnd());
  platform::SetEnvironmentValue("TARNEL_RECORD_SELF_FILE", "");
  std::istringstream recorded(ReadFile(self));
  std::string program, workingFolder;
  std::getline(recorded, program);
  std::getline(recorded, workingFolder);
  EXPECT_EQ(fs::path(program).filename(), fs::path(installer).filename()) << "the name stays";
  EXPECT_EQ(fs::path(program).parent_path(), fs::path(workingFolder));
  EXPECT_EQ(fs::path(workingFolder).parent_path(), fs::path(StagingRootFolder()).parent_path());
  const std::string text = log.Text();
  EXPECT_NE(text.find("INFO    | Staged installer copy: " + program), std::string::npos) << text;
  EXPECT_LT(text.find("Staged installer copy: "), text.find("Launch installation of " + installer));
  EXPECT_EQ(StagedEntries(), 0u) << "the copy goes once its installer ended";
  struct stat status {};
  ASSERT_EQ(stat(StagingRootFolder().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0700u);
}

TEST_F(StagedInstallTest, ExitCodeOfEveryInstallationIsLogged) {
  const struct {
    const char* code;
    const char* level;
  } cases[] = {{"0", "INFO    | "}, {"7", "ERROR   | "}};
  for (const auto& c : cases) {
    platform::SetEnvironmentValue("TARNEL_RECORD_EXIT_CODE", c.code);
    LogCapture log;
    ASSERT_TRUE(manager.Install("", ""));
    const std::string line =
        std::string(c.level) + "Installation of " + installer + " ended with exit code " + c.code;
    EXPECT_TRUE(WaitUntil([&] { return log.Contains(line); })) << line << "\n" << log.Text();
  }
  platform::SetEnvironmentValue("TARNEL_RECORD_EXIT_CODE", "");
}

// Whatever cannot be an installer is refused before any of it is read: the digest lines are
// never written and nothing is staged.
TEST_F(StagedInstallTest, WhatCannotBeAnInstallerIsRefusedBeforeItIsRead) {
  const std::string sparse = folder + "sparse";
  {
    std::ofstream(sparse).close();
    fs::resize_file(sparse, kMaxInstallerBytes + 1);  // sparse: no block is written
  }
  const std::string fifo = folder + "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const struct {
    std::string path;
    std::string reason;
  } cases[] = {
      {sparse, sparse + " has " + std::to_string(kMaxInstallerBytes + 1) +
                   " bytes, more than the " + std::to_string(kMaxInstallerBytes) +
                   " an installer may have"},
      {fifo, fifo + " is not a regular file"},
      {folder, folder + " is not a regular file"},
      {folder + "missing", folder + "missing cannot be opened: No such file or directory"},
  };
  for (const auto& c : cases) {
    Register(c.path, digest, "/opt/product");
    LogCapture log;
    EXPECT_FALSE(manager.Install("", "")) << c.path;
    const std::string text = log.Text();
    EXPECT_TRUE(log.Contains(Error(kPrefix + c.reason))) << text;
    EXPECT_TRUE(log.Contains(Error(kComputeFailed))) << text;
    EXPECT_FALSE(log.Contains("Computed: ")) << text;
    EXPECT_EQ(StoredFlag(), 0u);
    EXPECT_EQ(StagedEntries(), 0u);
  }
}

TEST_F(StagedInstallTest, RefusedAttemptLeavesNothingStaged) {
  Register(installer, std::string(64, '0'), "/opt/product");
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_TRUE(log.Contains(Error(kPrefix + "SHA256 hash mismatch."))) << log.Text();
  EXPECT_EQ(StagedEntries(), 0u);
  EXPECT_FALSE(fs::exists(argsFile));
}

// A staging root that another account owns, or that others may write to, could hold a copy
// swapped in by someone else: it is never used.
TEST_F(StagedInstallTest, StagingRootThatIsNotTheServicesOwnIsNeverUsed) {
  const std::string root = StagingRootFolder().substr(0, StagingRootFolder().size() - 1);
  struct Case {
    const char* what;
    std::function<bool()> spoil;
    std::string reason;
  };
  std::vector<Case> cases = {
      {"writable by others",
       [&] { return mkdir(root.c_str(), 0777) == 0 && chmod(root.c_str(), 0777) == 0; },
       root + " is writable by group or others"},
      {"a link to a folder of someone else's choosing",
       [&] {
         return mkdir((folder + "elsewhere").c_str(), 0700) == 0 &&
                symlink((folder + "elsewhere").c_str(), root.c_str()) == 0;
       },
       root + " is not a folder"},
  };
  if (geteuid() == 0) {
    cases.push_back(
        {"owned by another account",
         [&] { return mkdir(root.c_str(), 0700) == 0 && chown(root.c_str(), 65534, 0) == 0; },
         root + " is owned by uid 65534, not by the service's"});
  }
  for (const Case& c : cases) {
    fs::remove_all(root);
    ASSERT_TRUE(c.spoil()) << c.what;
    LogCapture log;
    EXPECT_FALSE(manager.Install("", "")) << c.what;
    EXPECT_TRUE(log.Contains(Error(kPrefix + c.reason))) << c.what << "\n" << log.Text();
    EXPECT_FALSE(fs::exists(argsFile)) << c.what;
  }
  fs::remove_all(root);
}

// A copy that cannot be completed fails the attempt and leaves no part of it behind.
TEST_F(StagedInstallTest, FullStagingFileSystemFailsTheAttemptCleanly) {
  const std::string root = StagingRootFolder();
  fs::create_directories(root);
  if (mount("tarnel-test", root.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0) {
    GTEST_SKIP() << "a tmpfs cannot be mounted here: " << std::strerror(errno);
  }
  struct Unmount {
    std::string at;
    ~Unmount() { umount(at.c_str()); }
  } unmount{root};
  std::string large(256 * 1024, 'x');
  ASSERT_TRUE(WriteFile(installer, "#!/bin/sh\n#" + large + "\n"));
  ASSERT_TRUE(ComputeFileSha256(installer, digest));
  Register(installer, digest, "/opt/product");
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_TRUE(log.Contains("the copy cannot be written: No space left on device")) << log.Text();
  EXPECT_TRUE(log.Contains(Error(kComputeFailed)));
  EXPECT_EQ(StagedEntries(), 0u);
}

// At start, the service removes what earlier runs left, but not a folder whose installer
// still runs.
TEST_F(StagedInstallTest, AbandonedCopiesAreRemovedAndThoseInUseKept) {
  const std::string root = StagingRootFolder();
  fs::create_directories(root);
  chmod(root.c_str(), 0700);
  fs::create_directories(root + "abandoned");
  ASSERT_TRUE(WriteFile(root + "abandoned/setup", "left behind"));
  fs::create_directories(root + "running");
  const pid_t child = fork();
  if (child == 0) {
    if (chdir((root + "running").c_str()) == 0) pause();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WaitUntil([&] {
    std::error_code error;
    return fs::read_symlink("/proc/" + std::to_string(child) + "/cwd", error) ==
           fs::path(root + "running");
  }));
  LogCapture log;
  RemoveAbandonedInstallerCopies();
  EXPECT_FALSE(fs::exists(root + "abandoned"));
  EXPECT_TRUE(fs::exists(root + "running"));
  EXPECT_TRUE(log.Contains("Removed 1 staged installer copies of earlier runs")) << log.Text();
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  RemoveAbandonedInstallerCopies();
  EXPECT_FALSE(fs::exists(root + "running"));
}

// An installer that runs long is reported once, never killed, and followed to its end. The
// warning time is the test's (the service's is 15 minutes).
TEST(InstallationWatchTest, LongInstallerIsReportedOnceAndFollowedToItsEnd) {
  const std::string folder = MakeTempFolder("watched");
  const std::string release = folder + "release";
  const pid_t child = fork();
  if (child == 0) {
    while (access(release.c_str(), F_OK) != 0) usleep(10 * 1000);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  LogCapture log;
  InstallationWatch watch(std::chrono::milliseconds(200));
  watch.Watch(platform::InstallerProcess(syscall(SYS_pidfd_open, child, 0), child),
              "/downloads/setup", folder);
  const std::string warning = "WARNING | Installation of /downloads/setup still running after";
  EXPECT_TRUE(WaitUntil([&] { return log.Contains(warning); })) << log.Text();
  EXPECT_EQ(kill(child, 0), 0) << "the installer is not killed";
  ASSERT_TRUE(WriteFile(release, ""));
  EXPECT_TRUE(WaitUntil([&] { return watch.Running() == 0; }));
  const std::string text = log.Text();
  EXPECT_NE(text.find("INFO    | Installation of /downloads/setup ended with exit code 0"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find(warning), text.rfind(warning)) << "reported once";
  EXPECT_FALSE(fs::exists(folder)) << "its folder goes with it";
}

}  // namespace
}  // namespace tarnel::testing
