#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>

#include "logging/log_limits.h"
#include "logging/logger.h"
#include "logging_fixture.h"
#include "platform/environment.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::FakeClock;
using testing::FolderEntries;
using testing::LocalTicks;
using testing::ReadFile;
using testing::ReadLogFile;
using testing::RecordingListener;
using testing::WriteFile;

const char kReportStart[] = "Version Tarnel updater: ";

size_t Count(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
    ++count;
  }
  return count;
}

std::string Entry(const std::string& message) {
  return "2025/03/07 14:02:11 | UPDATER | INFO    | " + message;
}

constexpr uint64_t kMiB = 1024 * 1024;

class LogFilesTest : public testing::LoggingTest {
 protected:
  void Touch(const std::string& name) { ASSERT_TRUE(WriteFile(folder + name, "old\n")); }
  // Sets a file's size; the folder limits are tried with sparse files, which take no room.
  static void Resize(const std::string& path, uint64_t size) {
    std::filesystem::resize_file(path, size);
  }
  void MakeFile(const std::string& name, uint64_t size) {
    Touch(name);
    Resize(folder + name, size);
  }
  LogFileSettings FileSettings(int32_t days) const {
    return LogFileSettings{folder, "TARNEL_UPDATER", days};
  }
  void Submit(Logger& logger, const std::string& message) {
    logger.Utils().SubmitEntry(LogLevel::INFO, Entry(message));
    logger.Flush();
  }

  std::string folder;
};

TEST_F(LogFilesTest, FileIsNamedAfterItsOpeningAndASecondStartInTheSameSecondAppends) {
  folder = UseLogFolder();
  FakeClock clock(LocalTicks(2025, 3, 7, 14, 2, 11) + 1234567);
  const std::string expected = folder + "TARNEL_UPDATER_2025-03-07_14-02-11.log";
  {
    Logger first(clock.Clock());
    EXPECT_EQ(first.CurrentLogFilePath(), expected);
    Submit(first, "from the first start");
  }
  {
    Logger second(clock.Clock());
    EXPECT_EQ(second.CurrentLogFilePath(), expected);
    Submit(second, "from the second start");
  }
  const std::string text = ReadLogFile(expected);
  EXPECT_EQ(text.rfind(kReportStart, 0), 0u) << text;
  EXPECT_EQ(Count(text, kReportStart), 2u) << text;
  const size_t firstEntry = text.find("from the first start");
  const size_t secondReport = text.find(kReportStart, 1);
  const size_t secondEntry = text.find("from the second start");
  ASSERT_NE(firstEntry, std::string::npos);
  ASSERT_NE(secondEntry, std::string::npos);
  EXPECT_LT(firstEntry, secondReport);
  EXPECT_LT(secondReport, secondEntry);
  EXPECT_EQ(Count(text, "\n\n"), 0u) << "the file holds no empty lines:\n" << text;
}

