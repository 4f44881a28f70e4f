// Windows-only behaviour: the digest comes from the system's certificate utility (in the test
// lane our fixture stands in for it), run through the command processor.
#include <windows.h>

#include <fstream>

#include "install_fixture.h"
#include "platform/held_file.h"

namespace tarnel::testing {
namespace {

class CertutilModeTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetEnvironmentValue("TARNEL_CERTUTIL_FIXTURE_MODE", ""); }
};

TEST_F(CertutilModeTest, OnlyASuccessfulToolWithADigestLineGivesADigest) {
  const std::string folder = MakeTempFolder("certutil");
  ASSERT_TRUE(WriteFile(folder + "abc.bin", "abc"));
  const struct {
    const char* mode;
    bool obtained;
  } cases[] = {{"good", true}, {"pairs", false}, {"fail", false}, {"oneline", false}};
  for (const auto& c : cases) {
    platform::SetEnvironmentValue("TARNEL_CERTUTIL_FIXTURE_MODE", c.mode);
    std::string digest = "untouched";
    EXPECT_EQ(ComputeFileSha256(folder + "abc.bin", digest), c.obtained) << c.mode;
    EXPECT_EQ(digest, c.obtained
                          ? "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"
                          : "untouched")
        << c.mode;
  }
}

TEST_F(CertutilModeTest, PathsTheCommandProcessorWouldInterpretAreRefused) {
  const std::string folder = MakeTempFolder("inject");
  // Each file exists: unquoted, the first would go on to run a second program.
  for (const char* name : {"setup & whoami.exe", "100%.exe", "a^b.exe"}) {
    ASSERT_TRUE(WriteFile(folder + name, "abc"));
    std::string digest = "untouched";
    EXPECT_FALSE(ComputeFileSha256(folder + name, digest)) << name;
    EXPECT_EQ(digest, "untouched");
  }
  ASSERT_TRUE(WriteFile(folder + "setup (1) copy.exe", "abc"));
  std::string digest;
  EXPECT_TRUE(ComputeFileSha256(folder + "setup (1) copy.exe", digest));
  EXPECT_EQ(digest, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_F(InstallTest, ToolFailureIsAnUncomputableDigest) {
  platform::SetEnvironmentValue("TARNEL_CERTUTIL_FIXTURE_MODE", "fail");
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  platform::SetEnvironmentValue("TARNEL_CERTUTIL_FIXTURE_MODE", "");
  EXPECT_TRUE(
      log.Contains(Error("UpdaterManagerWindows::NewPackageReadyToInstall: error while "
                         "computing the installer SHA256. Trying to reset "
                         "PendingUpdate...")))
      << log.Text();
  EXPECT_FALSE(log.Contains("Launch installation"));
  EXPECT_EQ(StoredFlag(), 0u);
}

TEST_F(InstallTest, HeldInstallerCannotBeChangedBetweenCheckAndStart) {
  const std::string impostor = folder + "impostor.exe";
  ASSERT_TRUE(WriteFile(impostor, "not a program"));
  bool writable = true;
  std::error_code renameError;
  std::error_code removeError;
  SetInstallerVerifiedHook([&](const std::string& path) {
    writable = static_cast<bool>(std::ofstream(path, std::ios::binary | std::ios::app));
    std::filesystem::rename(impostor, path, renameError);
    std::filesystem::remove(path, removeError);
  });
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_FALSE(writable);
  EXPECT_TRUE(renameError);
  EXPECT_TRUE(removeError);
  EXPECT_EQ(WaitForRecordedArguments(),
            RecordedArguments({"/S", "/U", "/R", "/D=C:\\Program Files\\X"}))
      << "the verified installer must be the one that ran";
}

TEST(HeldFileWinTest, APipeIsNotHeldAsAnInstaller) {
  // Any local user can register any path; reading a pipe as an installer could hold the
  // command handler for as long as the pipe's other end likes.
  const std::string pipe = "\\\\.\\pipe\\tarnel_installer_test";
  const HANDLE server =
      CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  platform::HeldFile held;
  EXPECT_FALSE(held.Open(pipe));
  CloseHandle(server);
}

}  // namespace
}  // namespace tarnel::testing
