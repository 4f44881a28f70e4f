#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "logging/logger.h"
#include "logging_fixture.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;
using testing::LoggingTest;
using testing::ReadLogFile;
using testing::WithNewlines;

const LogLevel kStatementLevels[] = {LogLevel::SENSITIVE, LogLevel::VERBOSE, LogLevel::INFO,
                                     LogLevel::WARNING, LogLevel::ERROR};

// Restores the process-wide logger's threshold of the test program.
class ThresholdGuard {
 public:
  ~ThresholdGuard() { GetLogger()->SetThreshold(LogLevel::SENSITIVE); }
};

TEST(LoggerTest, StatementsBelowTheThresholdAreDroppedWithoutEvaluatingTheMessage) {
  ThresholdGuard guard;
  for (int threshold = 0; threshold <= 5; ++threshold) {
    GetLogger()->SetThreshold(static_cast<LogLevel>(threshold));
    LogCapture log;
    int evaluated = 0;
    auto mark = [&](int level) {
      ++evaluated;
      return "filter " + std::to_string(threshold) + "/" + std::to_string(level);
    };
    for (LogLevel level : kStatementLevels) {
      TARNEL_LOG_AT(level) << mark(static_cast<int>(level));
    }
    const std::string text = log.Text();
    int expectedWritten = 0;
    for (LogLevel level : kStatementLevels) {
      const bool written = static_cast<int>(level) >= threshold;
      expectedWritten += written ? 1 : 0;
      const std::string marker =
          "filter " + std::to_string(threshold) + "/" + std::to_string(static_cast<int>(level));
      EXPECT_EQ(text.find(marker) != std::string::npos, written)
          << "threshold " << threshold << ", level " << static_cast<int>(level);
    }
    EXPECT_EQ(evaluated, expectedWritten) << "threshold " << threshold;
  }
}

TEST(LoggerTest, EntryIsTimestampCategoryPaddedLevelNameAndMessage) {
  struct Case {
    LogLevel level;
    const char* printedName;
  };
  const Case cases[] = {
      {LogLevel::SENSITIVE, "SENSITIVE"}, {LogLevel::VERBOSE, "VERBOSE"},
      {LogLevel::INFO, "INFO   "},        {LogLevel::WARNING, "WARNING"},
      {LogLevel::ERROR, "ERROR  "},       {static_cast<LogLevel>(7), ""},
  };
  for (const Case& c : cases) {
    LogCapture log;
    TARNEL_LOG_AT(c.level) << "Updater ready " << 42 << " " << true << " " << false;
    const std::regex entry(
        std::string("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2} \\| UPDATER \\| ") + c.printedName +
        " \\| Updater ready 42 true false\n");
    EXPECT_TRUE(std::regex_match(WithNewlines(log.Text()), entry))
        << "level " << static_cast<int>(c.level) << ":\n"
        << WithNewlines(log.Text());
  }
}

TEST(LoggerTest, StatementWithoutMessageWritesNothingButAMessageWithBarsIsWritten) {
  LogCapture log;
  TARNEL_LOG(INFO);
  TARNEL_LOG(ERROR) << "";
  EXPECT_EQ(WithNewlines(log.Text()), "");
  TARNEL_LOG(INFO) << "a | b | ";
  EXPECT_NE(WithNewlines(log.Text()).find("| INFO    | a | b | \n"), std::string::npos)
      << WithNewlines(log.Text());
}

TEST(LoggerTest, LevelNamesAndSeverityKeywords) {
  EXPECT_EQ(LevelName(LogLevel::NONE), "NONE   ");
  EXPECT_EQ(LevelName(static_cast<LogLevel>(-1)), "");
  const std::pair<const char*, LogLevel> keywords[] = {
      {"sensitive", LogLevel::SENSITIVE}, {"verbose", LogLevel::VERBOSE}, {"info", LogLevel::INFO},
      {"warning", LogLevel::WARNING},     {"error", LogLevel::ERROR},     {"none", LogLevel::NONE},
      {"Error", LogLevel::INFO},          {"", LogLevel::INFO},           {"none ", LogLevel::INFO},
  };
  for (const auto& [keyword, level] : keywords) {
    EXPECT_EQ(ParseSeverity(keyword), level) << "\"" << keyword << "\"";
  }
}

using OwnLoggerTest = LoggingTest;

// An entry as a statement composes it; the tests below feed their own logger directly.
std::string Entry(LogLevel level, const std::string& message) {
  return "2025/03/07 14:02:11 | UPDATER | " + LevelName(level) + " | " + message;
}

TEST_F(OwnLoggerTest, StartupReportIsTheFirstContentWhateverTheThreshold) {
  for (const char* severity : {"none", "error", "sensitive"}) {
    UseLogFolder("\"severity\": \"" + std::string(severity) + "\"");
    std::string path;
    {
      Logger logger;
      for (LogLevel level : kStatementLevels) {
        logger.Utils().SubmitEntry(level, Entry(level, "own entry"));
      }
      logger.Flush();
      path = logger.CurrentLogFilePath();
    }
    const std::string text = ReadLogFile(path);
    EXPECT_EQ(text.rfind("Version Tarnel updater: 1.0 x86_64\n", 0), 0u) << severity << ":\n"
                                                                         << text;
    size_t entries = 0;
    for (size_t at = text.find("own entry"); at != std::string::npos;
         at = text.find("own entry", at + 1)) {
      ++entries;
    }
    const size_t expected = std::string(severity) == "none" ? 0 : severity[0] == 'e' ? 1 : 5;
    EXPECT_EQ(entries, expected) << severity << ":\n" << text;
  }
}

TEST_F(OwnLoggerTest, EveryLineQueuedBeforeDestructionReachesTheFile) {
  UseLogFolder();
  std::string path;
  const int kLines = 2000;
  {
    Logger logger;
    path = logger.CurrentLogFilePath();
    for (int i = 0; i < kLines; ++i) {
      logger.Utils().SubmitEntry(LogLevel::INFO,
                                 Entry(LogLevel::INFO, "line " + std::to_string(i)));
    }
  }
  const std::string text = ReadLogFile(path);
  EXPECT_NE(text.find("| line 0\n"), std::string::npos);
  EXPECT_NE(text.find("| line " + std::to_string(kLines - 1) + "\n"), std::string::npos)
      << "the last lines of the run were dropped";
  size_t previous = 0;
  for (int i = 0; i < kLines; i += 97) {
    const size_t at = text.find("| line " + std::to_string(i) + "\n");
    ASSERT_NE(at, std::string::npos) << i;
    EXPECT_GE(at, previous) << "out of order at " << i;
    previous = at;
  }
}

}  // namespace
}  // namespace tarnel
