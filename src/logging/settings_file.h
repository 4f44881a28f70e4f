// The settings file "settings.conf" in the data folder "Tarnel" of the local application
// data folder, and the resolution of that folder.
#pragma once

#include <cstdint>
#include <string>

#include <json/value.h>

namespace tarnel {

class Logger;

enum class KnownFolder { LocalAppData };

// The folder of the given kind, ending in the path separator.
bool GetKnownFolderPath(KnownFolder kind, std::string& path);

// The base folder, the data folder name, a separator and the file name; with an empty
// file name the data folder's path ending in a separator.
bool BuildDataFilePath(KnownFolder kind, const std::string& dataFolder, const std::string& fileName,
                       std::string& path);

// A JSON document bound to a file in a data folder.
class JsonSettingsFile {
 public:
  bool IsReadable(KnownFolder kind, const std::string& dataFolder, const std::string& fileName);
  bool LoadOrCreate(KnownFolder kind, const std::string& dataFolder, const std::string& fileName,
                    bool* created, const Json::Value& defaultDocument);
  bool Save(KnownFolder kind, const std::string& dataFolder, const std::string& fileName);

  const Json::Value& Document() const { return document; }
  const std::string& FilePath() const { return filePath; }

 private:
  Json::Value document;
  std::string filePath;
};

// Reads the logging settings: the log directory and the retention period into the
// arguments, the threshold into the logger.
void LoadLoggingSettings(Logger& logger, std::string& logDirectory, int32_t& maximumDays);

}  // namespace tarnel
