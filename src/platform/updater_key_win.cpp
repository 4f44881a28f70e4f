#include "platform/updater_key.h"

#include <windows.h>

namespace tarnel::platform {
namespace {

// The service is a 64-bit process: the path names the 32-bit view's branch directly.
constexpr char kUpdaterKeyPath[] = "SOFTWARE\\WOW6432Node\\Tarnel\\Updater";

}  // namespace

UpdaterKey::~UpdaterKey() { Close(); }

int32_t UpdaterKey::Open(KeyAccess access) {
  Close();
  HKEY key = nullptr;
  const REGSAM rights = access == KeyAccess::kRead ? KEY_READ : KEY_WRITE;
  const LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUpdaterKeyPath, 0, rights, &key);
  if (status == ERROR_SUCCESS) handle = key;
  return status;
}

int32_t UpdaterKey::ReadDword(const std::string& name, uint32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  const LONG status = RegGetValueA(static_cast<HKEY>(handle), nullptr, name.c_str(),
                                   RRF_RT_REG_DWORD, nullptr, &data, &size);
  if (status == ERROR_SUCCESS) *value = data;
  return status;
}

int32_t UpdaterKey::ReadString(const std::string& name, char* buffer, uint32_t* size) {
  DWORD bytes = *size;
  const LONG status = RegGetValueA(static_cast<HKEY>(handle), "", name.c_str(), RRF_RT_REG_SZ,
                                   nullptr, buffer, &bytes);
  if (status == ERROR_SUCCESS) *size = bytes;
  return status;
}

int32_t UpdaterKey::WriteDword(const std::string& name, uint32_t value) {
  const DWORD data = value;
  return RegSetValueExA(static_cast<HKEY>(handle), name.c_str(), 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&data), sizeof(data));
}

int32_t UpdaterKey::WriteString(const std::string& name, const char* data, uint32_t size) {
  return RegSetValueExA(static_cast<HKEY>(handle), name.c_str(), 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(data), size);
}

void UpdaterKey::Close() {
  if (handle == nullptr) return;
  RegCloseKey(static_cast<HKEY>(handle));
  handle = nullptr;
}

}  // namespace tarnel::platform
