#include "platform/held_file.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/digest_tool.h"

namespace tarnel::platform {
namespace {

constexpr UINT kSystemFolderBufferSize = 260;
constexpr int kOutputPieceSize = 1024;

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

bool GetSystemFolder(std::string* folder) {
  char buffer[kSystemFolderBufferSize];
  const UINT length = GetSystemDirectoryA(buffer, kSystemFolderBufferSize);
  // A result of the buffer's size or more is the size needed: the buffer holds no folder then.
  if (length == 0 || length >= kSystemFolderBufferSize) return false;
  folder->assign(buffer, length);
  return true;
}

// Runs commandLine through the command processor and reads its standard output in text mode
// to the end, as the pieces fgets returns. True when the output was read to its end and the
// command exited with status 0.
bool RunToolCapturingOutput(const std::string& commandLine, std::vector<std::string>* lines) {
  FILE* stream = _popen(commandLine.c_str(), "r");
  if (stream == nullptr) return false;
  char piece[kOutputPieceSize];
  while (fgets(piece, kOutputPieceSize, stream) != nullptr) lines->emplace_back(piece);
  const bool reachedEnd = feof(stream) != 0;
  const int exitStatus = _pclose(stream);
  return reachedEnd && exitStatus == 0;
}

// The path names a file on a local fixed drive: "X:\..." (or "\\?\X:\...") with X a
// drive that GetDriveTypeA calls fixed. UNC and device paths, relative paths and every
// other kind of drive are refused before anything is opened.
bool IsOnLocalFixedDrive(const std::string& filePath, std::string* whyNot) {
  std::string local = filePath;
  const std::string longPrefix = "\\\\?\\";
  if (local.compare(0, longPrefix.size(), longPrefix) == 0) local = local.substr(longPrefix.size());
  const bool driveLetter = local.size() >= 3 &&
                           std::isalpha(static_cast<unsigned char>(local[0])) && local[1] == ':' &&
                           (local[2] == '\\' || local[2] == '/');
  if (!driveLetter) {
    *whyNot = filePath + " is not a path on a local drive";
    return false;
  }
  const std::string root = local.substr(0, 2) + "\\";
  if (GetDriveTypeA(root.c_str()) != DRIVE_FIXED) {
    *whyNot = filePath + " is not on a local fixed drive";
    return false;
  }
  return true;
}

}  // namespace

bool HeldFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size;
}

HeldFile::~HeldFile() { Release(); }

bool HeldFile::Open(const std::string& filePath, std::string* whyNot) {
  Release();
  std::string reason;
  if (!IsOnLocalFixedDrive(filePath, &reason)) {
    if (whyNot != nullptr) *whyNot = reason;
    return false;
  }
  // Read sharing only: nobody may write, rename or delete the file while it is held, but
  // the digest tool and the loader can still open it for reading and execution.
  const HANDLE file = CreateFileA(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE) {
    reason = filePath + " cannot be opened: error " + std::to_string(GetLastError());
  } else if (GetFileType(file) != FILE_TYPE_DISK || !GetFileSizeEx(file, &size)) {
    // Only a file on disk can be an installer: a pipe, a console or a device registered as
    // one is refused, so that reading it can never hold the command handler.
    reason = filePath + " is not a regular file";
    CloseHandle(file);
  } else {
    handle = reinterpret_cast<intptr_t>(file);
    path = filePath;
    identity.size = static_cast<uint64_t>(size.QuadPart);
    return true;
  }
  if (whyNot != nullptr) *whyNot = reason;
  return false;
}

bool HeldFile::IsOpen() const { return handle != -1; }

bool HeldFile::StillAsOpened() const { return IsOpen(); }

bool HeldFile::ComputeSha256(std::string* hexDigest) const {
  if (!IsOpen()) return false;
  // The path reaches the command processor: quoted, and refused when quoting cannot keep
  // it from being interpreted.
  if (!IsSafeForCommandLine(path)) return false;
  std::string systemFolder;
  if (!GetSystemFolder(&systemFolder)) return false;
  std::vector<std::string> lines;
  if (!RunToolCapturingOutput(DigestToolCommandLine(systemFolder, path), &lines)) return false;
  return DigestFromToolOutput(lines, *hexDigest);
}

void HeldFile::Release() {
  if (IsOpen()) CloseHandle(AsHandle(handle));
  handle = -1;
  path.clear();
  identity = Identity();
}

}  // namespace tarnel::platform
