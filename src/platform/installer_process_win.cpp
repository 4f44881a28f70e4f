#include "platform/installer_process.h"

#include <windows.h>

namespace tarnel::platform {

void InstallerProcess::Close() {
  if (handle != kNone) CloseHandle(reinterpret_cast<HANDLE>(handle));
  handle = kNone;
  pid = 0;
}

bool InstallerProcess::WaitForExit(int timeoutMs, int* exitCode) {
  if (handle == kNone) return false;
  const HANDLE process = reinterpret_cast<HANDLE>(handle);
  if (WaitForSingleObject(process, static_cast<DWORD>(timeoutMs)) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(process, &code)) return false;
  *exitCode = static_cast<int>(code);
  Close();
  return true;
}

}  // namespace tarnel::platform
