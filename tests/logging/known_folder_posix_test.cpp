// The Linux stand-in for the local application data folder (Windows resolves it from
// %LOCALAPPDATA%, which the tests of the settings file cover on both systems).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logging_fixture.h"
#include "platform/environment.h"
#include "platform/known_folder.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

class KnownFolderPosixTest : public testing::LoggingTest {
 protected:
  void SetUp() override {
    LoggingTest::SetUp();
    platform::GetEnvironmentValue("HOME", &savedHome);
  }
  void TearDown() override {
    platform::SetEnvironmentValue("HOME", savedHome);
    LoggingTest::TearDown();
  }
  std::string savedHome;
};

TEST_F(KnownFolderPosixTest, XdgDataHomeWhenAbsoluteElseHomeAndMissingLevelsAreCreated) {
  const std::string base = AppData() + "/missing/levels";
  platform::SetEnvironmentValue("XDG_DATA_HOME", base);
  std::string folder;
  ASSERT_TRUE(platform::GetLocalAppDataFolder(&folder));
  EXPECT_EQ(folder, base + "/");
  EXPECT_TRUE(std::filesystem::is_directory(base));

  const std::string home = AppData() + "/home";
  platform::SetEnvironmentValue("HOME", home);
  platform::SetEnvironmentValue("XDG_DATA_HOME", "relative/path");
  ASSERT_TRUE(platform::GetLocalAppDataFolder(&folder));
  EXPECT_EQ(folder, home + "/.local/share/");
  EXPECT_TRUE(std::filesystem::is_directory(folder));

  platform::SetEnvironmentValue("HOME", "");
  EXPECT_FALSE(platform::GetLocalAppDataFolder(&folder));
}

}  // namespace
}  // namespace tarnel
