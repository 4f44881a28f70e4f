// The front end of a logging statement: the levels, the time text and the record that
// composes one entry on the caller's thread. The statement itself, TARNEL_LOG, is in
// logger.h, beside the threshold it reads.
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

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

// The current local time as "%Y/%m/%d %H:%M:%S".
std::string FormatTimestamp();

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
