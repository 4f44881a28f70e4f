#include "logging/settings_file.h"

#include <json/reader.h>
#include <json/writer.h>

#include <cstring>
#include <fstream>

#include "logging/logger.h"
#include "platform/directory.h"
#include "platform/environment.h"
#include "platform/known_folder.h"
#include "product_facts.h"

namespace tarnel {
namespace {

const char kDataFolder[] = TARNEL_DATA_FOLDER_NAME;
const char kSettingsFileName[] = "settings.conf";
constexpr int32_t kDefaultMaximumDays = 7;

// Parses a whole stream with the library's default reader settings, nesting limited to 256
// levels. Input the library refuses by throwing (deeper nesting) counts as unparsable.
bool ParseDocument(std::istream& in, Json::Value* document) {
  Json::CharReaderBuilder builder;
  builder["stackLimit"] = 256;
  std::string errors;
  try {
    return Json::parseFromStream(builder, in, document, &errors);
  } catch (const Json::Exception&) {
    return false;
  }
}

// The member `name` of `object` when it is present and converts to text; otherwise null.
const Json::Value* TextMember(const Json::Value& object, const char* name) {
  const Json::Value* member = object.find(name, name + std::strlen(name));
  if (member == nullptr || !member->isConvertibleTo(Json::stringValue)) return nullptr;
  return member;
}

// The member `name` of `object` when it is present and converts to a 32-bit integer.
const Json::Value* IntegerMember(const Json::Value& object, const char* name) {
  const Json::Value* member = object.find(name, name + std::strlen(name));
  if (member == nullptr || !member->isConvertibleTo(Json::intValue)) return nullptr;
  return member;
}

// The "logging" object of the document; a null value when it is absent or when the root or
// the member is neither an object nor null, which counts as absent.
Json::Value LoggingSection(const Json::Value& root) {
  if (!root.isObject()) return Json::Value();
  const Json::Value& logging = root["logging"];
  return logging.isObject() ? logging : Json::Value();
}

// A directory used as the beginning of file paths must end in a separator, or the files
// would land in its parent under names that retention never lists.
std::string WithFinalSeparator(std::string directory) {
  if (!directory.empty() && !platform::IsPathSeparator(directory.back())) {
    directory += platform::PathSeparator();
  }
  return directory;
}

}  // namespace

bool GetKnownFolderPath(KnownFolder kind, std::string& path) {
  switch (kind) {
    case KnownFolder::LocalAppData:
      return platform::GetLocalAppDataFolder(&path);
  }
  return false;
}

bool BuildDataFilePath(KnownFolder kind, const std::string& dataFolder, const std::string& fileName,
                       std::string& path) {
  std::string base;
  if (!GetKnownFolderPath(kind, base)) return false;
  path = base + dataFolder + platform::PathSeparator() + fileName;
  return true;
}

bool JsonSettingsFile::IsReadable(KnownFolder kind, const std::string& dataFolder,
                                  const std::string& fileName) {
  std::string path;
  if (!BuildDataFilePath(kind, dataFolder, fileName, path)) return false;
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.good()) return false;
  Json::Value ignored;
  return ParseDocument(in, &ignored);
}

bool JsonSettingsFile::LoadOrCreate(KnownFolder kind, const std::string& dataFolder,
                                    const std::string& fileName, bool* created,
                                    const Json::Value& defaultDocument) {
  if (!IsReadable(kind, dataFolder, fileName)) {
    document = defaultDocument;
    if (created != nullptr) *created = true;
    return Save(kind, dataFolder, fileName);
  }
  if (!BuildDataFilePath(kind, dataFolder, fileName, filePath)) return false;
  std::ifstream in(filePath, std::ios::in | std::ios::binary);
  Json::Value parsed;
  if (in.bad() || !ParseDocument(in, &parsed)) return false;
  document = parsed;
  if (created != nullptr) *created = false;
  return true;
}

bool JsonSettingsFile::Save(KnownFolder kind, const std::string& dataFolder,
                            const std::string& fileName) {
  std::string folder;
  if (!BuildDataFilePath(kind, dataFolder, "", folder) || !platform::MakeDirectory(folder)) {
    return false;
  }
  std::string path;
  if (!BuildDataFilePath(kind, dataFolder, fileName, path)) return false;
  std::ofstream out(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (out.bad()) return false;
  Json::StreamWriterBuilder writer;
  writer["commentStyle"] = "None";
  writer["indentation"] = "  ";
  // A file that could not be opened swallows the write; the document counts as saved.
  out << Json::writeString(writer, document);
  return true;
}

void LoadLoggingSettings(Logger& logger, std::string& logDirectory, int32_t& maximumDays) {
  JsonSettingsFile settings;
  if (!settings.LoadOrCreate(KnownFolder::LocalAppData, kDataFolder, kSettingsFileName, nullptr,
                             Json::Value())) {
    return;
  }
  std::string dataFolder;
  if (!BuildDataFilePath(KnownFolder::LocalAppData, kDataFolder, "", dataFolder)) return;
  const Json::Value logging = LoggingSection(settings.Document());

  const Json::Value* path = TextMember(logging, "path");
  logDirectory = path != nullptr ? WithFinalSeparator(path->asString())
                                 : dataFolder + "Logs" + platform::PathSeparator();
  // Only the last level is created; a failure shows when the log file cannot be opened.
  platform::MakeDirectory(logDirectory);

  const Json::Value* days = IntegerMember(logging, "maximum_days");
  maximumDays = days != nullptr ? days->asInt() : kDefaultMaximumDays;

  const Json::Value* severity = TextMember(logging, "severity");
  logger.SetThreshold(ParseSeverity(severity != nullptr ? severity->asString() : "info"));
}

}  // namespace tarnel
