// The Linux store file: its location, its atomic replacement and what it makes of files it
// cannot read as a store.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/environment.h"
#include "service_host/updater_manager.h"
#include "store_fixture.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

class StoreFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::GetEnvironmentValue("STATE_DIRECTORY", &state);
    storePath = state + "/updater.json";
  }
  void TearDown() override {
    platform::SetEnvironmentValue("STATE_DIRECTORY", state);
    testing::DeleteUpdaterKey();
  }
  std::string state;
  std::string storePath;
  UpdaterManagerWindows manager;
};

TEST_F(StoreFileTest, WritesReplaceTheFileAndKeepUnknownMembers) {
  ASSERT_TRUE(testing::WriteFile(storePath,
                                 "{\"Other\": [1, {\"a\": true}], \"InstallPath\": "
                                 "\"/opt/x\"}"));
  EXPECT_TRUE(manager.SetUpdaterStringValue("InstallerPath", "/tmp/setup"));
  EXPECT_TRUE(manager.ResetRegPendingUpdate(true));
  const std::string text = testing::ReadFile(storePath);
  EXPECT_NE(text.find("\"Other\""), std::string::npos) << text;
  EXPECT_NE(text.find("\"a\" : true"), std::string::npos) << text;
  std::string value;
  EXPECT_TRUE(manager.GetUpdaterStringValue("InstallPath", value));
  EXPECT_EQ(value, "/opt/x");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(state)) {
    EXPECT_EQ(entry.path().filename(), "updater.json") << "no temporary file is left behind";
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(StoreFileTest, FileThatIsNotAnObjectIsAnUnopenableKey) {
  for (const char* content : {"", "[1, 2]", "\"text\"", "{\"unterminated\": ", "not json"}) {
    ASSERT_TRUE(testing::WriteFile(storePath, content));
    LogCapture log;
    bool pending = false;
    EXPECT_FALSE(manager.GetRegPendingUpdate(pending)) << content;
    EXPECT_FALSE(manager.SetUpdaterStringValue("InstallerPath", "x")) << content;
    EXPECT_TRUE(log.Contains("GetRegPendingUpdate error while opening the updater registry key"))
        << content;
    EXPECT_EQ(testing::ReadFile(storePath), content) << "left as it was";
  }
}

TEST_F(StoreFileTest, OnlyThirtyTwoBitIntegersAreFlags) {
  for (const char* stored : {"4294967296", "-2147483649", "1.0", "true", "null"}) {
    ASSERT_TRUE(testing::WriteFile(storePath, std::string("{\"PendingUpdate\": ") + stored + "}"));
    LogCapture log;
    bool pending = false;
    EXPECT_FALSE(manager.GetRegPendingUpdate(pending)) << stored;
    EXPECT_TRUE(log.Contains("PendingUpdate registry value 1630.")) << stored;
  }
  ASSERT_TRUE(testing::WriteFile(storePath, "{\"PendingUpdate\": -1}"));
  bool pending = true;
  EXPECT_TRUE(manager.GetRegPendingUpdate(pending));
  EXPECT_FALSE(pending);
}

TEST_F(StoreFileTest, FirstOfSeveralStateFoldersHoldsTheStore) {
  const std::string first = testing::MakeTempFolder("first");
  const std::string second = testing::MakeTempFolder("second");
  platform::SetEnvironmentValue("STATE_DIRECTORY",
                                first.substr(0, first.size() - 1) + ":" + second);
  ASSERT_TRUE(testing::WriteFile(first + "updater.json", "{\"InstallPath\": \"one\"}"));
  ASSERT_TRUE(testing::WriteFile(second + "updater.json", "{\"InstallPath\": \"two\"}"));
  std::string value;
  EXPECT_TRUE(manager.GetUpdaterStringValue("InstallPath", value));
  EXPECT_EQ(value, "one");
}

}  // namespace
}  // namespace tarnel
