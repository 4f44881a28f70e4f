#include "platform/journal_stream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace tarnel::platform {
namespace {

// Parses "DEVICE:INODE"; false unless both are decimal numbers and nothing follows.
bool ParseStreamIdentity(const char* text, unsigned long long* device, unsigned long long* inode) {
  char* end = nullptr;
  *device = std::strtoull(text, &end, 10);
  if (end == text || *end != ':') return false;
  const char* second = end + 1;
  *inode = std::strtoull(second, &end, 10);
  return end != second && *end == '\0';
}

}  // namespace

bool StandardOutputIsJournal() {
  const char* value = std::getenv("JOURNAL_STREAM");
  if (value == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (!ParseStreamIdentity(value, &device, &inode)) return false;
  struct stat output {};
  if (fstat(STDOUT_FILENO, &output) != 0) return false;
  return static_cast<unsigned long long>(output.st_dev) == device &&
         static_cast<unsigned long long>(output.st_ino) == inode;
}

}  // namespace tarnel::platform
