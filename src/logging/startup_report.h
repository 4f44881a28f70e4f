// The block of lines that begins every log file opened at start-up: the program's version
// and a description of the machine. No line of it contains " | ", which sets it apart from
// ordinary entries.
#pragma once

#include <string>

namespace tarnel {

// "1.0 x86_64".
std::string GetProgramVersion();
// The processor's brand string as cpuid reports it, leading spaces included; empty when
// the processor has no brand functions.
std::string GetCpuBrand();
// The number of logical processors.
std::string GetCoreCount();
// The memory lines (load, physical, paging file, virtual, extended) without the final
// line end, or "Error TotalRam\n".
std::string GetMemoryReport();
// The system's name and its version lines without the final line end, or the name
// followed by "Error GetOS\n".
std::string GetOsReport();
// The whole report, every line ending in "\n".
std::string BuildStartupReport();

}  // namespace tarnel
