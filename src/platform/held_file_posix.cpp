#include "platform/held_file.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/hex_text.h"

namespace tarnel::platform {
namespace {

bool ReadIdentity(int fd, HeldFile::Identity* identity) {
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  identity->device = status.st_dev;
  identity->inode = status.st_ino;
  identity->size = static_cast<uint64_t>(status.st_size);
  identity->modifiedSeconds = status.st_mtim.tv_sec;
  identity->modifiedNanoseconds = status.st_mtim.tv_nsec;
  identity->changedSeconds = status.st_ctim.tv_sec;
  identity->changedNanoseconds = status.st_ctim.tv_nsec;
  return true;
}

struct DigestContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

}  // namespace

bool HeldFile::Identity::operator==(const Identity& other) const {
  return device == other.device && inode == other.inode && size == other.size &&
         modifiedSeconds == other.modifiedSeconds &&
         modifiedNanoseconds == other.modifiedNanoseconds &&
         changedSeconds == other.changedSeconds && changedNanoseconds == other.changedNanoseconds;
}

HeldFile::~HeldFile() { Release(); }

bool HeldFile::Open(const std::string& filePath, std::string* whyNot) {
  Release();
  std::string reason;
  // O_NONBLOCK: opening a named pipe would otherwise wait for a writer, and a terminal
  // (O_NOCTTY) must not become ours; both are refused below as not regular. Reads of a
  // regular file ignore the flag.
  const int fd = open(filePath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    reason = filePath + " cannot be opened: " + std::strerror(errno);
  } else if (!ReadIdentity(fd, &identity)) {
    reason = filePath + " is not a regular file";
    close(fd);
  } else {
    handle = fd;
    path = filePath;
    return true;
  }
  if (whyNot != nullptr) *whyNot = reason;
  return false;
}

bool HeldFile::IsOpen() const { return handle >= 0; }

bool HeldFile::StillAsOpened() const {
  if (!IsOpen()) return false;
  Identity now;
  return ReadIdentity(static_cast<int>(handle), &now) && now == identity;
}

bool HeldFile::ComputeSha256(std::string* hexDigest) const {
  if (!IsOpen()) return false;
  std::unique_ptr<EVP_MD_CTX, DigestContextDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return false;
  unsigned char chunk[65536];
  // No more than the size the file had when it was opened: some files report a size of 0
  // and read on without end (those of /proc, /proc/self/pagemap for one, hundreds of
  // gigabytes), which would hold the command handler for hours. A file that grew since it
  // was opened is refused below anyway.
  const off_t size = static_cast<off_t>(identity.size);
  off_t offset = 0;
  while (offset < size) {
    const size_t wanted = static_cast<size_t>(std::min<off_t>(sizeof(chunk), size - offset));
    const ssize_t count = pread(static_cast<int>(handle), chunk, wanted, offset);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) break;
    if (EVP_DigestUpdate(context.get(), chunk, static_cast<size_t>(count)) != 1) return false;
    offset += count;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) return false;
  // A file written to while it was read has no meaningful digest.
  if (!StillAsOpened()) return false;
  *hexDigest = LowerHex(digest, length);
  return true;
}

void HeldFile::Release() {
  if (handle >= 0) close(static_cast<int>(handle));
  handle = -1;
  path.clear();
  identity = Identity();
}

}  // namespace tarnel::platform
