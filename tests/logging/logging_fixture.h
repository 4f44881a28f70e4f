// Helpers for the logging tests: a data folder of the test's own (the loggers that a test
// constructs read their settings from it), a clock the test sets, and local times as ticks.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "logging/logger.h"

namespace tarnel::testing {

// Ticks of a local date and time.
int64_t LocalTicks(int year, int month, int day, int hour, int minute, int second);

// A clock that stands still until the test moves it.
class FakeClock {
 public:
  explicit FakeClock(int64_t start) : now(start) {}
  void Set(int64_t ticks) { now = ticks; }
  TickClock Clock() {
    return [this] { return now.load(); };
  }

 private:
  std::atomic<int64_t> now;
};

// Points the local application data folder (XDG_DATA_HOME and LOCALAPPDATA) at a fresh
// folder for the test and back afterwards. The process-wide logger is created first, so it
// keeps the settings of the test program.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The fresh application data folder, without a final separator.
  std::string AppData() const { return appData; }
  // Its "Tarnel" data folder and settings file.
  std::string DataFolder() const;
  std::string SettingsPath() const;
  void WriteSettings(const std::string& text) const;
  // A settings document with the given "logging" members (JSON text of an object body).
  void WriteLoggingSettings(const std::string& members) const;
  // A fresh log folder ending in the separator, and settings that select it.
  std::string UseLogFolder(const std::string& moreMembers = "");

 private:
  std::string appData;
  std::string savedXdg;
  std::string savedLocal;
};

// Log files are written in text mode: Windows stores every line end as CR LF.
#ifdef _WIN32
constexpr char kFileLineEnd[] = "\r\n";
#else
constexpr char kFileLineEnd[] = "\n";
#endif

// Text of a log file with its line ends as "\n".
std::string WithNewlines(std::string text);
std::string ReadLogFile(const std::string& path);

// JSON text of a string value (quotes and backslashes escaped).
std::string JsonString(const std::string& text);

// The names of the entries of a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);

// Records the files a logger announces.
class RecordingListener : public LogFileListener {
 public:
  void OnLogFileOpened(const std::string& prefix, const std::string& path) override {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(prefix + "|" + path);
  }
  std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> lock(mutex);
    return calls;
  }

 private:
  std::mutex mutex;
  std::vector<std::string> calls;
};

}  // namespace tarnel::testing
