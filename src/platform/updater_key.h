// The updater key that holds the pending-update record.
//
// Windows: the registry key HKEY_LOCAL_MACHINE "SOFTWARE\WOW6432Node\Tarnel\Updater"
// (RegOpenKeyExA, RegGetValueA, RegSetValueExA, RegCloseKey).
// POSIX: the file "updater.json" in $STATE_DIRECTORY (its first entry when it lists several,
// separated by colons; /var/lib/tarnel/ when unset). The file's existence plays the key's:
// nothing creates it. It holds one JSON object; an integer member is a 32-bit value
// (REG_DWORD), a string member a string value (REG_SZ); other members are kept untouched.
// Every write replaces the file atomically (the temporary file "updater.json.tmp" beside it,
// flushed, renamed over), so a crash never leaves a torn store, only at most that one
// temporary file, which the next write takes over.
//
// Every operation returns the registry's status code, 0 on success; the POSIX store returns
// the same codes for the same situations, so that callers can log them.
#pragma once

#include <cstdint>
#include <string>

namespace tarnel::platform {

constexpr int32_t kRegistrySuccess = 0;
constexpr int32_t kRegistryFileNotFound = 2;        // the key or the value does not exist
constexpr int32_t kRegistryAccessDenied = 5;        // POSIX: the store cannot be written
constexpr int32_t kRegistryWriteFault = 29;         // POSIX: writing the store failed
constexpr int32_t kRegistryMoreData = 234;          // the value does not fit the buffer
constexpr int32_t kRegistryBadDatabase = 1009;      // POSIX: the store is not a JSON object
constexpr int32_t kRegistryUnsupportedType = 1630;  // the value has another type than asked

enum class KeyAccess { kRead, kWrite };

// One opened updater key; closed at destruction at the latest.
class UpdaterKey {
 public:
  UpdaterKey() = default;
  ~UpdaterKey();
  UpdaterKey(const UpdaterKey&) = delete;
  UpdaterKey& operator=(const UpdaterKey&) = delete;

  // Opens the existing key (KEY_READ or KEY_WRITE, no registry-view flag). Never creates it.
  int32_t Open(KeyAccess access);

  // Reads a 32-bit value; the type is restricted to REG_DWORD (RRF_RT_REG_DWORD).
  int32_t ReadDword(const std::string& name, uint32_t* value);

  // Reads a string value restricted to REG_SZ into buffer, NUL-terminated. *size holds the
  // buffer's size on entry and the bytes written (terminator included) on success. A value
  // that needs more than *size bytes fails with kRegistryMoreData.
  int32_t ReadString(const std::string& name, char* buffer, uint32_t* size);

  int32_t WriteDword(const std::string& name, uint32_t value);

  // Writes a REG_SZ value of `size` bytes, the terminating NUL included.
  int32_t WriteString(const std::string& name, const char* data, uint32_t size);

  void Close();

 private:
  void* handle = nullptr;  // HKEY on Windows; the loaded store on POSIX
};

}  // namespace tarnel::platform
