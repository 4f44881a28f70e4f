// TEMPORARY minimal version so that the tree links; the logging work replaces it.
#include "logging/logger.h"

namespace tarnel {

bool LoggingUtils::OpenNewLogFile() {
  openTime = clock();
  if (fileBuffer.is_open()) fileBuffer.close();
  {
    std::lock_guard<std::mutex> lock(pathMutex);
    currentFilePath =
        logDirectory + FormatLocalTime(openTime, filePrefix + "_%Y-%m-%d_%H-%M-%S.log");
  }
  fileStream->rdbuf(&fileBuffer);
  return fileBuffer.open(currentFilePath, std::ios::out | std::ios::app) != nullptr;
}

bool LoggingUtils::EnsureCurrentDay() { return true; }
bool LoggingUtils::ListLogFiles(std::vector<std::string>&) { return false; }
bool LoggingUtils::RemoveExpiredLogFiles(int32_t) { return false; }

}  // namespace tarnel
