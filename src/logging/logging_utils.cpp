#include "logging/logging_utils.h"

#include <algorithm>
#include <utility>

#include "logging/standard_output.h"
#include "logging/startup_report.h"
#include "platform/thread_name.h"

namespace tarnel {
namespace {

// An entry composed without message parts ends in the separator after the level name.
// `length` leaves out the line end of a line.
bool IsEmptyEntry(const std::string& text, size_t length) {
  if (length < 3 || text.compare(length - 3, 3, " | ") != 0) return false;
  return std::count(text.begin(), text.begin() + length, '|') == 3;
}

}  // namespace

void LogFileListeners::Add(LogFileListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex);
  listeners.push_back(listener);
}

void LogFileListeners::Remove(LogFileListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex);
  listeners.erase(std::remove(listeners.begin(), listeners.end(), listener), listeners.end());
}

void LogFileListeners::OnLogFileOpened(const std::string& prefix, const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex);
  for (LogFileListener* listener : listeners) listener->OnLogFileOpened(prefix, path);
}

LoggingUtils::LoggingUtils(TickClock clock) : clock(std::move(clock)) {
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
}

void LoggingUtils::Begin(LogFileSettings settings, LogLevel threshold) {
  writerThreshold.store(static_cast<int32_t>(threshold));
  sink = std::make_unique<LogFileSink>(std::move(settings), clock, &listeners);
  // Queued as it is: no level filter, so every file begun at start-up opens with it.
  EnqueueLine(BuildStartupReport());
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

std::string LoggingUtils::CurrentFilePath() const {
  return sink != nullptr ? sink->CurrentFilePath() : std::string();
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
  if (sink != nullptr) sink->Write(line);
  WriteStandardOutput(line);
}

}  // namespace tarnel
