#include "platform/thread_name.h"

#include <windows.h>

#include <string>

namespace tarnel::platform {

void SetCurrentThreadName(const std::string& name) {
  // SetThreadDescription exists from Windows 10 1607 on; look it up so older systems
  // simply go without thread names.
  using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  auto set_description = reinterpret_cast<SetThreadDescriptionFn>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set_description == nullptr) return;
  std::wstring wide(name.begin(), name.end());
  set_description(GetCurrentThread(), wide.c_str());
}

}  // namespace tarnel::platform
