#include "platform/directory.h"

#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace tarnel::platform {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

bool IsFolder(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool MakeDirectory(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool ListFiles(const std::string& directory, const std::string& pattern,
               std::vector<std::string>* names) {
  const std::string folder = directory + "/";
  DirHandle dir(opendir(folder.c_str()));
  if (!dir) return false;
  bool matched = false;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) break;
    if (fnmatch(pattern.c_str(), entry->d_name, 0) != 0) continue;
    matched = true;
    if (IsFolder(folder + entry->d_name)) continue;
    names->push_back(entry->d_name);
  }
  return matched && errno == 0;
}

bool FileSize(const std::string& path, uint64_t* size) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}

bool IsPathSeparator(char c) { return c == '/'; }

}  // namespace tarnel::platform
