#include "platform/held_file.h"

#include <windows.h>

namespace tarnel::platform {
namespace {

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

bool HeldFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size;
}

HeldFile::~HeldFile() { Release(); }

bool HeldFile::Open(const std::string& filePath) {
  Release();
  // Read sharing only: nobody may write, rename or delete the file while it is held, but
  // the digest tool and the loader can still open it for reading and execution.
  const HANDLE file = CreateFileA(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  // Only a file on disk can be an installer: a pipe, a console or a device registered as
  // one is refused, so that reading it can never hold the command handler.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return false;
  }
  handle = reinterpret_cast<intptr_t>(file);
  path = filePath;
  return true;
}

bool HeldFile::IsOpen() const { return handle != -1; }

bool HeldFile::StillAsOpened() const { return IsOpen(); }

bool HeldFile::ComputeSha256(std::string*) const { return false; }

void HeldFile::Release() {
  if (IsOpen()) CloseHandle(AsHandle(handle));
  handle = -1;
  path.clear();
}

}  // namespace tarnel::platform
