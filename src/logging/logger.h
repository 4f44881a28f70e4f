// The process-wide logger: statements are filtered by level, composed on the caller's
// thread and queued; the writer thread "LoggingUtils" appends them to the current log
// file and copies them to standard output.
//
//   TARNEL_LOG(INFO) << "Updater ready";
//
// A statement whose level is below the threshold costs one integer comparison: nothing
// of the message is evaluated.
//
// The parts: log_statement.h composes an entry, logging_utils.h queues it for the writer
// thread, log_files.h writes it into the log files; the Logger puts them together from the
// settings file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "logging/log_files.h"
#include "logging/log_statement.h"
#include "logging/log_time.h"
#include "logging/logging_utils.h"
#include "service_host/singleton_base.h"

namespace tarnel {

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

}  // namespace tarnel

#define TARNEL_LOG_AT(level)           \
  !::tarnel::IsLogged(level) ? (void)0 \
                             : ::tarnel::LogVoidify() & ::tarnel::LogRecord(level).stream()

#define TARNEL_LOG(name) TARNEL_LOG_AT(::tarnel::LogLevel::name)
