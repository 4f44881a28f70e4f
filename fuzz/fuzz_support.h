// What the fuzz targets share: a private folder tree for the process (data, state and
// runtime folders under a fresh temporary folder, removed at exit) and a quiet logger.
#pragma once

#include <string>

#include "logging/logger.h"

namespace tarnel::fuzzing {

// Creates the folder tree, points XDG_DATA_HOME, STATE_DIRECTORY and RUNTIME_DIRECTORY at it,
// writes the settings file that selects `severity` and a log directory that cannot exist (so
// every entry goes to standard output only), sends standard output to /dev/null and creates
// the process-wide logger. It also makes the working folder one inside the tree, so that
// relative paths the code under test meets stay there; the relative paths among the fuzzer's
// own arguments (corpus folders, inputs, -artifact_prefix=) are made absolute first.
// Call once, from LLVMFuzzerInitialize.
void PrepareProcess(int* argc, char*** argv, const std::string& severity);

// The root of the folder tree, ending in '/'.
const std::string& Root();
// Root() + "appdata/Tarnel/settings.conf".
std::string SettingsFilePath();
// Root() + "state/updater.json".
std::string StoreFilePath();

void WriteFileOrDie(const std::string& path, const std::string& content);
std::string ReadFileOrEmpty(const std::string& path);

// Stops the process with a message on standard error; libFuzzer records the input.
[[noreturn]] void Fail(const char* what);

}  // namespace tarnel::fuzzing
