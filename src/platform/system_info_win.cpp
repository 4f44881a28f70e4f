#include "platform/system_info.h"

#include <windows.h>

namespace tarnel::platform {

bool GetMemoryStatus(MemoryStatus* status) {
  MEMORYSTATUSEX memory = {};
  memory.dwLength = sizeof(memory);
  if (!GlobalMemoryStatusEx(&memory)) return false;
  status->memoryLoad = memory.dwMemoryLoad;
  status->totalPhys = memory.ullTotalPhys;
  status->availPhys = memory.ullAvailPhys;
  status->totalPageFile = memory.ullTotalPageFile;
  status->availPageFile = memory.ullAvailPageFile;
  status->totalVirtual = memory.ullTotalVirtual;
  status->availVirtual = memory.ullAvailVirtual;
  status->availExtendedVirtual = memory.ullAvailExtendedVirtual;
  return true;
}

std::string OsName() { return "Windows"; }

bool GetOsVersion(OsVersion* version) {
  OSVERSIONINFOEXA info = {};
  info.dwOSVersionInfoSize = sizeof(info);
  // GetVersionExA is deprecated in newer SDKs; it is still the call that reports what
  // the system tells a program without a compatibility manifest.
  if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info))) return false;
  version->major = info.dwMajorVersion;
  version->minor = info.dwMinorVersion;
  version->build = info.dwBuildNumber;
  version->servicePackMajor = info.wServicePackMajor;
  version->servicePackMinor = info.wServicePackMinor;
  version->suiteMask = info.wSuiteMask;
  version->productType = info.wProductType;
  version->platformId = info.dwPlatformId;
  return true;
}

uint32_t ProcessorCount() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors;
}

}  // namespace tarnel::platform
