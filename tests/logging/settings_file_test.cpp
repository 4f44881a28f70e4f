#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "logging/logger.h"
#include "logging/settings_file.h"
#include "logging_fixture.h"
#include "platform/environment.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::JsonString;
using testing::ReadFile;

class SettingsFileTest : public testing::LoggingTest {
 protected:
  std::string DefaultLogFolder() const { return DataFolder() + "Logs" + platform::PathSeparator(); }
};

std::string Nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

struct SettingsCase {
  const char* name;
  std::string content;  // empty: no settings file
  LogLevel threshold;
  int32_t days;
  bool replacedByNull;  // otherwise the file must be left as it was
};

TEST_F(SettingsFileTest, DocumentsGiveThresholdAndRetentionOrTheDefaults) {
  const SettingsCase cases[] = {
      {"missing file", "", LogLevel::INFO, 7, true},
      {"comment and empty object", "// settings\n{}", LogLevel::INFO, 7, false},
      {"comments, trailing commas, byte-order mark",
       "\xEF\xBB\xBF/* c */ {\"logging\": {\"severity\": \"error\", \"maximum_days\": 3,},}",
       LogLevel::ERROR, 3, false},
      {"syntax error", "{\"logging\": {\"severity\": \"error\"", LogLevel::INFO, 7, true},
      {"single quotes", "{'logging': {}}", LogLevel::INFO, 7, true},
      {"keyword with capital", "{\"logging\": {\"severity\": \"Error\"}}", LogLevel::INFO, 7,
       false},
      {"keyword none", "{\"logging\": {\"severity\": \"none\"}}", LogLevel::NONE, 7, false},
      {"last duplicate wins", "{\"logging\": {\"severity\": \"none\", \"severity\": \"warning\"}}",
       LogLevel::WARNING, 7, false},
      {"days real", "{\"logging\": {\"maximum_days\": 2.9}}", LogLevel::INFO, 2, false},
      {"days negative real", "{\"logging\": {\"maximum_days\": -3.7}}", LogLevel::INFO, -3, false},
      {"days true", "{\"logging\": {\"maximum_days\": true}}", LogLevel::INFO, 1, false},
      {"days null", "{\"logging\": {\"maximum_days\": null}}", LogLevel::INFO, 0, false},
      {"extra members", "{\"other\": {\"x\": [1]}, \"logging\": {\"maximum_days\": 4, \"y\": 1}}",
       LogLevel::INFO, 4, false},
      // Members of the wrong type count as absent, roots of the wrong type as empty.
      {"root array", "[{\"logging\": {\"severity\": \"error\"}}]", LogLevel::INFO, 7, false},
      {"root number", "5", LogLevel::INFO, 7, false},
      {"root null", "null", LogLevel::INFO, 7, false},
      {"logging string", "{\"logging\": \"error\"}", LogLevel::INFO, 7, false},
      {"severity object", "{\"logging\": {\"severity\": {\"a\": 1}, \"maximum_days\": 2}}",
       LogLevel::INFO, 2, false},
      {"severity array", "{\"logging\": {\"severity\": [\"error\"]}}", LogLevel::INFO, 7, false},
      {"days string", "{\"logging\": {\"maximum_days\": \"5\", \"severity\": \"error\"}}",
       LogLevel::ERROR, 7, false},
      {"days out of range", "{\"logging\": {\"maximum_days\": 3000000000}}", LogLevel::INFO, 7,
       false},
      {"days real out of range", "{\"logging\": {\"maximum_days\": -1e12}}", LogLevel::INFO, 7,
       false},
      {"days object", "{\"logging\": {\"maximum_days\": {}}}", LogLevel::INFO, 7, false},
      // 256 levels are read; one more makes the document unparsable.
      {"256 levels", "{\"logging\": {\"severity\": \"error\"}, \"deep\": " + Nested(255) + "}",
       LogLevel::ERROR, 7, false},
      {"257 levels", "{\"logging\": {\"severity\": \"error\"}, \"deep\": " + Nested(256) + "}",
       LogLevel::INFO, 7, true},
      {"far too deep", Nested(100000), LogLevel::INFO, 7, true},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(DataFolder());
    if (!c.content.empty()) WriteSettings(c.content);
    Logger logger;
    EXPECT_EQ(logger.Threshold(), c.threshold);
    EXPECT_EQ(logger.Utils().RetentionDays(), c.days);
    EXPECT_EQ(logger.Utils().LogDirectory(), DefaultLogFolder());
    EXPECT_TRUE(std::filesystem::is_directory(DefaultLogFolder()));
    EXPECT_EQ(ReadFile(SettingsPath()), c.replacedByNull ? "null" : c.content);
  }
}

