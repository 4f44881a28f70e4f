// Log files: naming, the change of file at a new day, and retention by age.
#include <cstdio>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

#include "logging/logger.h"
#include "platform/append_file.h"
#include "platform/directory.h"
#include "platform/local_time.h"

namespace tarnel {
namespace {

constexpr int64_t kTicksPerHour = 3600 * kTicksPerSecond;

std::string FileNamePattern(const std::string& prefix) { return prefix + "_%Y-%m-%d_%H-%M-%S.log"; }

bool IsSameDay(const std::tm& a, const std::tm& b) {
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday;
}

// The time in a log file's name, in ticks. Fields read before a mismatch keep their
// values and the rest stay zero; a name without a readable date gives a time before 1970.
int64_t FileNameTime(const std::string& name, const std::string& prefix) {
  std::tm parsed{};
  std::istringstream in(name);
  in.imbue(std::locale::classic());
  in >> std::get_time(&parsed, FileNamePattern(prefix).c_str());
  parsed.tm_isdst = -1;
  return platform::FromLocalTime(&parsed) * kTicksPerSecond;
}

// now - hours, with the subtraction held within the 64-bit range instead of wrapping.
int64_t RetentionCutoff(int64_t now, int32_t hours) {
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  if (hours > 0 && hours > kMax / kTicksPerHour) return kMin;
  if (hours < 0 && hours < kMin / kTicksPerHour) return kMax;
  const int64_t span = static_cast<int64_t>(hours) * kTicksPerHour;
  if (span > 0 && now < kMin + span) return kMin;
  if (span < 0 && now > kMax + span) return kMax;
  return now - span;
}

}  // namespace

int32_t RetentionHours(int32_t days) {
  const int64_t hours = static_cast<int64_t>(days) * 24;
  if (hours > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (hours < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(hours);
}

bool LoggingUtils::OpenNewLogFile() {
  openTime = clock();
  const std::string name = FormatLocalTime(openTime, FileNamePattern(filePrefix));
  if (fileBuffer.is_open()) fileBuffer.close();
  // Attaching the buffer again also clears the stream's error state.
  fileStream->rdbuf(&fileBuffer);
  {
    std::lock_guard<std::mutex> lock(pathMutex);
    currentFilePath = logDirectory + name;
  }
  // Appending: a second start within the same second continues the same file. The
  // descriptor is close-on-exec, so an installer the service starts gets no handle on it.
  return platform::OpenAppendFile(currentFilePath, &fileBuffer);
}

bool LoggingUtils::EnsureCurrentDay() {
  const int64_t now = clock();
  std::tm today{};
  std::tm opened{};
  if (!platform::ToLocalTime(now / kTicksPerSecond, &today) ||
      !platform::ToLocalTime(openTime / kTicksPerSecond, &opened) || IsSameDay(today, opened)) {
    return true;
  }
  openTime = now;
  if (!OpenNewLogFile()) return false;
  {
    std::lock_guard<std::mutex> lock(listenerMutex);
    for (LogFileListener* listener : listeners) {
      listener->OnLogFileOpened(filePrefix, currentFilePath);
    }
  }
  return RemoveExpiredLogFiles(RetentionHours(retentionDays));
}

bool LoggingUtils::ListLogFiles(std::vector<std::string>& names) {
  return platform::ListFiles(logDirectory, filePrefix + "_*.log", &names);
}

bool LoggingUtils::RemoveExpiredLogFiles(int32_t hours) {
  std::vector<std::string> names;
  if (!ListLogFiles(names)) return false;
  const int64_t cutoff = RetentionCutoff(clock(), hours);
  for (const std::string& name : names) {
    const std::string path = logDirectory + name;
    // The file being written stays whatever its name says: Windows refuses to delete an
    // open file, other systems would let it go and lose the rest of the day's entries.
    if (path == currentFilePath) continue;
    const int64_t fileTime = FileNameTime(name, filePrefix);
    if (fileTime >= cutoff && fileTime <= openTime) continue;
    std::remove(path.c_str());
  }
  return true;
}

}  // namespace tarnel
