#include "logging/startup_report.h"

#include <cpuid.h>

#include <cstring>
#include <sstream>

#include "logging/logger.h"
#include "platform/system_info.h"
#include "product_facts.h"

namespace tarnel {
namespace {

constexpr unsigned kExtendedBase = 0x80000000u;
constexpr unsigned kFirstBrandFunction = 0x80000002u;
constexpr unsigned kLastBrandFunction = 0x80000004u;

uint64_t Kilobytes(uint64_t bytes) { return bytes / 1024; }

}  // namespace

std::string GetProgramVersion() { return TARNEL_VERSION " " TARNEL_ARCHITECTURE_NAME; }

std::string GetCpuBrand() {
  unsigned registers[4] = {};
  __cpuid(kExtendedBase, registers[0], registers[1], registers[2], registers[3]);
  const unsigned highest = registers[0];
  // Three functions of four registers each, plus a zero that ends the text in any case.
  char brand[49] = {};
  for (unsigned function = kExtendedBase; function <= highest && function <= kLastBrandFunction;
       ++function) {
    __cpuid(function, registers[0], registers[1], registers[2], registers[3]);
    if (function >= kFirstBrandFunction) {
      std::memcpy(brand + 16 * (function - kFirstBrandFunction), registers, sizeof(registers));
    }
  }
  return brand;
}

std::string GetCoreCount() { return std::to_string(platform::ProcessorCount()); }

std::string GetMemoryReport() {
  platform::MemoryStatus memory;
  if (!platform::GetMemoryStatus(&memory)) return "Error TotalRam\n";
  std::ostringstream report;
  report << "Percent of memory in use: " << memory.memoryLoad << "\n"
         << "Physical memory: Total(" << Kilobytes(memory.totalPhys) << "KB) Free("
         << Kilobytes(memory.availPhys) << "KB)\n"
         << "Paging file: Total(" << Kilobytes(memory.totalPageFile) << "KB) Free("
         << Kilobytes(memory.availPageFile) << "KB)\n"
         << "Virtual memory: Total(" << Kilobytes(memory.totalVirtual) << "KB) Free("
         << Kilobytes(memory.availVirtual) << "KB)\n"
         << "Extended memory: Free(" << Kilobytes(memory.availExtendedVirtual) << "KB)";
  return report.str();
}

std::string GetOsReport() {
  std::ostringstream report;
  report << platform::OsName() << "\n";
  platform::OsVersion version;
  if (!platform::GetOsVersion(&version)) {
    report << "Error GetOS\n";
    return report.str();
  }
  report << "OS Version: " << version.major << "." << version.minor << "." << version.build << "\n"
         << "OS Service pack: " << version.servicePackMajor << "." << version.servicePackMinor
         << "\n"
         << "OS other: Suite(" << version.suiteMask << ") ProductType(" << version.productType
         << ") PlatformId(" << version.platformId << ")";
  return report.str();
}

std::string BuildStartupReport() {
  return "Version Tarnel updater: " + GetProgramVersion() + "\n" + "CPU type : " + GetCpuBrand() +
         "\n" + "Number of Cores: " + GetCoreCount() + "\n" + GetMemoryReport() + "\n" +
         "OS: " + GetOsReport() + "\n";
}

}  // namespace tarnel
