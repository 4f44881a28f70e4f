#include "platform/installer_launch.h"

#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

namespace tarnel::platform {

bool LaunchInstaller(const HeldFile& installer, const std::vector<std::string>& arguments) {
  std::string parameters;
  for (const std::string& argument : arguments) {
    if (!parameters.empty()) parameters += ' ';
    parameters += argument;
  }
  SHELLEXECUTEINFOA info;
  ZeroMemory(&info, sizeof(info));
  info.cbSize = sizeof(info);
  info.fMask = 0;  // no process handle: the installer is not waited for
  info.hwnd = nullptr;
  info.lpVerb = "runas";
  info.lpFile = installer.Path().c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = nullptr;
  info.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&info) != FALSE;
}

}  // namespace tarnel::platform
