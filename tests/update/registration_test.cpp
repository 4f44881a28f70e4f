// Registration of a package and the update decision, over the real store.
#include <gtest/gtest.h>

#include "logging/logger.h"
#include "service_host/updater_manager.h"
#include "store_fixture.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

const std::string kError = LevelName(LogLevel::ERROR) + " | ";
const std::string kNewer =
    "UpdaterManager::PackageNeedsToBeInstalled: current version is newer than the downloaded "
    "package.";
const std::string kOlder =
    "UpdaterManager::PackageNeedsToBeInstalled: current version is older than the downloaded "
    "package. The update will start soon.";
const std::string kCompare =
    "UpdaterManager::PackageNeedsToBeInstalled: an update is available, now compare version "
    "numbers";
const std::string kNoUpdate = "UpdaterManager::PackageNeedsToBeInstalled: no update available";

class RegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CreateUpdaterKey(); }
  void TearDown() override { testing::DeleteUpdaterKey(); }

  static std::string Stored(const std::string& name) {
    std::string value = "<missing>";
    testing::LoadStringValue(name, &value);
    return value;
  }
  static uint32_t StoredFlag() {
    uint32_t flag = 99;
    testing::LoadDwordValue("PendingUpdate", &flag);
    return flag;
  }

  UpdaterManagerWindows manager;
};

// The real store, except that writes of one value are refused: the store itself offers no
// way to fail a single value's write while the flag's write succeeds.
class ManagerRefusingOneValue : public UpdaterManagerWindows {
 public:
  explicit ManagerRefusingOneValue(std::string refused) : refused(std::move(refused)) {}
  bool SetUpdaterStringValue(const std::string& name, const std::string& value) override {
    if (name == refused) return false;
    return UpdaterManagerWindows::SetUpdaterStringValue(name, value);
  }

 private:
  std::string refused;
};

TEST_F(RegistrationTest, RecordsThePackageAndRaisesTheFlag) {
  LogCapture log;
  manager.NewPackageReadyToInstall("C:\\Downloads\\setup.exe", "1.4.0", "AbC123");
  EXPECT_EQ(StoredFlag(), 1u);
  EXPECT_EQ(Stored("InstallerPath"), "C:\\Downloads\\setup.exe");
  EXPECT_EQ(Stored("InstallerTargetVersion"), "1.4.0");
  EXPECT_EQ(Stored("InstallerSha256"), "AbC123");  // stored exactly as received
  EXPECT_TRUE(log.Contains(LevelName(LogLevel::INFO) +
                           " | Package ready to be installed : C:\\Downloads\\setup.exe"));
}

TEST_F(RegistrationTest, EmptyStringsAreRecordedAndCountAsVersionZero) {
  manager.NewPackageReadyToInstall("", "", "");
  EXPECT_EQ(StoredFlag(), 1u);
  EXPECT_EQ(Stored("InstallerPath"), "");
  EXPECT_EQ(Stored("InstallerTargetVersion"), "");
  EXPECT_EQ(Stored("InstallerSha256"), "");
  EXPECT_FALSE(manager.PackageNeedsToBeInstalled("1.0"));
  EXPECT_FALSE(manager.PackageNeedsToBeInstalled(""));
}

TEST_F(RegistrationTest, MissingKeyLogsOnlyTheFlagStepAndWritesNothing) {
  testing::DeleteUpdaterKey();
  LogCapture log;
  manager.NewPackageReadyToInstall("p", "1.0", "d");
  const std::string text = log.Text();
  EXPECT_NE(text.find("UpdaterManager::ResetRegPendingUpdate error while opening the updater "
                      "registry key."),
            std::string::npos);
  EXPECT_NE(text.find(kError + "UpdaterManager::NewPackageReadyToInstall: error while setting the "
                               "PendingUpdate property."),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("SetUpdaterStringValue"), std::string::npos) << text;
  EXPECT_EQ(text.find("Package ready"), std::string::npos) << text;
  EXPECT_EQ(Stored("InstallerPath"), "<missing>");
}

