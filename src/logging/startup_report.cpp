// TEMPORARY minimal version so that the tree links; the logging work replaces it.
#include "logging/logger.h"

namespace tarnel {

void LoggingUtils::WriteStartupReport() {
  OpenNewLogFile();
  RemoveExpiredLogFiles(retentionDays * 24);
  EnqueueLine("Version Tarnel updater: 1.0 x86_64\n");
}

}  // namespace tarnel
