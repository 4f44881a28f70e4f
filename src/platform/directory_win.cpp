#include "platform/directory.h"

#include <windows.h>

#include <cstring>

namespace tarnel::platform {
namespace {

class FindHandle {
 public:
  explicit FindHandle(HANDLE handle) : handle(handle) {}
  ~FindHandle() {
    if (IsValid()) FindClose(handle);
  }
  FindHandle(const FindHandle&) = delete;
  FindHandle& operator=(const FindHandle&) = delete;
  bool IsValid() const { return handle != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle; }

 private:
  HANDLE handle;
};

// Appends `text` to the zero-terminated `buffer` of MAX_PATH characters, cutting it so
// that the result keeps its terminating zero.
void AppendCut(char* buffer, const std::string& text) {
  const size_t used = std::strlen(buffer);
  const size_t room = MAX_PATH - 1 - used;
  const size_t count = text.size() < room ? text.size() : room;
  std::memcpy(buffer + used, text.data(), count);
  buffer[used + count] = '\0';
}

}  // namespace

bool MakeDirectory(const std::string& path) {
  return CreateDirectoryA(path.c_str(), nullptr) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ListFiles(const std::string& directory, const std::string& pattern,
               std::vector<std::string>* names) {
  char searchPath[MAX_PATH] = {};
  AppendCut(searchPath, directory);
  AppendCut(searchPath, "\\" + pattern);
  WIN32_FIND_DATAA found;
  FindHandle search(FindFirstFileA(searchPath, &found));
  if (!search.IsValid()) return false;
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
    names->push_back(found.cFileName);
  } while (FindNextFileA(search.Get(), &found));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool FileSize(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &attributes)) return false;
  *size = (static_cast<uint64_t>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  return true;
}

bool IsPathSeparator(char c) { return c == '\\' || c == '/'; }

}  // namespace tarnel::platform
