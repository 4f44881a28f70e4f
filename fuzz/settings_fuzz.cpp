// The settings reader on arbitrary file contents: the input becomes settings.conf in the
// process's own XDG_DATA_HOME and is read by LoadLoggingSettings (into the process-wide
// logger, whose threshold is put back afterwards) or by JsonSettingsFile alone. Whatever the
// file held, reading it must not stop the process, and afterwards the file must be readable:
// it either was, or it was replaced by a fresh one.
//
// LoadLoggingSettings creates the log directory the file names, so it runs only on inputs
// without '/' and '\' (no absolute or parent paths, and no escapes that could spell them):
// the directory then lands in the working folder inside the fuzz tree, which is emptied after
// every run. Inputs with those characters (comments, for one) go to JsonSettingsFile alone.
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz_support.h"
#include "logging/settings_file.h"

namespace {

using tarnel::KnownFolder;
using tarnel::fuzzing::Fail;

constexpr char kDataFolder[] = "Tarnel";
constexpr char kFileName[] = "settings.conf";

bool MayCreateDirectories(const std::string& content) {
  return content.find_first_of("/\\") == std::string::npos;
}

void EmptyWorkingFolder() {
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(".", ignored)) {
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

void LoadThroughLogger() {
  tarnel::Logger& logger = *tarnel::GetLogger();
  std::string logDirectory = "unchanged";
  int32_t maximumDays = -12345;
  tarnel::LoadLoggingSettings(logger, logDirectory, maximumDays);
  logger.SetThreshold(tarnel::LogLevel::NONE);
  EmptyWorkingFolder();
}

void LoadAlone() {
  tarnel::JsonSettingsFile file;
  bool created = false;
  if (!file.LoadOrCreate(KnownFolder::LocalAppData, kDataFolder, kFileName, &created,
                         Json::Value())) {
    Fail("LoadOrCreate failed on a writable data folder");
  }
  if (created && !file.Document().isNull()) Fail("a fresh settings document is not null");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "none");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  tarnel::fuzzing::WriteFileOrDie(tarnel::fuzzing::SettingsFilePath(), content);
  if (MayCreateDirectories(content)) {
    LoadThroughLogger();
  } else {
    LoadAlone();
  }
  if (!tarnel::JsonSettingsFile().IsReadable(KnownFolder::LocalAppData, kDataFolder, kFileName)) {
    Fail("the settings file is unreadable after it was loaded");
  }
  return 0;
}
