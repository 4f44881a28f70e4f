#include "platform/digest_tool.h"

#include <sys/wait.h>

#include <cstdio>

namespace tarnel::platform {

bool DigestsComeFromSystemTool() { return false; }

bool GetSystemFolder(size_t, std::string*) { return false; }

bool RunToolCapturingOutput(const std::string& commandLine, size_t pieceSize, ToolOutput* output) {
  FILE* stream = popen(commandLine.c_str(), "re");
  if (stream == nullptr) return false;
  std::vector<char> piece(pieceSize);
  while (fgets(piece.data(), static_cast<int>(pieceSize), stream) != nullptr) {
    output->lines.emplace_back(piece.data());
  }
  output->reachedEnd = feof(stream) != 0;
  const int status = pclose(stream);
  output->exitStatus = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace tarnel::platform
