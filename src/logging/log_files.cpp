// Log files: naming, the change of file at a new day or after a full file, and retention by
// age and by the folder's size.
#include "logging/log_files.h"

#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>
#include <utility>

#include "logging/log_limits.h"
#include "logging/startup_report.h"
#include "platform/append_file.h"
#include "platform/directory.h"
#include "platform/local_time.h"

namespace tarnel {
namespace {

constexpr int64_t kTicksPerHour = 3600 * kTicksPerSecond;

std::string FileNamePattern(const std::string& prefix) { return prefix + "_%Y-%m-%d_%H-%M-%S.log"; }

// True also when either moment has no local time: no new file is begun for it.
bool IsSameLocalDay(int64_t ticksA, int64_t ticksB) {
  std::tm a{};
  std::tm b{};
  if (!platform::ToLocalTime(ticksA / kTicksPerSecond, &a) ||
      !platform::ToLocalTime(ticksB / kTicksPerSecond, &b)) {
    return true;
  }
  return a.tm_year == b.tm_year && a.tm_mon == b.tm_mon && a.tm_mday == b.tm_mday;
}

bool IsFullLogFile(const std::string& path) {
  uint64_t size = 0;
  return platform::FileSize(path, &size) && size >= kLogFileSizeLimit;
}

// The name of a file to begin: the dated name itself, continued when a file of that name is
// still below the size limit (a second start within the same second); otherwise the first of
// "..._1.log", "..._2.log" and so on that is missing or below the limit. A file begun in the
// same second as a full one therefore neither overwrites nor grows it, and the time in its
// name still reads as the time of its opening.
std::string UsableFileName(const std::string& directory, const std::string& datedName) {
  const std::string extension = ".log";
  if (datedName.size() < extension.size() ||
      datedName.compare(datedName.size() - extension.size(), extension.size(), extension) != 0) {
    return datedName;
  }
  const std::string stem = datedName.substr(0, datedName.size() - extension.size());
  std::string name = datedName;
  for (uint64_t index = 1; IsFullLogFile(directory + name); ++index) {
    name = stem + "_" + std::to_string(index) + extension;
  }
  return name;
}

// The size of the file open in `buffer`; 0 when none is open. With appending every write
// goes to the end of the file anyway, so moving there costs nothing.
uint64_t OpenFileSize(std::filebuf& buffer) {
  const std::streamoff end = buffer.pubseekoff(0, std::ios_base::end, std::ios_base::out);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
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

struct LogFileEntry {
  std::string name;
  int64_t time = 0;
  uint64_t size = 0;
};

// Oldest first: by the time in the name, then "NAME.log" before "NAME_1.log" before
// "NAME_2.log" before "NAME_10.log".
bool IsOlder(const LogFileEntry& a, const LogFileEntry& b) {
  if (a.time != b.time) return a.time < b.time;
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

// Removes the oldest of `files` in `directory`, never `currentPath`, while they together
// hold more than the folder's limit.
void RemoveOldestBeyondFolderLimit(const std::string& directory, const std::string& currentPath,
                                   std::vector<LogFileEntry> files) {
  uint64_t total = 0;
  for (LogFileEntry& file : files) {
    if (platform::FileSize(directory + file.name, &file.size)) total += file.size;
  }
  std::sort(files.begin(), files.end(), IsOlder);
  for (const LogFileEntry& file : files) {
    if (total <= kLogFolderSizeLimit) return;
    const std::string path = directory + file.name;
    if (path == currentPath) continue;
    // A file that cannot be removed still counts; the next older one goes instead.
    if (std::remove(path.c_str()) == 0) total -= file.size;
  }
}

}  // namespace

int32_t RetentionHours(int32_t days) {
  const int64_t hours = static_cast<int64_t>(days) * 24;
  if (hours > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (hours < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(hours);
}

LogFileSink::LogFileSink(LogFileSettings settings, TickClock clock, LogFileListener* announce)
    : settings(std::move(settings)),
      clock(std::move(clock)),
      announce(announce),
      fileStream(std::make_unique<std::ostream>(&fileBuffer)) {
  OpenNewLogFile();
  RemoveExpiredLogFiles(RetentionHours(this->settings.retentionDays));
}

LogFileSink::~LogFileSink() {
  fileStream.reset();
  fileBuffer.close();
}

void LogFileSink::Write(const std::string& line) {
  if (EnsureCurrentDay()) {
    *fileStream << line;
  } else {
    *fileStream << "Error Logging\n";
  }
  fileStream->flush();
  fileStream->clear();
}

std::string LogFileSink::CurrentFilePath() const {
  std::lock_guard<std::mutex> lock(pathMutex);
  return currentFilePath;
}

bool LogFileSink::OpenNewLogFile() {
  openTime = clock();
  const std::string name = UsableFileName(
      settings.directory, FormatLocalTime(openTime, FileNamePattern(settings.prefix)));
  if (fileBuffer.is_open()) fileBuffer.close();
  // Attaching the buffer again also clears the stream's error state.
  fileStream->rdbuf(&fileBuffer);
  {
    std::lock_guard<std::mutex> lock(pathMutex);
    currentFilePath = settings.directory + name;
  }
  // Appending: a second start within the same second continues the same file. The
  // descriptor is close-on-exec, so an installer the service starts gets no handle on it.
  return platform::OpenAppendFile(currentFilePath, &fileBuffer);
}

bool LogFileSink::EnsureCurrentDay() {
  const int64_t now = clock();
  if (!IsSameLocalDay(now, openTime)) {
    openTime = now;
    return BeginNextFile(/*withReport=*/false);
  }
  // The first entry after the file has reached its limit goes into a new file, which opens
  // with the report as a file begun at start-up does, so each file can be read on its own.
  if (OpenFileSize(fileBuffer) >= kLogFileSizeLimit) return BeginNextFile(/*withReport=*/true);
  return true;
}

bool LogFileSink::BeginNextFile(bool withReport) {
  if (!OpenNewLogFile()) return false;
  if (announce != nullptr) announce->OnLogFileOpened(settings.prefix, currentFilePath);
  // Into the file only: standard output carries one unbroken sequence of entries.
  if (withReport) *fileStream << BuildStartupReport();
  return RemoveExpiredLogFiles(RetentionHours(settings.retentionDays));
}

bool LogFileSink::ListLogFiles(std::vector<std::string>& names) {
  return platform::ListFiles(settings.directory, settings.prefix + "_*.log", &names);
}

bool LogFileSink::RemoveExpiredLogFiles(int32_t hours) {
  std::vector<std::string> names;
  if (!ListLogFiles(names)) return false;
  const int64_t cutoff = RetentionCutoff(clock(), hours);
  std::vector<LogFileEntry> kept;
  for (const std::string& name : names) {
    const std::string path = settings.directory + name;
    const int64_t fileTime = FileNameTime(name, settings.prefix);
    // The file being written stays whatever its name says: Windows refuses to delete an
    // open file, other systems would let it go and lose the rest of the day's entries.
    if (path == currentFilePath || (fileTime >= cutoff && fileTime <= openTime)) {
      kept.push_back(LogFileEntry{name, fileTime, 0});
      continue;
    }
    std::remove(path.c_str());
  }
  RemoveOldestBeyondFolderLimit(settings.directory, currentFilePath, std::move(kept));
  return true;
}

}  // namespace tarnel
