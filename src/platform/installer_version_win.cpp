#include "platform/installer_version.h"

#include <windows.h>

#include <vector>

namespace tarnel::platform {

bool InstallersCarrySignedVersion() { return true; }

bool ReadInstallerProductVersion(const HeldFile& installer, std::string* version) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(installer.Path().c_str(), &ignored);
  if (size == 0) return false;
  std::vector<char> block(size);
  if (!GetFileVersionInfoA(installer.Path().c_str(), 0, size, block.data())) return false;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) ||
      fixed == nullptr || length < sizeof(VS_FIXEDFILEINFO) || fixed->dwSignature != 0xFEEF04BD) {
    return false;
  }
  *version = std::to_string(HIWORD(fixed->dwProductVersionMS)) + "." +
             std::to_string(LOWORD(fixed->dwProductVersionMS)) + "." +
             std::to_string(HIWORD(fixed->dwProductVersionLS)) + "." +
             std::to_string(LOWORD(fixed->dwProductVersionLS));
  return true;
}

}  // namespace tarnel::platform
