// Install end to end: the real store, the real digest and a real installer that records the
// arguments it was started with.
#include <cctype>
#include <functional>

#include "install_fixture.h"

namespace tarnel::testing {
namespace {

const std::string kPrefix = "UpdaterManagerWindows::NewPackageReadyToInstall: ";
const std::string kReset = " Trying to reset PendingUpdate...";

TEST_F(InstallTest, VerifiesStartsAndLowersTheFlag) {
  LogCapture log;
  EXPECT_TRUE(manager.Install("jo", ":0"));
  EXPECT_EQ(WaitForRecordedArguments(),
            RecordedArguments({"/S", "/U", "/R", "/D=C:\\Program Files\\X"}));
  EXPECT_EQ(StoredFlag(), 0u);
  const std::string text = log.Text();
  const std::string expectedOrder[] = {
      LevelName(LogLevel::INFO) + " | Checking installer SHA256...",
      Error("Expected: " + digest),
      Error("Computed: " + digest),
      LevelName(LogLevel::INFO) + " | Launch installation of " + installer +
          " with parameters /S /U /R /D=C:\\Program Files\\X",
  };
  size_t position = 0;
  for (const std::string& line : expectedOrder) {
    const size_t found = text.find(line, position);
    ASSERT_NE(found, std::string::npos) << line << " missing or out of order in:\n" << text;
    position = found;
  }
}

TEST_F(InstallTest, EmptyInstallPathStillStarts) {
  StoreString("InstallPath", "");
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_EQ(WaitForRecordedArguments(), RecordedArguments({"/S", "/U", "/R", "/D="}));
}

TEST_F(InstallTest, LoweredFlagDoesNotPreventAnotherAttempt) {
  StoreDword("PendingUpdate", 0);
  EXPECT_TRUE(manager.Install("", ""));
  EXPECT_FALSE(WaitForRecordedArguments().empty());
  EXPECT_EQ(StoredFlag(), 0u);
}

TEST_F(InstallTest, UpperCaseDigestIsAMismatch) {
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_NE(upper, digest);
  StoreString("InstallerSha256", upper);
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_EQ(StoredFlag(), 0u);
  EXPECT_TRUE(log.Contains(Error("Expected: " + upper)));
  EXPECT_TRUE(log.Contains(Error("Computed: " + digest)));
  EXPECT_TRUE(log.Contains(Error(kPrefix + "SHA256 hash mismatch." + kReset))) << log.Text();
  EXPECT_FALSE(log.Contains("Launch installation"));
}

TEST_F(InstallTest, EveryFailedStepLowersTheFlagAndLogsItsLine) {
  const struct {
    const char* what;
    std::function<void()> breakIt;
    std::string message;
  } cases[] = {
      {"no InstallerPath", [] { RemoveValue("InstallerPath"); },
       kPrefix + "error while getting the InstallerPath property." + kReset},
      {"no InstallerSha256", [] { RemoveValue("InstallerSha256"); },
       kPrefix + "error while getting the InstallerSha256 property." + kReset},
      {"installer missing", [&] { StoreString("InstallerPath", folder + "gone.exe"); },
       kPrefix + "error while computing the installer SHA256." + kReset},
      {"no InstallPath", [] { RemoveValue("InstallPath"); },
       kPrefix + "error while getting the InstallPath property." + kReset},
  };
  for (const auto& c : cases) {
    Register(installer, digest, "C:\\Program Files\\X");
    c.breakIt();
    LogCapture log;
    EXPECT_FALSE(manager.Install("", "")) << c.what;
    EXPECT_EQ(StoredFlag(), 0u) << c.what;
    const std::string text = log.Text();
    EXPECT_NE(text.find(Error(c.message)), std::string::npos) << c.what << "\n" << text;
    EXPECT_EQ(text.find("Launch installation"), std::string::npos) << c.what;
  }
  EXPECT_FALSE(std::filesystem::exists(argsFile)) << "no attempt may start the installer";
}

TEST_F(InstallTest, UncomputableDigestLogsNoDigestLines) {
  StoreString("InstallerPath", folder + "gone.exe");
  LogCapture log;
  EXPECT_FALSE(manager.Install("", ""));
  EXPECT_FALSE(log.Contains("Expected: "));
  EXPECT_FALSE(log.Contains("Computed: "));
}

// The real store, except that the flag cannot be written: the store offers no way to refuse
// that write while the reads before it succeed.
class ManagerRefusingTheFlag : public UpdaterManagerWindows {
 public:
  bool ResetRegPendingUpdate(bool) override { return false; }
};

TEST_F(InstallTest, FlagThatCannotBeLoweredAfterTheStartFails_FakeRefusingTheFlag) {
  ManagerRefusingTheFlag refusing;
  LogCapture log;
  EXPECT_FALSE(refusing.Install("", ""));
  EXPECT_FALSE(WaitForRecordedArguments().empty()) << "the installer runs all the same";
  EXPECT_TRUE(log.Contains(
      Error("UpdaterManager::Install: error while setting the PendingUpdate property.")))
      << log.Text();
}

}  // namespace
}  // namespace tarnel::testing
