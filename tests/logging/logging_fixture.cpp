#include "logging_fixture.h"

#include <json/writer.h>

#include <algorithm>

#include "platform/environment.h"
#include "platform/local_time.h"
#include "support/test_support.h"

namespace tarnel::testing {

int64_t LocalTicks(int year, int month, int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return platform::FromLocalTime(&local) * kTicksPerSecond;
}

void LoggingTest::SetUp() {
  GetLogger();
  platform::GetEnvironmentValue("XDG_DATA_HOME", &savedXdg);
  platform::GetEnvironmentValue("LOCALAPPDATA", &savedLocal);
  appData = MakeTempFolder("appdata");
  appData.pop_back();
  platform::SetEnvironmentValue("XDG_DATA_HOME", appData);
  platform::SetEnvironmentValue("LOCALAPPDATA", appData);
}

void LoggingTest::TearDown() {
  platform::SetEnvironmentValue("XDG_DATA_HOME", savedXdg);
  platform::SetEnvironmentValue("LOCALAPPDATA", savedLocal);
}

std::string LoggingTest::DataFolder() const {
  return appData + platform::PathSeparator() + "Tarnel" + platform::PathSeparator();
}

std::string LoggingTest::SettingsPath() const { return DataFolder() + "settings.conf"; }

void LoggingTest::WriteSettings(const std::string& text) const {
  std::filesystem::create_directories(DataFolder());
  ASSERT_TRUE(WriteFile(SettingsPath(), text));
}

void LoggingTest::WriteLoggingSettings(const std::string& members) const {
  WriteSettings("{\"logging\": {" + members + "}}");
}

std::string LoggingTest::UseLogFolder(const std::string& moreMembers) {
  const std::string folder = MakeTempFolder("logs");
  WriteLoggingSettings("\"path\": " + JsonString(folder) +
                       (moreMembers.empty() ? "" : ", " + moreMembers));
  return folder;
}

std::string WithNewlines(std::string text) {
  for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
    text.erase(at, 1);
  }
  return text;
}

std::string ReadLogFile(const std::string& path) { return WithNewlines(ReadFile(path)); }

std::string JsonString(const std::string& text) {
  Json::StreamWriterBuilder writer;
  return Json::writeString(writer, Json::Value(text));
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tarnel::testing
