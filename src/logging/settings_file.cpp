// TEMPORARY minimal version so that the tree links; the logging work replaces it.
#include "logging/settings_file.h"

#include <sys/stat.h>

#include "logging/logger.h"
#include "platform/environment.h"

namespace tarnel {

bool GetKnownFolderPath(KnownFolder, std::string& path) {
  std::string base;
  if (platform::GetEnvironmentValue("XDG_DATA_HOME", &base)) {
    path = base + "/";
    return true;
  }
  if (platform::GetEnvironmentValue("LOCALAPPDATA", &base)) {
    path = base + "\\";
    return true;
  }
  if (!platform::GetEnvironmentValue("HOME", &base)) return false;
  path = base + "/.local/share/";
  return true;
}

bool BuildDataFilePath(KnownFolder kind, const std::string& dataFolder, const std::string& fileName,
                       std::string& path) {
  std::string base;
  if (!GetKnownFolderPath(kind, base)) return false;
  path = base + dataFolder + platform::PathSeparator() + fileName;
  return true;
}

bool JsonSettingsFile::IsReadable(KnownFolder, const std::string&, const std::string&) {
  return false;
}
bool JsonSettingsFile::LoadOrCreate(KnownFolder, const std::string&, const std::string&, bool*,
                                    const Json::Value&) {
  return false;
}
bool JsonSettingsFile::Save(KnownFolder, const std::string&, const std::string&) { return false; }

void LoadLoggingSettings(Logger& logger, std::string& logDirectory, int32_t& maximumDays) {
  std::string data;
  if (!BuildDataFilePath(KnownFolder::LocalAppData, "Tarnel", "", data)) return;
  logDirectory = data + "Logs" + platform::PathSeparator();
  maximumDays = 7;
  logger.SetThreshold(LogLevel::SENSITIVE);
}

}  // namespace tarnel
