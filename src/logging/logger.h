// The process-wide logger: statements are filtered by level, composed on the caller's
// thread and queued; the writer thread "LoggingUtils" appends them to the current log
// file and copies them to standard output.
//
//   TARNEL_LOG(INFO) << "Updater ready";
//
// A statement whose level is below the threshold costs one integer comparison: nothing
// of the message is evaluated.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "service_host/singleton_base.h"

namespace tarnel {

enum class LogLevel : int32_t {
  SENSITIVE = 0,
  VERBOSE = 1,
  INFO = 2,
  WARNING = 3,
  ERROR = 4,
  NONE = 5,
};

// The level's printed name, padded to seven characters ("INFO   "); "SENSITIVE" in full;
// the empty text for a value outside 0 to 5.
std::string LevelName(LogLevel level);

// The level a settings keyword selects: "sensitive" ... "none", byte for byte; any other
// text selects INFO.
LogLevel ParseSeverity(std::string keyword);

// Clock ticks: 100-nanosecond units since 1970-01-01 00:00:00 UTC.
using TickClock = std::function<int64_t()>;
constexpr int64_t kTicksPerSecond = 10000000;
int64_t SystemClockTicks();

// Retention in hours for a period in days, held within the 32-bit range.
int32_t RetentionHours(int32_t days);

// The current local time as "%Y/%m/%d %H:%M:%S".
std::string FormatTimestamp();
// The same for a given tick count (also used for log file names and tests).
std::string FormatLocalTime(int64_t ticks, const std::string& pattern);

// Told the prefix and full path of every log file begun at a change of day or after a full
// one.
class LogFileListener {
 public:
  virtual ~LogFileListener() {}
  virtual void OnLogFileOpened(const std::string& prefix, const std::string& path) = 0;
};

// The logging module: the queue, the writer thread and the log files.
class LoggingUtils {
 public:
  explicit LoggingUtils(TickClock clock = SystemClockTicks);
  ~LoggingUtils();
  LoggingUtils(const LoggingUtils&) = delete;
  LoggingUtils& operator=(const LoggingUtils&) = delete;

  // Queues a composed entry unless its level is below the writer threshold or it carries
  // no message text.
  void SubmitEntry(LogLevel level, std::string text);
  // Queues a line as it is (the start-up report uses this to bypass the level filter).
  void EnqueueLine(const std::string& line);
  // Returns once every line queued before the call has been written (or dropped because
  // the writer stopped).
  void Flush();

  void SetLogDirectory(const std::string& directory);
  void SetRetentionDays(int32_t days);
  void SetFilePrefix(const std::string& prefix);
  void SetWriterThreshold(LogLevel level);

  // Log files and retention. EnsureCurrentDay, before each line, begins a new file at a
  // change of day, or after a file that has reached its size limit.
  bool OpenNewLogFile();
  bool EnsureCurrentDay();
  bool ListLogFiles(std::vector<std::string>& names);
  bool RemoveExpiredLogFiles(int32_t hours);
  // Opens the first file, applies retention and queues the start-up report.
  void WriteStartupReport();

  void AddListener(LogFileListener* listener);
  void RemoveListener(LogFileListener* listener);

  std::string CurrentFilePath() const;
  const std::string& LogDirectory() const { return logDirectory; }
  int32_t RetentionDays() const { return retentionDays; }

 private:
  void WriterLoop();
  void WriteLine(const std::string& line);
  // Opens the next file, tells the listeners, writes the start-up report into it when asked
  // and applies retention.
  bool BeginNextFile(bool withReport);
  void EnqueueOwnedLine(std::string line);
  // SubmitEntry for an entry that already ends in its "\n" (statements compose it so).
  void SubmitLine(LogLevel level, std::string line);
  friend class LogRecord;

  TickClock clock;
  std::string logDirectory;
  std::string filePrefix;
  std::string currentFilePath;
  int32_t retentionDays = -1;
  int64_t openTime = 0;
  std::filebuf fileBuffer;
  std::unique_ptr<std::ostream> fileStream;
  std::atomic<bool> stopFlag{false};
  std::mutex queueMutex;
  std::deque<std::string> lineQueue;
  std::condition_variable queueSignal;
  // Lines taken from the queue and written so far, and lines ever queued; Flush waits on
  // these under the queue lock.
  uint64_t linesQueued = 0;
  uint64_t linesDone = 0;
  bool writerEnded = false;
  std::condition_variable doneSignal;
  std::thread writer;
  std::vector<LogFileListener*> listeners;
  std::mutex listenerMutex;
  std::atomic<int32_t> writerThreshold{0};
  std::mutex submitMutex;
  mutable std::mutex pathMutex;  // guards currentFilePath for CurrentFilePath()
};

// The first base of the logger: the module, the threshold and the listener operations.
class LoggerBase {
 public:
  virtual void AddLogFileListener(LogFileListener* listener) = 0;
  virtual void RemoveLogFileListener(LogFileListener* listener) = 0;

 protected:
  explicit LoggerBase(TickClock clock) : utils(std::move(clock)) {}
  ~LoggerBase() {}

  LoggingUtils utils;
  std::atomic<int32_t> threshold{0};
};

class Logger : public LoggerBase, public SingletonBase {
 public:
  // Reads the settings file, opens a new log file, removes expired ones and queues the
  // start-up report.
  explicit Logger(TickClock clock = SystemClockTicks);
  ~Logger() override;

  void AddLogFileListener(LogFileListener* listener) override;
  void RemoveLogFileListener(LogFileListener* listener) override;

  LogLevel Threshold() const { return static_cast<LogLevel>(threshold.load()); }
  void SetThreshold(LogLevel level) { threshold.store(static_cast<int32_t>(level)); }
  LoggingUtils& Utils() { return utils; }

  // Waits until everything logged so far has reached the file and standard output.
  void Flush() { utils.Flush(); }
  std::string CurrentLogFilePath() const { return utils.CurrentFilePath(); }
};

// The process-wide logger, constructed on first use.
Logger* GetLogger();
// Deletes the process-wide logger through its SingletonBase part and clears the pointer.
void DeleteLogger();

inline bool IsLogged(LogLevel level) { return GetLogger()->Threshold() <= level; }

// One entry under construction; on destruction it is submitted to the logger.
class LogRecord {
 public:
  explicit LogRecord(LogLevel level);
  ~LogRecord();
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;
  std::ostream& stream() { return *text; }

 private:
  // Taken from a pool of streams that are reused from one statement to the next, and given
  // back when the entry is submitted.
  std::unique_ptr<std::ostringstream> text;
  LogLevel level;
};

struct LogVoidify {
  void operator&(std::ostream&) {}
};

}  // namespace tarnel

#define TARNEL_LOG_AT(level)           \
  !::tarnel::IsLogged(level) ? (void)0 \
                             : ::tarnel::LogVoidify() & ::tarnel::LogRecord(level).stream()

#define TARNEL_LOG(name) TARNEL_LOG_AT(::tarnel::LogLevel::name)
