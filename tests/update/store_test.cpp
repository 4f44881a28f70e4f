// The property store against the real updater key: the store file in the test's
// STATE_DIRECTORY on Linux, the registry key in Wine's prefix on Windows.
#include <gtest/gtest.h>

#include "logging/logger.h"
#include "service_host/updater_manager.h"
#include "store_fixture.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

class PropertyStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { testing::CreateUpdaterKey(); }
  void TearDown() override { testing::DeleteUpdaterKey(); }
  UpdaterManagerWindows manager;
};

TEST_F(PropertyStoreTest, FlagIsPendingOnlyWhenStoredAsOne) {
  const struct {
    uint32_t stored;
    bool pending;
  } cases[] = {{1, true}, {0, false}, {2, false}, {0xFFFFFFFFu, false}};
  for (const auto& c : cases) {
    testing::StoreDword("PendingUpdate", c.stored);
    bool pending = !c.pending;
    EXPECT_TRUE(manager.GetRegPendingUpdate(pending)) << c.stored;
    EXPECT_EQ(pending, c.pending) << c.stored;
  }
}

TEST_F(PropertyStoreTest, ResetWritesOneOrZero) {
  uint32_t stored = 7;
  EXPECT_TRUE(manager.ResetRegPendingUpdate(true));
  ASSERT_TRUE(testing::LoadDwordValue("PendingUpdate", &stored));
  EXPECT_EQ(stored, 1u);
  EXPECT_TRUE(manager.ResetRegPendingUpdate(false));
  ASSERT_TRUE(testing::LoadDwordValue("PendingUpdate", &stored));
  EXPECT_EQ(stored, 0u);
}

TEST_F(PropertyStoreTest, MissingFlagFailsWithTheRegistryStatusForAMissingValue) {
  LogCapture log;
  bool pending = true;
  EXPECT_FALSE(manager.GetRegPendingUpdate(pending));
  EXPECT_TRUE(pending) << "left untouched on failure";
  EXPECT_TRUE(log.Contains(LevelName(LogLevel::ERROR) +
                           " | UpdaterManager::GetRegPendingUpdate error while reading the "
                           "PendingUpdate registry value 2. Discarding possible update."))
      << log.Text();
}

TEST_F(PropertyStoreTest, FlagStoredAsStringFailsOnTheTypeRestriction) {
  testing::StoreString("PendingUpdate", "1");
  LogCapture log;
  bool pending = false;
  EXPECT_FALSE(manager.GetRegPendingUpdate(pending));
  // 1630: the registry's status for a value whose type the restriction excludes.
  EXPECT_TRUE(log.Contains("PendingUpdate registry value 1630. Discarding possible update."))
      << log.Text();
}

TEST_F(PropertyStoreTest, StringsUpTo260CharactersReadBack) {
  for (const std::string& text :
       {std::string(), std::string("C:\\Program Files\\X"), std::string(260, 'a')}) {
    EXPECT_TRUE(manager.SetUpdaterStringValue("InstallerPath", text));
    std::string stored;
    ASSERT_TRUE(testing::LoadStringValue("InstallerPath", &stored));
    EXPECT_EQ(stored, text);
    std::string value = "untouched";
    EXPECT_TRUE(manager.GetUpdaterStringValue("InstallerPath", value));
    EXPECT_EQ(value, text);
  }
}

TEST_F(PropertyStoreTest, StringOf261CharactersFailsToRead) {
  EXPECT_TRUE(manager.SetUpdaterStringValue("InstallerPath", std::string(261, 'a')));
  LogCapture log;
  std::string value = "untouched";
  EXPECT_FALSE(manager.GetUpdaterStringValue("InstallerPath", value));
  EXPECT_EQ(value, "untouched");
  EXPECT_TRUE(log.Contains(LevelName(LogLevel::ERROR) +
                           " | UpdaterManager::GetUpdaterStringValue error while reading the "
                           "InstallerPath registry value."))
      << log.Text();
}

TEST_F(PropertyStoreTest, MissingOrNumericStringValueFailsToRead) {
  testing::StoreDword("InstallPath", 5);
  std::string value = "untouched";
  EXPECT_FALSE(manager.GetUpdaterStringValue("InstallPath", value));
  EXPECT_FALSE(manager.GetUpdaterStringValue("InstallerSha256", value));
  EXPECT_EQ(value, "untouched");
}

TEST_F(PropertyStoreTest, WritesKeepOtherValues) {
  testing::StoreString("InstallPath", "C:\\Product");
  EXPECT_TRUE(manager.SetUpdaterStringValue("InstallerSha256", "abc"));
  EXPECT_TRUE(manager.ResetRegPendingUpdate(true));
  std::string value;
  ASSERT_TRUE(testing::LoadStringValue("InstallPath", &value));
  EXPECT_EQ(value, "C:\\Product");
  ASSERT_TRUE(testing::LoadStringValue("InstallerSha256", &value));
  EXPECT_EQ(value, "abc");
}

TEST_F(PropertyStoreTest, MissingKeyFailsEveryOperationAndIsNotCreated) {
  testing::DeleteUpdaterKey();
  LogCapture log;
  bool pending = true;
  std::string value = "untouched";
  EXPECT_FALSE(manager.GetRegPendingUpdate(pending));
  EXPECT_FALSE(manager.ResetRegPendingUpdate(true));
  EXPECT_FALSE(manager.GetUpdaterStringValue("InstallerPath", value));
  EXPECT_FALSE(manager.SetUpdaterStringValue("InstallerPath", "x"));
  EXPECT_TRUE(pending);
  EXPECT_EQ(value, "untouched");
  const std::string text = log.Text();
  for (const char* line :
       {"UpdaterManager::GetRegPendingUpdate error while opening the updater registry key. "
        "Discarding possible update.",
        "UpdaterManager::ResetRegPendingUpdate error while opening the updater registry key.",
        "UpdaterManager::GetUpdaterStringValue error while opening the updater registry key.",
        "UpdaterManager::SetUpdaterStringValue error while opening the updater registry key."}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
  uint32_t flag = 0;
  EXPECT_FALSE(testing::LoadDwordValue("PendingUpdate", &flag));
  EXPECT_FALSE(testing::LoadStringValue("InstallerPath", &value));
}

}  // namespace
}  // namespace tarnel
