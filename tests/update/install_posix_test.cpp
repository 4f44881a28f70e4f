// Linux-only behaviour of the launch: no shell, a new session, no zombie, exec failures and
// in-place changes detected.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

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

TEST_F(InstallTest, FileThatCannotBeExecutedIsAFailedLaunch) {
  chmod(installer.c_str(), 0644);
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_EQ(StoredFlag(), 0u);
  EXPECT_TRUE(log.Contains(Error("Update : Error while launching " + installer))) << log.Text();
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
