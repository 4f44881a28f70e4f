#include "platform/installer_staging.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <openssl/evp.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/hex_text.h"
#include "platform/installer_unit_posix.h"
#include "platform/state_folder_posix.h"

namespace tarnel::platform {
namespace {

constexpr char kStagingFolderName[] = "installers";
constexpr size_t kCopyChunkBytes = 1 << 20;

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Why the folder at `path` must not hold staged installers; empty when it may. It must be
// a real folder (not a link) of this process's account that neither group nor others may
// write to.
std::string UntrustedFolderReason(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) {
    return path + " cannot be examined: " + std::strerror(errno);
  }
  if (!S_ISDIR(status.st_mode)) return path + " is not a folder";
  if (status.st_uid != geteuid()) {
    return path + " is owned by uid " + std::to_string(status.st_uid) + ", not by the service's";
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return path + " is writable by group or others";
  }
  return std::string();
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

// Whether a link of /proc (a program, a working folder, an open file) leads into `folder`.
bool LinkLeadsInto(const std::string& link, const std::string& folder) {
  char target[4096];
  const ssize_t length = readlink(link.c_str(), target, sizeof(target) - 1);
  if (length <= 0) return false;
  const std::string text(target, static_cast<size_t>(length));
  return text.compare(0, folder.size(), folder) == 0 &&
         (text.size() == folder.size() || text[folder.size()] == '/' || text[folder.size()] == ' ');
}

bool ProcessUses(const std::string& processFolder, const std::string& folder) {
  if (LinkLeadsInto(processFolder + "/exe", folder) ||
      LinkLeadsInto(processFolder + "/cwd", folder)) {
    return true;
  }
  DIR* descriptors = opendir((processFolder + "/fd").c_str());
  if (descriptors == nullptr) return false;
  bool uses = false;
  while (const dirent* entry = readdir(descriptors)) {
    if (entry->d_name[0] == '.') continue;
    if (LinkLeadsInto(processFolder + "/fd/" + entry->d_name, folder)) {
      uses = true;
      break;
    }
  }
  closedir(descriptors);
  return uses;
}

// Whether any process (that this one may examine) runs from, works in or holds a file of
// the folder.
bool FolderInUse(const std::string& folder) {
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return true;  // cannot tell: keep it
  bool used = false;
  while (const dirent* entry = readdir(processes)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    if (ProcessUses(std::string("/proc/") + entry->d_name, folder)) {
      used = true;
      break;
    }
  }
  closedir(processes);
  return used;
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

bool WriteAll(int fd, const unsigned char* data, size_t size) {
  while (size > 0) {
    const ssize_t count = write(fd, data, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    data += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

// Copies the source's first `size` bytes to `target` and hashes them on the way. Empty on
// success, otherwise why not.
std::string CopyAndHash(int source, uint64_t size, int target, const std::atomic<bool>* cancel,
                        std::string* hexDigest) {
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
    return "the digest cannot be prepared";
  }
  std::vector<unsigned char> chunk(kCopyChunkBytes);
  uint64_t offset = 0;
  while (offset < size) {
    if (cancel != nullptr && *cancel) return "the service is stopping";
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - offset));
    const ssize_t count = pread(source, chunk.data(), wanted, static_cast<off_t>(offset));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::string("the installer cannot be read: ") + std::strerror(errno);
    if (count == 0) return "the installer became shorter while it was copied";
    if (!WriteAll(target, chunk.data(), static_cast<size_t>(count))) {
      return std::string("the copy cannot be written: ") + std::strerror(errno);
    }
    if (EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(count)) != 1) {
      return "the digest cannot be computed";
    }
    offset += static_cast<uint64_t>(count);
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1)
    return "the digest cannot be computed";
  *hexDigest = LowerHex(digest, length);
  return std::string();
}

}  // namespace

// Makes the staging root when it is missing and checks it and the state folder holding it.
bool PrepareStagingRoot(std::string* whyNot) {
  const std::string root = WithoutTrailingSlash(StagingRoot());
  *whyNot = UntrustedFolderReason(WithoutTrailingSlash(StateFolder()));
  if (!whyNot->empty()) return false;
  if (mkdir(root.c_str(), 0700) != 0 && errno != EEXIST) {
    *whyNot = root + " cannot be created: " + std::strerror(errno);
    return false;
  }
  *whyNot = UntrustedFolderReason(root);
  return whyNot->empty();
}

bool MakePrivateFolder(const std::string& path, std::string* whyNot) {
  if (mkdir(path.c_str(), 0700) == 0) return true;
  *whyNot = path + " cannot be created: " + std::strerror(errno);
  return false;
}

bool FillRandom(unsigned char* bytes, size_t count) {
  size_t filled = 0;
  while (filled < count) {
    const ssize_t got = getrandom(bytes + filled, count - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    filled += static_cast<size_t>(got);
  }
  return true;
}

std::string StagingRoot() { return StateFolder() + kStagingFolderName + "/"; }

bool RemoveStagingFolder(const std::string& folder) {
  const std::string target = WithoutTrailingSlash(folder);
  nftw(target.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  struct stat status {};
  return lstat(target.c_str(), &status) != 0 && errno == ENOENT;
}

int RemoveAbandonedStagingFolders() {
  const std::string root = WithoutTrailingSlash(StagingRoot());
  if (!UntrustedFolderReason(root).empty()) return 0;
  DIR* listing = opendir(root.c_str());
  if (listing == nullptr) return 0;
  std::vector<std::string> folders;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") folders.push_back(root + "/" + name);
  }
  closedir(listing);
  if (folders.empty()) return 0;
  // An installer unit works in its staging folder; the sandboxed service may not examine
  // its process (it lacks the capabilities the installer holds), so systemd is asked.
  std::vector<std::string> unitFolders = RunningInstallerUnitFolders();
  for (std::string& folder : unitFolders) folder = WithoutTrailingSlash(folder);
  int removed = 0;
  for (const std::string& folder : folders) {
    if (std::find(unitFolders.begin(), unitFolders.end(), folder) != unitFolders.end() ||
        FolderInUse(folder)) {
      continue;
    }
    if (RemoveStagingFolder(folder)) ++removed;
  }
  return removed;
}

bool StageInstallerCopy(const HeldFile& source, const std::string& destination,
                        const std::atomic<bool>* cancel, HeldFile* staged, std::string* hexDigest,
                        std::string* whyNot) {
  if (!source.IsOpen()) {
    *whyNot = "the installer is not open";
    return false;
  }
  // Owner-only: the copy is started as the service's account and nobody else may read it
  // half-written or change it.
  const int target =
      open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0700);
  if (target < 0) {
    *whyNot = destination + " cannot be created: " + std::strerror(errno);
    return false;
  }
  std::string digest;
  std::string reason =
      CopyAndHash(static_cast<int>(source.NativeHandle()), source.Size(), target, cancel, &digest);
  // Some file systems report a full disk only when the file is closed.
  if (close(target) != 0 && reason.empty()) {
    reason = std::string("the copy cannot be written: ") + std::strerror(errno);
  }
  if (reason.empty() && !source.StillAsOpened()) {
    reason = "the installer changed while it was copied";
  }
  if (reason.empty() && !staged->Open(destination, &reason)) {
    reason = "the copy cannot be opened: " + reason;
  }
  if (!reason.empty()) {
    unlink(destination.c_str());
    *whyNot = reason;
    return false;
  }
  *hexDigest = digest;
  return true;
}

}  // namespace tarnel::platform
