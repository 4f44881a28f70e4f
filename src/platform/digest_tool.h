// The system's digest tool. On Windows the service has file digests computed by the
// certificate utility in the system directory, run through the command processor
// (GetSystemDirectoryA, _popen, fgets, feof, _pclose). POSIX has no such tool: digests are
// computed in process (HeldFile::ComputeSha256).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tarnel::platform {

// True where file digests come from the system tool (Windows), false where they are
// computed in process (POSIX).
bool DigestsComeFromSystemTool();

// The system directory, read into a buffer of bufferSize bytes (GetSystemDirectoryA).
// False when it cannot be obtained; always false on POSIX.
bool GetSystemFolder(size_t bufferSize, std::string* folder);

struct ToolOutput {
  // Every piece returned by fgets, in order; a piece holds at most pieceSize - 1 characters,
  // so a longer line arrives as several pieces.
  std::vector<std::string> lines;
  bool reachedEnd = false;  // feof after the last piece: the stream ended without error
  int exitStatus = -1;      // the tool's exit status as _pclose/pclose reports it
};

// Runs commandLine through the command processor and reads its standard output in text
// mode to the end. False when the command processor cannot be started.
bool RunToolCapturingOutput(const std::string& commandLine, size_t pieceSize, ToolOutput* output);

}  // namespace tarnel::platform