TEST_F(SettingsFileTest, LogPathIsUsedWithAFinalSeparator) {
  const std::string parent = testing::MakeTempFolder("custom");
  const std::string withSeparator = parent + "with" + platform::PathSeparator();
  const std::string without = parent + "without";
  struct Case {
    std::string path;
    std::string expected;
  } cases[] = {
      {JsonString(withSeparator), withSeparator},
      {JsonString(without), without + platform::PathSeparator()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    WriteSettings("{\"logging\": {\"path\": " + c.path + ", \"severity\": \"none\"}}");
    Logger logger;
    EXPECT_EQ(logger.Utils().LogDirectory(), c.expected);
    EXPECT_EQ(logger.CurrentLogFilePath().rfind(c.expected, 0), 0u) << logger.CurrentLogFilePath();
    EXPECT_TRUE(std::filesystem::is_regular_file(logger.CurrentLogFilePath()));
  }
  EXPECT_EQ(testing::FolderEntries(parent), (std::vector<std::string>{"with", "without"}))
      << "no log file may land beside the configured folders";
}

TEST_F(SettingsFileTest, NullPathMeansTheCurrentFolder) {
  // Read without a logger of its own, which would open its file in the current folder.
  WriteSettings("{\"logging\": {\"path\": null, \"severity\": \"sensitive\"}}");
  std::string directory = "unset";
  int32_t days = -5;
  LoadLoggingSettings(*GetLogger(), directory, days);
  EXPECT_EQ(directory, "");
  EXPECT_EQ(days, 7);
  EXPECT_EQ(GetLogger()->Threshold(), LogLevel::SENSITIVE);
}

TEST_F(SettingsFileTest, SettingsFileBindsADocumentAndCreatesItsFolder) {
  JsonSettingsFile file;
  bool created = false;
  Json::Value fallback;
  fallback["a"] = 1;
  ASSERT_TRUE(file.LoadOrCreate(KnownFolder::LocalAppData, "Other", "x.conf", &created, fallback));
  EXPECT_TRUE(created);
  EXPECT_EQ(file.Document(), fallback);
  const std::string path =
      AppData() + platform::PathSeparator() + "Other" + platform::PathSeparator() + "x.conf";
  EXPECT_EQ(ReadFile(path), "{\n  \"a\" : 1\n}");
  EXPECT_TRUE(file.IsReadable(KnownFolder::LocalAppData, "Other", "x.conf"));

  JsonSettingsFile again;
  ASSERT_TRUE(
      again.LoadOrCreate(KnownFolder::LocalAppData, "Other", "x.conf", &created, Json::Value()));
  EXPECT_FALSE(created);
  EXPECT_EQ(again.Document(), fallback);
  EXPECT_EQ(again.FilePath(), path);
}

TEST_F(SettingsFileTest, LocalAppDataFolderFollowsTheEnvironment) {
  std::string folder;
  ASSERT_TRUE(GetKnownFolderPath(KnownFolder::LocalAppData, folder));
  EXPECT_EQ(folder, AppData() + platform::PathSeparator());
  std::string dataFile;
  ASSERT_TRUE(BuildDataFilePath(KnownFolder::LocalAppData, "Tarnel", "", dataFile));
  EXPECT_EQ(dataFile, DataFolder());
}

}  // namespace
}  // namespace tarnel
