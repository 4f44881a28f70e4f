// A stand-in installer for the tests: writes its arguments, one per line, to the file named
// by TARNEL_RECORD_ARGS_FILE. It writes a temporary file first and renames it, so that a
// test waiting for the file never sees it half written.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  const char* target = std::getenv("TARNEL_RECORD_ARGS_FILE");
  if (target == nullptr || *target == '\0') return 2;
  const std::string temporary = std::string(target) + ".partial";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (int i = 1; i < argc; ++i) out << argv[i] << '\n';
    if (!out) return 3;
  }
  std::remove(target);
  return std::rename(temporary.c_str(), target) == 0 ? 0 : 4;
}
