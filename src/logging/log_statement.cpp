#include "logging/log_statement.h"

#include <algorithm>
#include <cstring>
#include <locale>
#include <mutex>
#include <vector>

#include "logging/log_time.h"
#include "logging/logger.h"

namespace tarnel {
namespace {

const char kCategory[] = "UPDATER";

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
