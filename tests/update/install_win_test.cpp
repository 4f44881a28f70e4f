// Windows-only behaviour: the digest comes from the system's certificate utility (in the test
// lane our fixture stands in for it), run through the command processor.
#include <windows.h>

#include <fstream>
#include <sstream>

#include "install_fixture.h"
#include "platform/held_file.h"
#include "platform/installer_staging.h"

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

// Runs the program at `path` from its own folder and waits for it; true when it ran.
bool RunBesideItsFolder(const std::string& path) {
  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  std::string commandLine = "\"" + path + "\"";
  const std::string folder = std::filesystem::path(path).parent_path().string();
  if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      folder.c_str(), &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, 60000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

// A DLL that the caller places beside its download is found first by the loader when the
// installer starts from there. The service starts its copy from a folder of its own.
TEST_F(InstallTest, StagedCopyRunsFromItsOwnFolderAndNotBesideAPlantedDll) {
  std::filesystem::copy_file(ProgramFolder() + "tarnel_planted_probe.dll",
                             folder + "tarnel_planted_probe.dll");
  const std::string dllRecord = folder + "dll.txt";
  const std::string self = folder + "self.txt";
  platform::SetEnvironmentValue("TARNEL_RECORD_DLL_FILE", dllRecord);
  ASSERT_TRUE(RunBesideItsFolder(installer));
  ASSERT_EQ(ReadFile(dllRecord), "loaded") << "started from the download, it loads the plant";
  std::filesystem::remove(argsFile);
  std::filesystem::remove(dllRecord);

  platform::SetEnvironmentValue("TARNEL_RECORD_SELF_FILE", self);
  platform::SetEnvironmentValue("TARNEL_RECORD_EXIT_CODE", "7");
  LogCapture log;
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_FALSE(WaitForRecordedArguments().empty());
  const std::string ended = Error("Installation of " + installer + " ended with exit code 7");
  EXPECT_TRUE(WaitUntil([&] { return log.Contains(ended); })) << log.Text();
  platform::SetEnvironmentValue("TARNEL_RECORD_DLL_FILE", "");
  platform::SetEnvironmentValue("TARNEL_RECORD_SELF_FILE", "");
  platform::SetEnvironmentValue("TARNEL_RECORD_EXIT_CODE", "");
  EXPECT_EQ(ReadFile(dllRecord), "not loaded");
  std::istringstream recorded(ReadFile(self));
  std::string program, workingFolder;
  std::getline(recorded, program);
  std::getline(recorded, workingFolder);
  const std::string root = platform::StagingRoot();
  EXPECT_EQ(program.compare(0, root.size(), root), 0) << program;
  EXPECT_EQ(std::filesystem::path(program).filename(), std::filesystem::path(installer).filename());
  EXPECT_TRUE(log.Contains("INFO    | Staged installer copy: " + program)) << log.Text();
  EXPECT_TRUE(WaitUntil([&] { return manager.installations.Running() == 0; }));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(program).parent_path()))
      << "the copy goes once its installer ended";
}

// The service's account must never connect to another machine for an installer.
TEST_F(InstallTest, PathsNotOnALocalFixedDriveAreRefusedBeforeTheyAreOpened) {
  for (const std::string path :
       {"\\\\tarnel-test-host\\share\\setup.exe", "\\\\?\\UNC\\tarnel-test-host\\share\\setup.exe",
        "\\\\.\\pipe\\setup.exe", "setup.exe"}) {
    Register(path, digest, "C:\\Product");
    LogCapture log;
    EXPECT_FALSE(manager.Install("", "")) << path;
    EXPECT_TRUE(log.Contains(Error("UpdaterManagerWindows::NewPackageReadyToInstall: " + path +
                                   " is not a path on a local drive")))
        << log.Text();
    EXPECT_FALSE(log.Contains("Computed: "));
    EXPECT_EQ(StoredFlag(), 0u);
  }
}

}  // namespace
}  // namespace tarnel::testing
