#include "logging/logger.h"

#include <algorithm>
#include <chrono>
#include <iomanip>
#include <iostream>
#include <locale>

#include "logging/settings_file.h"
#include "platform/local_time.h"
#include "platform/thread_name.h"

namespace tarnel {
namespace {

Logger* g_logger = nullptr;

// Serialises writes to standard output across the process.
std::mutex g_consoleMutex;

const char kCategory[] = "UPDATER";
const char kFilePrefix[] = "TARNEL_UPDATER";

// An entry composed without message parts ends in the separator after the level name.
bool IsEmptyEntry(const std::string& text) {
  const auto bars = std::count(text.begin(), text.end(), '|');
  return bars == 3 && text.size() >= 3 && text.compare(text.size() - 3, 3, " | ") == 0;
}

}  // namespace

std::string LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::SENSITIVE:
      return "SENSITIVE";
    case LogLevel::VERBOSE:
      return "VERBOSE";
    case LogLevel::INFO:
      return "INFO   ";
    case LogLevel::WARNING:
      return "WARNING";
    case LogLevel::ERROR:
      return "ERROR  ";
    case LogLevel::NONE:
      return "NONE   ";
  }
  return "";
}

LogLevel ParseSeverity(std::string keyword) {
  static const char* const kKeywords[] = {"sensitive", "verbose", "info",
                                          "warning",   "error",   "none"};
  for (int32_t level = 0; level < 6; ++level) {
    if (keyword == kKeywords[level]) return static_cast<LogLevel>(level);
  }
  return LogLevel::INFO;
}

int64_t SystemClockTicks() {
  using Ticks = std::chrono::duration<int64_t, std::ratio<1, kTicksPerSecond>>;
  return std::chrono::duration_cast<Ticks>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string FormatLocalTime(int64_t ticks, const std::string& pattern) {
  std::tm local{};
  if (!platform::ToLocalTime(ticks / kTicksPerSecond, &local)) return std::string();
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::put_time(&local, pattern.c_str());
  return out.str();
}

std::string FormatTimestamp() { return FormatLocalTime(SystemClockTicks(), "%Y/%m/%d %H:%M:%S"); }

// ---------------------------------------------------------------------------------------
// LoggingUtils: queue and writer thread. Log files: log_files.cpp; report: startup_report.cpp.

LoggingUtils::LoggingUtils(TickClock clock)
    : clock(std::move(clock)), fileStream(std::make_unique<std::ostream>(&fileBuffer)) {
  writer = std::thread([this] {
    platform::SetCurrentThreadName("LoggingUtils");
    WriterLoop();
  });
}

LoggingUtils::~LoggingUtils() {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    stopFlag = true;
  }
  queueSignal.notify_all();
  writer.join();
  fileStream.reset();
  fileBuffer.close();
}

void LoggingUtils::SubmitEntry(LogLevel level, std::string text) {
  std::lock_guard<std::mutex> lock(submitMutex);
  if (static_cast<int32_t>(level) >= writerThreshold.load() && !IsEmptyEntry(text)) {
    text += '\n';
    EnqueueLine(text);
  }
}

void LoggingUtils::EnqueueLine(const std::string& line) {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    lineQueue.push_back(line);
    ++linesQueued;
  }
  queueSignal.notify_one();
}

void LoggingUtils::Flush() {
  std::unique_lock<std::mutex> lock(queueMutex);
  const uint64_t target = linesQueued;
  doneSignal.wait(lock, [&] { return linesDone >= target || writerEnded; });
}

void LoggingUtils::WriterLoop() {
  for (;;) {
    std::string line;
    {
      std::unique_lock<std::mutex> lock(queueMutex);
      queueSignal.wait(lock, [this] { return !lineQueue.empty() || stopFlag; });
      // Lines queued before the stop are still written: the last lines of a run are the
      // ones that explain how it ended.
      if (lineQueue.empty()) {
        writerEnded = true;
        doneSignal.notify_all();
        return;
      }
      line = std::move(lineQueue.front());
      lineQueue.pop_front();
    }
    WriteLine(line);
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      ++linesDone;
    }
    doneSignal.notify_all();
  }
}

void LoggingUtils::WriteLine(const std::string& line) {
  if (EnsureCurrentDay()) {
    *fileStream << line;
  } else {
    *fileStream << "Error Logging\n";
  }
  {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    std::cout << line << std::endl;
  }
  fileStream->flush();
  fileStream->clear();
}

void LoggingUtils::SetLogDirectory(const std::string& directory) { logDirectory = directory; }
void LoggingUtils::SetRetentionDays(int32_t days) { retentionDays = days; }
void LoggingUtils::SetFilePrefix(const std::string& prefix) { filePrefix = prefix; }
void LoggingUtils::SetWriterThreshold(LogLevel level) {
  writerThreshold.store(static_cast<int32_t>(level));
}

std::string LoggingUtils::CurrentFilePath() const {
  std::lock_guard<std::mutex> lock(pathMutex);
  return currentFilePath;
}

void LoggingUtils::AddListener(LogFileListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(listenerMutex);
  listeners.push_back(listener);
}

void LoggingUtils::RemoveListener(LogFileListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(listenerMutex);
  listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

// ---------------------------------------------------------------------------------------
// Logger

Logger::Logger(TickClock clock) : LoggerBase(std::move(clock)) {
  threshold = 0;
  std::string directory;
  // Kept when the settings cannot be read: the retention the settings file gives by default.
  int32_t days = 7;
  LoadLoggingSettings(*this, directory, days);
  utils.SetLogDirectory(directory);
  utils.SetRetentionDays(days);
  utils.SetFilePrefix(kFilePrefix);
  utils.SetWriterThreshold(Threshold());
  utils.WriteStartupReport();
}

Logger::~Logger() {}

void Logger::AddLogFileListener(LogFileListener* listener) { utils.AddListener(listener); }
void Logger::RemoveLogFileListener(LogFileListener* listener) { utils.RemoveListener(listener); }

Logger* GetLogger() {
  if (g_logger == nullptr) g_logger = new Logger();
  return g_logger;
}

void DeleteLogger() {
  if (g_logger == nullptr) return;
  SingletonBase* base = g_logger;
  delete base;
  g_logger = nullptr;
}

LogRecord::LogRecord(LogLevel level) : level(level) {
  text.imbue(std::locale::classic());
  text << std::boolalpha << FormatTimestamp() << " | " << kCategory << " | " << LevelName(level)
       << " | ";
}

LogRecord::~LogRecord() { GetLogger()->Utils().SubmitEntry(level, text.str()); }

}  // namespace tarnel
