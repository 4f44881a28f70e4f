// The process-wide logger, put together from the settings file.
#include "logging/logger.h"

#include "logging/settings_file.h"

namespace tarnel {
namespace {

Logger* g_logger = nullptr;

const char kFilePrefix[] = "TARNEL_UPDATER";

}  // namespace

Logger::Logger(TickClock clock) : LoggerBase(std::move(clock)) {
  threshold = 0;
  LogFileSettings files;
  files.prefix = kFilePrefix;
  // Kept when the settings cannot be read: the retention the settings file gives by default.
  files.retentionDays = 7;
  LoadLoggingSettings(*this, files.directory, files.retentionDays);
  utils.Begin(std::move(files), Threshold());
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

}  // namespace tarnel
