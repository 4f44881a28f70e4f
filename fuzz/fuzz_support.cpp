#include "fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace tarnel::fuzzing {
namespace {

std::string g_root;

void RemoveRoot() {
  std::error_code ignored;
  if (!g_root.empty()) std::filesystem::remove_all(g_root, ignored);
}

void SilenceStandardOutput() {
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) Fail("cannot redirect standard output");
  close(devNull);
}

// The argument with a relative path made absolute; "-flag=path" for the flags that take one.
std::string AbsoluteArgument(const std::string& argument) {
  namespace fs = std::filesystem;
  std::string prefix;
  std::string path = argument;
  for (const char* flag : {"-artifact_prefix=", "-exact_artifact_path=", "-dict="}) {
    if (argument.rfind(flag, 0) == 0) {
      prefix = flag;
      path = argument.substr(prefix.size());
    }
  }
  if (path.empty() || (prefix.empty() && path[0] == '-') || fs::path(path).is_absolute()) {
    return argument;
  }
  // Keeps a final '/' (artifact prefixes are folder names ending in one).
  return prefix + (fs::current_path() / path).string();
}

void MakePathArgumentsAbsolute(int* argc, char*** argv) {
  for (int i = 1; i < *argc; ++i) {
    const std::string absolute = AbsoluteArgument((*argv)[i]);
    if (absolute != (*argv)[i]) (*argv)[i] = strdup(absolute.c_str());
  }
}

}  // namespace

void PrepareProcess(int* argc, char*** argv, const std::string& severity) {
  namespace fs = std::filesystem;
  MakePathArgumentsAbsolute(argc, argv);
  std::error_code error;
  // A memory file system when there is one: the store flushes every write to disk, which
  // would otherwise bound the command handler's pace.
  const fs::path base = fs::is_directory("/dev/shm", error) && access("/dev/shm", W_OK) == 0
                            ? fs::path("/dev/shm")
                            : fs::temp_directory_path();
  g_root = (base / ("tarnel-fuzz-" + std::to_string(getpid()))).string() + "/";
  fs::remove_all(g_root, error);
  for (const char* folder : {"appdata/Tarnel", "state", "run", "work"}) {
    fs::create_directories(g_root + folder, error);
    if (error) Fail("cannot create the fuzz folders");
  }
  std::atexit(RemoveRoot);
  setenv("XDG_DATA_HOME", (g_root + "appdata").c_str(), 1);
  setenv("STATE_DIRECTORY", (g_root + "state").c_str(), 1);
  setenv("RUNTIME_DIRECTORY", (g_root + "run").c_str(), 1);
  // "/dev/null/" is no directory: opening a log file there fails and the logger writes to
  // standard output only, so that long runs leave no growing log files behind.
  WriteFileOrDie(SettingsFilePath(),
                 "{\"logging\": {\"severity\": \"" + severity + "\", \"path\": \"/dev/null/\"}}");
  // Relative paths a target hands to the code under test resolve inside the tree.
  if (chdir((g_root + "work").c_str()) != 0) Fail("cannot enter the work folder");
  SilenceStandardOutput();
  GetLogger();
}

const std::string& Root() { return g_root; }

std::string SettingsFilePath() { return g_root + "appdata/Tarnel/settings.conf"; }

std::string StoreFilePath() { return g_root + "state/updater.json"; }

void WriteFileOrDie(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << content;
  file.close();
  if (!file) Fail("cannot write a file of the fuzz folder tree");
}

std::string ReadFileOrEmpty(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

}  // namespace tarnel::fuzzing
