// The logging module: the queue of composed lines and the writer thread "LoggingUtils",
// which writes each line into the file sink and onto standard output.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "logging/log_files.h"
#include "logging/log_statement.h"
#include "logging/log_time.h"

namespace tarnel {

// The listeners of a logger, added and removed from any thread; told of a new file, in the
// order added, under their lock.
class LogFileListeners : public LogFileListener {
 public:
  void Add(LogFileListener* listener);
  void Remove(LogFileListener* listener);
  void OnLogFileOpened(const std::string& prefix, const std::string& path) override;

 private:
  std::mutex mutex;
  std::vector<LogFileListener*> listeners;
};

class LoggingUtils {
 public:
  // Starts the writer thread, which waits until Begin has given it its files.
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

  void AddListener(LogFileListener* listener) { listeners.Add(listener); }
  void RemoveListener(LogFileListener* listener) { listeners.Remove(listener); }

  std::string CurrentFilePath() const;
  const std::string& LogDirectory() const { return sink->Settings().directory; }
  int32_t RetentionDays() const { return sink->Settings().retentionDays; }

 private:
  friend class Logger;
  friend class LogRecord;

  // Opens the first file, applies retention and queues the start-up report. Called once, by
  // the logger's construction, before any line is queued.
  void Begin(LogFileSettings settings, LogLevel threshold);
  void WriterLoop();
  void WriteLine(const std::string& line);
  void EnqueueOwnedLine(std::string line);
  // SubmitEntry for an entry that already ends in its "\n" (statements compose it so).
  void SubmitLine(LogLevel level, std::string line);

  TickClock clock;
  LogFileListeners listeners;
  // Set by Begin before the first line is queued; used by the writer thread alone after.
  std::unique_ptr<LogFileSink> sink;
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
  std::atomic<int32_t> writerThreshold{0};
  std::mutex submitMutex;
};

}  // namespace tarnel
