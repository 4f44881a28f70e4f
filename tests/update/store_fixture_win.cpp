#include <windows.h>

#include <vector>

#include "store_fixture.h"

namespace tarnel::testing {
namespace {

constexpr char kKeyPath[] = "SOFTWARE\\WOW6432Node\\Tarnel\\Updater";

HKEY OpenKey() {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  nullptr);
  return key;
}

}  // namespace

void CreateUpdaterKey() {
  DeleteUpdaterKey();
  RegCloseKey(OpenKey());
}

void DeleteUpdaterKey() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kKeyPath); }

void StoreDword(const std::string& name, uint32_t value) {
  HKEY key = OpenKey();
  const DWORD data = value;
  RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                 sizeof(data));
  RegCloseKey(key);
}

void StoreString(const std::string& name, const std::string& value) {
  HKEY key = OpenKey();
  RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(key);
}

void RemoveValue(const std::string& name) {
  HKEY key = OpenKey();
  RegDeleteValueA(key, name.c_str());
  RegCloseKey(key);
}

bool LoadDwordValue(const std::string& name, uint32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kKeyPath, name.c_str(), RRF_RT_REG_DWORD, nullptr, &data,
                   &size) != ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

bool LoadStringValue(const std::string& name, std::string* value) {
  std::vector<char> buffer(65536);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (RegGetValueA(HKEY_LOCAL_MACHINE, kKeyPath, name.c_str(), RRF_RT_REG_SZ, nullptr,
                   buffer.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  *value = buffer.data();
  return true;
}

std::string ProgramFolder() {
  char path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1);
}

std::string ExecutableName(const std::string& name) { return name + ".exe"; }

std::string RecordedArguments(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += (text.empty() ? "" : " ") + argument;
  return text + "\n";
}

}  // namespace tarnel::testing
