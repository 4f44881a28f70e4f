// What the system tells about the machine: processors, memory and operating system.
#pragma once

#include <cstdint>
#include <string>

namespace tarnel::platform {

// Byte counts of memory, in the sense of the Windows memory status record.
struct MemoryStatus {
  uint32_t memoryLoad = 0;  // percent of physical memory in use
  uint64_t totalPhys = 0;
  uint64_t availPhys = 0;
  uint64_t totalPageFile = 0;  // the commit limit: physical memory plus swap / paging file
  uint64_t availPageFile = 0;
  uint64_t totalVirtual = 0;  // the user-mode address space of this process
  uint64_t availVirtual = 0;
  uint64_t availExtendedVirtual = 0;  // always 0
};

// Windows: GlobalMemoryStatusEx. POSIX: /proc/meminfo (MemAvailable counts as available,
// swap stands for the paging file) and /proc/self/statm for the address space in use.
bool GetMemoryStatus(MemoryStatus* status);

struct OsVersion {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t build = 0;
  uint32_t servicePackMajor = 0;
  uint32_t servicePackMinor = 0;
  uint32_t suiteMask = 0;
  uint32_t productType = 0;
  uint32_t platformId = 0;
};

// The operating system's name: "Windows" or "Linux".
std::string OsName();

// Windows: GetVersionExA with the extended record (which reports 6.2 build 9200 to programs
// whose manifest declares no supported systems). POSIX: the kernel release from uname as
// major.minor.build; service pack, suite, product type and platform are 0.
bool GetOsVersion(OsVersion* version);

// The number of logical processors (Windows: GetSystemInfo, the process's processor group).
uint32_t ProcessorCount();

}  // namespace tarnel::platform
