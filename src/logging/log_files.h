// The file sink: the log file being written, the change of file at a new day or after a full
// file, and retention by age and by the folder's size.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_time.h"

namespace tarnel {

// Retention in hours for a period in days, held within the 32-bit range.
int32_t RetentionHours(int32_t days);

// Told the prefix and full path of every log file begun at a change of day or after a full
// one.
class LogFileListener {
 public:
  virtual ~LogFileListener() {}
  virtual void OnLogFileOpened(const std::string& prefix, const std::string& path) = 0;
};

// Where the log files go and how long they are kept, fixed for the life of a sink.
struct LogFileSettings {
  // The exact text before every file name, ending in the path separator.
  std::string directory;
  std::string prefix;
  int32_t retentionDays = -1;
};

// Writes lines into dated log files. Constructed on one thread, it is used by one thread at a
// time after that (the logger's writer thread); only CurrentFilePath may be called from any
// thread.
class LogFileSink {
 public:
  // Opens the first file and applies retention; a file that cannot be opened leaves the
  // sink writing nowhere until the next change of day. `announce`, if not null, is told of
  // every file begun after the first and must outlive the sink.
  LogFileSink(LogFileSettings settings, TickClock clock, LogFileListener* announce);
  ~LogFileSink();
  LogFileSink(const LogFileSink&) = delete;
  LogFileSink& operator=(const LogFileSink&) = delete;

  // Writes one line into the current file, after beginning the next file when the day has
  // changed or the current one is full; "Error Logging\n" goes in its place when that
  // fails. The file is flushed and its error state cleared after every line.
  void Write(const std::string& line);

  // Removes the log files whose names lie outside the last `hours` or after the opening of
  // the current file, then the oldest while the folder holds too much; never the current
  // file. False when the folder could not be listed.
  bool RemoveExpiredLogFiles(int32_t hours);

  const LogFileSettings& Settings() const { return settings; }
  std::string CurrentFilePath() const;

 private:
  bool OpenNewLogFile();
  bool EnsureCurrentDay();
  // Opens the next file, tells the listener, writes the start-up report into it when asked
  // and applies retention.
  bool BeginNextFile(bool withReport);
  bool ListLogFiles(std::vector<std::string>& names);

  const LogFileSettings settings;
  const TickClock clock;
  LogFileListener* const announce;
  std::string currentFilePath;
  int64_t openTime = 0;
  std::filebuf fileBuffer;
  std::unique_ptr<std::ostream> fileStream;
  mutable std::mutex pathMutex;  // guards currentFilePath for CurrentFilePath()
};

}  // namespace tarnel