TEST_F(LogFilesTest, RetentionKeepsTheWindowAndLeavesOtherEntriesAlone) {
  folder = UseLogFolder("\"maximum_days\": 7");
  const struct {
    const char* name;
    bool kept;
  } files[] = {
      {"TARNEL_UPDATER_2025-06-12_12-00-00.log", false},  // eight days old
      {"TARNEL_UPDATER_2025-06-13_11-59-59.log", false},  // one second before the window
      {"TARNEL_UPDATER_2025-06-13_12-00-00.log", true},   // at the lower bound
      {"TARNEL_UPDATER_2025-06-19_08-00-00.log", true},
      {"TARNEL_UPDATER_2025-06-20_12-00-01.log", false},  // one second in the future
      {"TARNEL_UPDATER_old.log", false},                  // no readable date
      {"TARNEL_UPDATER_2025-06-15_bad.log", true},        // midnight of its date
      {"TARNEL_UPDATER_2025-06-10_bad.log", false},
      {"OTHER_2025-06-01_00-00-00.log", true},
      {"TARNEL_UPDATER_2025-06-01_00-00-00.txt", true},
      {"TARNEL_UPDATER_2025-06-01_00-00-00.log.bak", true},
  };
  for (const auto& file : files) Touch(file.name);
  const std::string folderLikeALog = "TARNEL_UPDATER_2025-06-01_00-00-00.log";
  std::filesystem::create_directory(folder + folderLikeALog);

  FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
  Logger logger(clock.Clock());

  std::vector<std::string> expected = {folderLikeALog, "TARNEL_UPDATER_2025-06-20_12-00-00.log"};
  for (const auto& file : files) {
    if (file.kept) expected.push_back(file.name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(FolderEntries(folder), expected);
}

TEST_F(LogFilesTest, TheCurrentFileIsNeverRemoved) {
  // A negative period puts every dated file, the current one included, outside the window.
  folder = UseLogFolder("\"maximum_days\": -1");
  Touch("TARNEL_UPDATER_2025-06-20_11-00-00.log");
  FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
  Logger logger(clock.Clock());
  Submit(logger, "still here");
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"TARNEL_UPDATER_2025-06-20_12-00-00.log"}));
  EXPECT_NE(ReadFile(logger.CurrentLogFilePath()).find("still here"), std::string::npos);
}

TEST_F(LogFilesTest, HugeRetentionPeriodsKeepOldFilesInsteadOfWrapping) {
  // 12500000 days are 300000000 hours, whose ticks exceed 64 bits; 100000000 days exceed
  // 32 bits in hours. Wrapped, either would put the window in the future.
  for (const char* days : {"2147483647", "100000000", "12500000"}) {
    SCOPED_TRACE(days);
    folder = UseLogFolder(std::string("\"maximum_days\": ") + days);
    Touch("TARNEL_UPDATER_1990-01-01_00-00-00.log");
    FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
    { Logger logger(clock.Clock()); }
    EXPECT_TRUE(std::filesystem::exists(folder + "TARNEL_UPDATER_1990-01-01_00-00-00.log"));
    // The bounds of the hours themselves, on a sink of this thread's own.
    LogFileSink sink(FileSettings(std::stoi(days)), clock.Clock(), nullptr);
    EXPECT_TRUE(sink.RemoveExpiredLogFiles(std::numeric_limits<int32_t>::max()));
    EXPECT_TRUE(sink.RemoveExpiredLogFiles(std::numeric_limits<int32_t>::min()));
    EXPECT_EQ(FolderEntries(folder),
              (std::vector<std::string>{"TARNEL_UPDATER_2025-06-20_12-00-00.log"}))
        << "the most negative period removes every file but the current one";
  }
}

TEST_F(LogFilesTest, FirstLineOfANewDayBeginsANewFileTellsListenersAndAppliesRetention) {
  folder = UseLogFolder("\"maximum_days\": 7");
  FakeClock clock(LocalTicks(2025, 3, 4, 23, 59, 50));
  Logger logger(clock.Clock());
  RecordingListener listener;
  logger.AddLogFileListener(&listener);
  const std::string firstFile = logger.CurrentLogFilePath();
  Submit(logger, "late evening");
  Touch("TARNEL_UPDATER_2025-02-01_00-00-00.log");  // expired, left since the start

  clock.Set(LocalTicks(2025, 3, 5, 0, 0, 5));
  Submit(logger, "after midnight");
  const std::string secondFile = folder + "TARNEL_UPDATER_2025-03-05_00-00-05.log";
  EXPECT_EQ(logger.CurrentLogFilePath(), secondFile);
  EXPECT_EQ(listener.Calls(), (std::vector<std::string>{"TARNEL_UPDATER|" + secondFile}));
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"TARNEL_UPDATER_2025-03-04_23-59-50.log",
                                      "TARNEL_UPDATER_2025-03-05_00-00-05.log"}));

  const std::string first = ReadLogFile(firstFile);
  const std::string second = ReadFile(secondFile);
  EXPECT_EQ(first.rfind(kReportStart, 0), 0u);
  EXPECT_NE(first.find("late evening"), std::string::npos);
  EXPECT_EQ(second, Entry("after midnight") + testing::kFileLineEnd)
      << "no report in a file begun later";
  logger.RemoveLogFileListener(&listener);
}

