#include "logging/standard_output.h"

#include <iostream>
#include <mutex>

#include "logging/log_statement.h"
#include "platform/journal_stream.h"

namespace tarnel {
namespace {

// Serialises writes to standard output across the process.
std::mutex g_consoleMutex;

constexpr char kFieldSeparator[] = " | ";
constexpr size_t kSeparatorLength = sizeof kFieldSeparator - 1;

// An entry reads "time | category | level | text": the level is the third field.
LogLevel EntryLevel(const std::string& line) {
  const size_t afterTime = line.find(kFieldSeparator);
  if (afterTime == std::string::npos) return LogLevel::INFO;
  const size_t afterCategory = line.find(kFieldSeparator, afterTime + kSeparatorLength);
  if (afterCategory == std::string::npos) return LogLevel::INFO;
  const size_t levelStart = afterCategory + kSeparatorLength;
  for (LogLevel level : {LogLevel::SENSITIVE, LogLevel::VERBOSE, LogLevel::INFO,
                         LogLevel::WARNING, LogLevel::ERROR}) {
    const std::string field = LevelName(level) + kFieldSeparator;
    if (line.compare(levelStart, field.size(), field) == 0) return level;
  }
  return LogLevel::INFO;
}

const char* JournalPriority(LogLevel level) {
  switch (level) {
    case LogLevel::ERROR:
      return "<3>";
    case LogLevel::WARNING:
      return "<4>";
    case LogLevel::SENSITIVE:
    case LogLevel::VERBOSE:
      return "<7>";
    default:
      return "<6>";
  }
}

}  // namespace

std::string JournalForm(const std::string& line) {
  const char* priority = JournalPriority(EntryLevel(line));
  std::string form;
  // The journal makes one record of each line; a line of its own needs its own prefix.
  for (size_t start = 0; start < line.size();) {
    size_t end = line.find('\n', start);
    if (end == std::string::npos) end = line.size();
    if (end > start) form.append(priority).append(line, start, end - start).append("\n");
    start = end + 1;
  }
  return form;
}

void WriteStandardOutput(const std::string& line) {
  static const bool toJournal = platform::StandardOutputIsJournal();
  std::lock_guard<std::mutex> lock(g_consoleMutex);
  if (toJournal) {
    std::cout << JournalForm(line) << std::flush;
  } else {
    std::cout << line << std::endl;
  }
}

}  // namespace tarnel
