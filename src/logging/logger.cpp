#include "logging/logger.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <locale>

#include "logging/settings_file.h"
#include "logging/standard_output.h"
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
// `length` leaves out the line end of a line.
bool IsEmptyEntry(const std::string& text, size_t length) {
  if (length < 3 || text.compare(length - 3, 3, " | ") != 0) return false;
  return std::count(text.begin(), text.begin() + length, '|') == 3;
}

// What follows the time in an entry of each level: " | UPDATER | " + level name + " | ".
const std::string& EntryPrefix(LogLevel level) {
  static const std::string kPrefixes[] = {
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::SENSITIVE) + " | ",
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::VERBOSE) + " | ",
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::INFO) + " | ",
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::WARNING) + " | ",
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::ERROR) + " | ",
      std::string(" | ") + kCategory + " | " + LevelName(LogLevel::NONE) + " | ",
      std::string(" | ") + kCategory + " |  | "};  // a level outside 0 to 5
  const int32_t index = static_cast<int32_t>(level);
  return kPrefixes[index >= 0 && index <= 5 ? index : 6];
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

namespace {

// Entries of the same second share their time text: each thread formats a second only once,
// which keeps the local-time conversion and the formatting out of most statements. The cache
// is made of plain values only: thread-local objects with destructors are unreliable at the
// end of a thread with the MinGW runtime.
struct TimestampCache {
  int64_t second = -1;
  size_t length = 0;
  char text[32] = {};
};

const TimestampCache& CurrentTimestamp() {
  thread_local TimestampCache cache;
  const int64_t second = SystemClockTicks() / kTicksPerSecond;
  if (second != cache.second || cache.length == 0) {
    const std::string text = FormatLocalTime(second * kTicksPerSecond, "%Y/%m/%d %H:%M:%S");
    cache.length = std::min(text.size(), sizeof cache.text);
    std::memcpy(cache.text, text.data(), cache.length);
    cache.second = second;
  }
  return cache;
}

// Composition streams, in the classic locale, reused from one statement to the next: a
// statement takes one (or makes one when all are in use, as when a message part itself
// logs) and gives it back when its entry is submitted. The pool lives as long as the process.
class StreamPool {
 public:
  std::unique_ptr<std::ostringstream> Take() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (!streams.empty()) {
        std::unique_ptr<std::ostringstream> stream = std::move(streams.back());
        streams.pop_back();
        return stream;
      }
    }
    auto stream = std::make_unique<std::ostringstream>();
    stream->imbue(std::locale::classic());
    return stream;
  }
  void Give(std::unique_ptr<std::ostringstream> stream) {
    std::lock_guard<std::mutex> lock(mutex);
    streams.push_back(std::move(stream));
  }

 private:
  std::mutex mutex;
  std::vector<std::unique_ptr<std::ostringstream>> streams;
};

StreamPool& Streams() {
  static StreamPool* pool = new StreamPool();  // never destroyed: statements may come late
  return *pool;
}

// The formatting of a new stream, with booleans as "true" and "false".
void ResetFormatting(std::ostream& stream) {
  stream.flags(std::ios_base::dec | std::ios_base::skipws | std::ios_base::boolalpha);
  stream.precision(6);
  stream.width(0);
  stream.fill(' ');
  stream.clear();
}

}  // namespace

std::string FormatTimestamp() {
  const TimestampCache& cache = CurrentTimestamp();
  return std::string(cache.text, cache.length);
}

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
  text += '\n';
  SubmitLine(level, std::move(text));
}

void LoggingUtils::SubmitLine(LogLevel level, std::string line) {
  std::lock_guard<std::mutex> lock(submitMutex);
  if (static_cast<int32_t>(level) >= writerThreshold.load() &&
      !IsEmptyEntry(line, line.size() - 1)) {
    EnqueueOwnedLine(std::move(line));
  }
}

void LoggingUtils::EnqueueLine(const std::string& line) { EnqueueOwnedLine(line); }

void LoggingUtils::EnqueueOwnedLine(std::string line) {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    lineQueue.push_back(std::move(line));
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
    // The writer takes every queued line at once and writes them one by one, so that it
    // holds the queue lock once per batch rather than twice per line: statements on other
    // threads then rarely find the lock taken.
    std::deque<std::string> batch;
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
      batch.swap(lineQueue);
    }
    for (const std::string& line : batch) WriteLine(line);
    {
      std::lock_guard<std::mutex> lock(queueMutex);
      linesDone += batch.size();
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
    WriteStandardOutput(line);
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

LogRecord::LogRecord(LogLevel level) : text(Streams().Take()), level(level) {
  text->str(std::string());  // keeps the buffer's capacity
  ResetFormatting(*text);
  const TimestampCache& time = CurrentTimestamp();
  text->write(time.text, static_cast<std::streamsize>(time.length));
  *text << EntryPrefix(level);
}

LogRecord::~LogRecord() {
  // The line end goes in here, so that the line is copied out of the stream only once.
  *text << '\n';
  std::string line = text->str();
  Streams().Give(std::move(text));
  GetLogger()->Utils().SubmitLine(level, std::move(line));
}

}  // namespace tarnel
