// A stand-in installer for the tests: records how it was started in the file named by
// TARNEL_RECORD_ARGS_FILE. On POSIX it writes its arguments one per line; on Windows, where
// a program receives one command line, it writes the parameters as they follow the program
// name, on one line. It writes a temporary file first and renames it, so that a test
// waiting for the file never sees it half written. On POSIX, with
// TARNEL_RECORD_INHERITED_FILE set, it also records what it inherited: a line
// "fd NUMBER TARGET" for each descriptor open at its start and "env NAME=VALUE" for each
// variable of its environment. With TARNEL_RECORD_SELF_FILE set it writes there its own path
// and its working folder, one per line. On Windows, with TARNEL_RECORD_DLL_FILE set, it loads
// "tarnel_planted_probe.dll" by name, as installers load their helper DLLs, and records
// "loaded" or "not loaded" there. It exits with TARNEL_RECORD_EXIT_CODE when that is set.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>

namespace {

// The command line after the program name and the blanks that follow it.
std::string Parameters(int, char**) {
  const std::string line = GetCommandLineA();
  size_t position = 0;
  if (!line.empty() && line[0] == '"') {
    position = line.find('"', 1);
    position = position == std::string::npos ? line.size() : position + 1;
  } else {
    position = line.find_first_of(" \t");
    if (position == std::string::npos) position = line.size();
  }
  position = line.find_first_not_of(" \t", position);
  return position == std::string::npos ? std::string() : line.substr(position) + "\n";
}

void RecordSession() {}

std::string OwnPath(char**) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  return path;
}

std::string WorkingFolder() {
  char folder[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, folder);
  return folder;
}

void RecordDllLoad() {
  const char* target = std::getenv("TARNEL_RECORD_DLL_FILE");
  if (target == nullptr) return;
  const bool loaded = LoadLibraryA("tarnel_planted_probe.dll") != nullptr;
  std::ofstream(target) << (loaded ? "loaded" : "not loaded");
}

std::string Inherited() { return std::string(); }

}  // namespace
#else
#include <dirent.h>
#include <unistd.h>

extern char** environ;

namespace {

// The descriptors open at the start (without the one that lists them) and the environment.
std::string Inherited() {
  std::string text;
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return "unlisted\n";
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name == "." || name == ".." || std::stoi(name) == dirfd(listing)) continue;
    char target[4096] = {};
    const ssize_t length = readlink(("/proc/self/fd/" + name).c_str(), target, sizeof target - 1);
    text += "fd " + name + " " + std::string(target, length > 0 ? length : 0) + "\n";
  }
  closedir(listing);
  for (char** variable = environ; *variable != nullptr; ++variable) {
    text += std::string("env ") + *variable + "\n";
  }
  return text;
}

// With TARNEL_RECORD_SESSION_FILE set, writes the installer's session id there.
void RecordSession() {
  const char* target = std::getenv("TARNEL_RECORD_SESSION_FILE");
  if (target == nullptr) return;
  std::ofstream(target) << getsid(0);
}

std::string OwnPath(char** argv) { return argv[0]; }

std::string WorkingFolder() {
  char folder[4096] = {};
  return getcwd(folder, sizeof(folder)) != nullptr ? folder : "";
}

void RecordDllLoad() {}

std::string Parameters(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  return text;
}

}  // namespace
#endif

int main(int argc, char** argv) {
  const std::string inherited = Inherited();  // before this program opens anything itself
  const char* target = std::getenv("TARNEL_RECORD_ARGS_FILE");
  if (target == nullptr || *target == '\0') return 2;
  if (const char* record = std::getenv("TARNEL_RECORD_INHERITED_FILE")) {
    std::ofstream(record, std::ios::binary | std::ios::trunc) << inherited;
  }
  RecordSession();
  RecordDllLoad();
  if (const char* record = std::getenv("TARNEL_RECORD_SELF_FILE")) {
    std::ofstream(record, std::ios::binary | std::ios::trunc) << OwnPath(argv) << "\n"
                                                              << WorkingFolder() << "\n";
  }
  const std::string temporary = std::string(target) + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << Parameters(argc, argv);
    if (!out) return 3;
  }
  std::remove(target);
  if (std::rename(temporary.c_str(), target) != 0) return 4;
  const char* exitCode = std::getenv("TARNEL_RECORD_EXIT_CODE");
  return exitCode != nullptr ? std::atoi(exitCode) : 0;
}