TEST_F(LogFilesTest, AFullFileIsFollowedByANewDatedFileThatOpensWithTheReport) {
  folder = UseLogFolder("\"maximum_days\": 7");
  // The clock stands still: every file here is begun within one second.
  FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
  Logger logger(clock.Clock());
  RecordingListener listener;
  logger.AddLogFileListener(&listener);
  const std::string first = folder + "TARNEL_UPDATER_2025-06-20_12-00-00.log";
  const std::string second = folder + "TARNEL_UPDATER_2025-06-20_12-00-00_1.log";
  const std::string third = folder + "TARNEL_UPDATER_2025-06-20_12-00-00_2.log";
  ASSERT_EQ(logger.CurrentLogFilePath(), first);
  logger.Flush();

  Resize(first, kLogFileSizeLimit - 1);
  Submit(logger, "the line that fills the file");
  EXPECT_EQ(logger.CurrentLogFilePath(), first) << "below the limit the file goes on";
  Submit(logger, "the first line after the limit");
  EXPECT_EQ(logger.CurrentLogFilePath(), second);
  const std::string begun = ReadLogFile(second);
  EXPECT_EQ(begun.rfind(kReportStart, 0), 0u) << begun;
  EXPECT_EQ(Count(begun, kReportStart), 1u) << begun;
  const std::string entry = Entry("the first line after the limit") + "\n";
  ASSERT_GT(begun.size(), entry.size());
  EXPECT_EQ(begun.substr(begun.size() - entry.size()), entry) << "the report, then the entry";
  const std::string full = ReadLogFile(first);
  EXPECT_EQ(full.rfind(kReportStart, 0), 0u) << "the full file keeps what it held";
  EXPECT_NE(full.find("the line that fills the file"), std::string::npos);
  EXPECT_EQ(full.find("the first line after the limit"), std::string::npos);

  // A second full file within the same second: neither file is overwritten or grown, and
  // retention reads the time in every name of that second.
  Resize(second, kLogFileSizeLimit);
  Submit(logger, "the third file");
  EXPECT_EQ(logger.CurrentLogFilePath(), third);
  EXPECT_EQ(std::filesystem::file_size(second), kLogFileSizeLimit);
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"TARNEL_UPDATER_2025-06-20_12-00-00.log",
                                      "TARNEL_UPDATER_2025-06-20_12-00-00_1.log",
                                      "TARNEL_UPDATER_2025-06-20_12-00-00_2.log"}));
  EXPECT_EQ(listener.Calls(),
            (std::vector<std::string>{"TARNEL_UPDATER|" + second, "TARNEL_UPDATER|" + third}));
  logger.RemoveLogFileListener(&listener);
}

TEST_F(LogFilesTest, AStartInTheSecondOfAFullFileBeginsTheNextName) {
  folder = UseLogFolder();
  FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
  MakeFile("TARNEL_UPDATER_2025-06-20_12-00-00.log", kLogFileSizeLimit);
  Logger logger(clock.Clock());
  EXPECT_EQ(logger.CurrentLogFilePath(), folder + "TARNEL_UPDATER_2025-06-20_12-00-00_1.log");
  logger.Flush();
  EXPECT_EQ(Count(ReadLogFile(logger.CurrentLogFilePath()), kReportStart), 1u);
  EXPECT_EQ(std::filesystem::file_size(folder + "TARNEL_UPDATER_2025-06-20_12-00-00.log"),
            kLogFileSizeLimit);
}

