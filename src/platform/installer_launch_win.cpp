#include "platform/installer_launch.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

namespace tarnel::platform {

bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments,
                     const std::string& workingFolder, InstallerProcess* process) {
  std::string parameters;
  for (const std::string& argument : arguments) {
    if (!parameters.empty()) parameters += ' ';
    parameters += argument;
  }
  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  // The process handle, to learn when the installer ends and its exit code.
  info.fMask = SEE_MASK_NOCLOSEPROCESS;
  info.hwnd = nullptr;
  info.lpVerb = "runas";
  info.lpFile = installer.Path().c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = workingFolder.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (ShellExecuteExA(&info) == FALSE) return false;
  *process = InstallerProcess();
  if (info.hProcess != nullptr) {
    *process =
        InstallerProcess(reinterpret_cast<intptr_t>(info.hProcess), GetProcessId(info.hProcess));
  }
  return true;
}

}  // namespace tarnel::platform
