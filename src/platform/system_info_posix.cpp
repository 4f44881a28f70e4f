#include "platform/system_info.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <sstream>

namespace tarnel::platform {
namespace {

// The user-mode address space of a 64-bit x86 process: 128 TiB less the guard page.
constexpr uint64_t kUserAddressSpace = (uint64_t{1} << 47) - 4096;

// The text of a file, read through a close-on-exec descriptor ("e"): the report is also
// built while an installer may be started on another thread.
std::string ReadText(const char* path) {
  std::string text;
  FILE* file = std::fopen(path, "re");
  if (file == nullptr) return text;
  char chunk[4096];
  for (size_t count; (count = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
    text.append(chunk, count);
  }
  std::fclose(file);
  return text;
}

// The fields of /proc/meminfo, in bytes.
bool ReadMemInfo(std::map<std::string, uint64_t>* fields) {
  std::istringstream in(ReadText("/proc/meminfo"));
  std::string name;
  uint64_t kilobytes = 0;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream parts(line);
    if (parts >> name >> kilobytes) (*fields)[name] = kilobytes * 1024;
  }
  return fields->count("MemTotal:") != 0 && fields->count("MemAvailable:") != 0;
}

uint64_t AddressSpaceInUse() {
  std::istringstream in(ReadText("/proc/self/statm"));
  uint64_t pages = 0;
  in >> pages;
  return pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
}

}  // namespace

bool GetMemoryStatus(MemoryStatus* status) {
  std::map<std::string, uint64_t> info;
  if (!ReadMemInfo(&info)) return false;
  const uint64_t total = info["MemTotal:"];
  const uint64_t available = info["MemAvailable:"];
  status->totalPhys = total;
  status->availPhys = available;
  status->memoryLoad = total == 0 ? 0 : static_cast<uint32_t>((total - available) * 100 / total);
  status->totalPageFile = total + info["SwapTotal:"];
  status->availPageFile = available + info["SwapFree:"];
  const uint64_t inUse = AddressSpaceInUse();
  status->totalVirtual = kUserAddressSpace;
  status->availVirtual = inUse < kUserAddressSpace ? kUserAddressSpace - inUse : 0;
  status->availExtendedVirtual = 0;
  return true;
}

std::string OsName() { return "Linux"; }

bool GetOsVersion(OsVersion* version) {
  utsname names;
  if (uname(&names) != 0) return false;
  unsigned major = 0, minor = 0, build = 0;
  std::sscanf(names.release, "%u.%u.%u", &major, &minor, &build);
  *version = OsVersion();
  version->major = major;
  version->minor = minor;
  version->build = build;
  return true;
}

uint32_t ProcessorCount() {
  const long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<uint32_t>(count) : 0;
}

}  // namespace tarnel::platform
