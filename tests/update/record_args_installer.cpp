// A stand-in installer for the tests: records how it was started in the file named by
// TARNEL_RECORD_ARGS_FILE. On POSIX it writes its arguments one per line; on Windows, where
// a program receives one command line, it writes the parameters as they follow the program
// name, on one line. It writes a temporary file first and renames it, so that a test
// waiting for the file never sees it half written.
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

}  // namespace
#else
#include <unistd.h>

namespace {

// With TARNEL_RECORD_SESSION_FILE set, writes the installer's session id there.
void RecordSession() {
  const char* target = std::getenv("TARNEL_RECORD_SESSION_FILE");
  if (target == nullptr) return;
  std::ofstream(target) << getsid(0);
}

std::string Parameters(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) text += std::string(argv[i]) + "\n";
  return text;
}

}  // namespace
#endif

int main(int argc, char** argv) {
  const char* target = std::getenv("TARNEL_RECORD_ARGS_FILE");
  if (target == nullptr || *target == '\0') return 2;
  RecordSession();
  const std::string temporary = std::string(target) + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << Parameters(argc, argv);
    if (!out) return 3;
  }
  std::remove(target);
  return std::rename(temporary.c_str(), target) == 0 ? 0 : 4;
}
