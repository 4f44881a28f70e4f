#include "platform/digest_tool.h"

#include <windows.h>

#include <cstdio>

namespace tarnel::platform {

bool DigestsComeFromSystemTool() { return true; }

bool GetSystemFolder(size_t bufferSize, std::string* folder) {
  std::vector<char> buffer(bufferSize);
  const UINT length = GetSystemDirectoryA(buffer.data(), static_cast<UINT>(bufferSize));
  // A result of bufferSize or more is the size needed: the buffer holds no folder then.
  if (length == 0 || length >= bufferSize) return false;
  folder->assign(buffer.data(), length);
  return true;
}

bool RunToolCapturingOutput(const std::string& commandLine, size_t pieceSize, ToolOutput* output) {
  FILE* stream = _popen(commandLine.c_str(), "r");
  if (stream == nullptr) return false;
  std::vector<char> piece(pieceSize);
  while (fgets(piece.data(), static_cast<int>(pieceSize), stream) != nullptr) {
    output->lines.emplace_back(piece.data());
  }
  output->reachedEnd = feof(stream) != 0;
  output->exitStatus = _pclose(stream);
  return true;
}

}  // namespace tarnel::platform