TEST_F(RegistrationTest, FailedWriteLowersTheFlagAndKeepsLaterValues_FakeRefusingOneValue) {
  for (const std::string refused : {"InstallerPath", "InstallerTargetVersion", "InstallerSha256"}) {
    manager.NewPackageReadyToInstall("old.exe", "1.0", "old");
    ManagerRefusingOneValue refusing(refused);
    LogCapture log;
    refusing.NewPackageReadyToInstall("new.exe", "2.0", "new");
    EXPECT_TRUE(log.Contains(kError + "UpdaterManager::NewPackageReadyToInstall: error while " +
                             "setting the " + refused +
                             " property. Trying to reset PendingUpdate..."))
        << log.Text();
    EXPECT_FALSE(log.Contains("Package ready"));
    EXPECT_EQ(StoredFlag(), 0u) << refused;
    // Values before the failing step are the new package's, the others the old one's.
    const bool pathFirst = refused == "InstallerPath";
    const bool shaLast = refused == "InstallerSha256";
    EXPECT_EQ(Stored("InstallerPath"), pathFirst ? "old.exe" : "new.exe");
    EXPECT_EQ(Stored("InstallerTargetVersion"), shaLast ? "2.0" : "1.0");
    EXPECT_EQ(Stored("InstallerSha256"), "old");
  }
}

TEST_F(RegistrationTest, DecisionComparesCurrentWithTargetVersion) {
  const struct {
    const char* current;
    const char* target;
    bool needed;
  } cases[] = {
      {"1.2.3", "1.2.4", true},      {"1.2.0", "1.2.0", false},     {"1.0", "1.x", false},
      {"1.2.0-beta", "1.2.0", true}, {"1.2.0", "1.2.0-rc1", false}, {"2.0", "1.9", false},
  };
  for (const auto& c : cases) {
    manager.NewPackageReadyToInstall("setup.exe", c.target, "d");
    LogCapture log;
    EXPECT_EQ(manager.PackageNeedsToBeInstalled(c.current), c.needed)
        << c.current << " " << c.target;
    const std::string text = log.Text();
    EXPECT_NE(text.find(LevelName(LogLevel::INFO) + " | " + kCompare), std::string::npos) << text;
    if (c.needed) {
      EXPECT_NE(text.find(LevelName(LogLevel::INFO) + " | " + kOlder), std::string::npos) << text;
    } else {
      EXPECT_NE(text.find(kError + kNewer), std::string::npos) << text;
    }
    EXPECT_EQ(StoredFlag(), 1u) << "the decision only reads";
  }
}

TEST_F(RegistrationTest, DecisionWithoutRaisedFlagDoesNotCompare) {
  manager.NewPackageReadyToInstall("setup.exe", "9.0", "d");
  for (uint32_t flag : {0u, 2u}) {
    testing::StoreDword("PendingUpdate", flag);
    testing::RemoveValue("InstallerTargetVersion");  // must not be read
    LogCapture log;
    EXPECT_FALSE(manager.PackageNeedsToBeInstalled("1.0"));
    const std::string text = log.Text();
    EXPECT_NE(text.find(LevelName(LogLevel::VERBOSE) + " | " + kNoUpdate), std::string::npos)
        << text;
    EXPECT_EQ(text.find("InstallerTargetVersion"), std::string::npos) << text;
    EXPECT_EQ(text.find(kCompare), std::string::npos) << text;
  }
}

TEST_F(RegistrationTest, DecisionFailsWhenTheRecordIsIncomplete) {
  LogCapture missingFlag;
  EXPECT_FALSE(manager.PackageNeedsToBeInstalled("1.0"));
  EXPECT_TRUE(missingFlag.Contains(
      kError +
      "UpdaterManager::PackageNeedsToBeInstalled: an error has occured while retrieving the "
      "PendingUpdate property. Discarding possible update."))
      << missingFlag.Text();

  testing::StoreDword("PendingUpdate", 1);
  LogCapture missingVersion;
  EXPECT_FALSE(manager.PackageNeedsToBeInstalled("1.0"));
  EXPECT_TRUE(missingVersion.Contains(
      kError +
      "UpdaterManager::PackageNeedsToBeInstalled: an error has occured while retrieving the "
      "InstallerTargetVersion property. Discarding possible update."))
      << missingVersion.Text();
}

}  // namespace
}  // namespace tarnel