TEST_F(LogFilesTest, RetentionBySizeRemovesTheOldestFilesAndNeverTheCurrentOne) {
  folder = UseLogFolder("\"maximum_days\": 30");
  // 800 MiB of log files, all within the window: the two oldest go, which leaves 400 MiB.
  // Within one second "NAME.log" is older than "NAME_1.log".
  MakeFile("TARNEL_UPDATER_2025-06-18_09-00-00.log", 200 * kMiB);
  MakeFile("TARNEL_UPDATER_2025-06-19_09-00-00.log", 200 * kMiB);
  MakeFile("TARNEL_UPDATER_2025-06-19_09-00-00_1.log", 200 * kMiB);
  MakeFile("TARNEL_UPDATER_2025-06-20_08-00-00.log", 200 * kMiB);
  MakeFile("OTHER_2025-06-01_00-00-00.log", 600 * kMiB);  // not a log file of ours
  FakeClock clock(LocalTicks(2025, 6, 20, 12, 0, 0));
  const std::string current = folder + "TARNEL_UPDATER_2025-06-20_12-00-00.log";
  {
    Logger logger(clock.Clock());
    EXPECT_EQ(logger.CurrentLogFilePath(), current);
  }
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"OTHER_2025-06-01_00-00-00.log",
                                      "TARNEL_UPDATER_2025-06-19_09-00-00_1.log",
                                      "TARNEL_UPDATER_2025-06-20_08-00-00.log",
                                      "TARNEL_UPDATER_2025-06-20_12-00-00.log"}));

  // The same file continued by a sink of this thread's own, alone above the folder's limit:
  // everything else goes, it stays.
  LogFileSink sink(FileSettings(30), clock.Clock(), nullptr);
  ASSERT_EQ(sink.CurrentFilePath(), current);
  Resize(current, 600 * kMiB);
  EXPECT_TRUE(sink.RemoveExpiredLogFiles(RetentionHours(30)));
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"OTHER_2025-06-01_00-00-00.log",
                                      "TARNEL_UPDATER_2025-06-20_12-00-00.log"}));

  // Once full it is followed by a new file, and is then no longer spared.
  sink.Write(Entry("in the next file") + "\n");
  EXPECT_EQ(FolderEntries(folder),
            (std::vector<std::string>{"OTHER_2025-06-01_00-00-00.log",
                                      "TARNEL_UPDATER_2025-06-20_12-00-00_1.log"}));
  EXPECT_NE(ReadFile(sink.CurrentFilePath()).find("in the next file"), std::string::npos);
}

TEST_F(LogFilesTest, DayChangeComparesTheWholeDate) {
  const struct {
    const char* name;
    int64_t from;
    int64_t to;
    bool newFile;
    size_t filesAfter;
  } cases[] = {
      {"same day", LocalTicks(2025, 3, 5, 0, 0, 1), LocalTicks(2025, 3, 5, 23, 59, 59), false, 1},
      {"same day of another month", LocalTicks(2025, 3, 5, 10, 0, 0),
       LocalTicks(2025, 4, 5, 10, 0, 0), true, 2},
      {"same date of another year", LocalTicks(2025, 3, 5, 10, 0, 0),
       LocalTicks(2026, 3, 5, 10, 0, 0), true, 2},
      // The file of the later day now lies in the future of the new one: retention takes it.
      {"clock set back a day", LocalTicks(2025, 3, 5, 10, 0, 0), LocalTicks(2025, 3, 4, 10, 0, 0),
       true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder = UseLogFolder("\"maximum_days\": 100000");
    FakeClock clock(c.from);
    Logger logger(clock.Clock());
    const std::string opened = logger.CurrentLogFilePath();
    clock.Set(c.to);
    Submit(logger, "later");
    EXPECT_EQ(logger.CurrentLogFilePath() != opened, c.newFile);
    EXPECT_NE(ReadFile(logger.CurrentLogFilePath()).find("later"), std::string::npos);
    EXPECT_EQ(FolderEntries(folder).size(), c.filesAfter);
  }
}

}  // namespace
}  // namespace tarnel
