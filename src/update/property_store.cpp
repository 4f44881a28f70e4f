// The property store of UpdaterManagerWindows: each operation opens the updater key,
// performs one read or one write, and closes it again. Nothing is cached between calls.
#include "update/property_store.h"

#include "logging/logger.h"
#include "platform/updater_key.h"
#include "service_host/updater_manager.h"

namespace tarnel {

using platform::KeyAccess;
using platform::kRegistrySuccess;

bool UpdaterManagerWindows::GetRegPendingUpdate(bool& pending) {
  platform::UpdaterKey key;
  if (key.Open(KeyAccess::kRead) != kRegistrySuccess) {
    TARNEL_LOG(ERROR) << "UpdaterManager::GetRegPendingUpdate error while opening the updater "
                         "registry key. Discarding possible update.";
    return false;
  }
  uint32_t value = 0;
  const int32_t status = key.ReadDword(kPendingUpdateValue, &value);
  if (status != kRegistrySuccess) {
    TARNEL_LOG(ERROR) << "UpdaterManager::GetRegPendingUpdate error while reading the "
                         "PendingUpdate registry value "
                      << status << ". Discarding possible update.";
    return false;
  }
  pending = value == 1;
  return true;
}

bool UpdaterManagerWindows::ResetRegPendingUpdate(bool pending) {
  platform::UpdaterKey key;
  if (key.Open(KeyAccess::kWrite) != kRegistrySuccess) {
    TARNEL_LOG(ERROR)
        << "UpdaterManager::ResetRegPendingUpdate error while opening the updater registry key.";
    return false;
  }
  const int32_t status = key.WriteDword(kPendingUpdateValue, pending ? 1 : 0);
  key.Close();
  if (status != kRegistrySuccess) {
    TARNEL_LOG(ERROR)
        << "UpdaterManager::ResetRegPendingUpdate error while reseting the PendingUpdate value.";
    return false;
  }
  return true;
}

bool UpdaterManagerWindows::GetUpdaterStringValue(const std::string& name, std::string& value) {
  platform::UpdaterKey key;
  if (key.Open(KeyAccess::kRead) != kRegistrySuccess) {
    TARNEL_LOG(ERROR)
        << "UpdaterManager::GetUpdaterStringValue error while opening the updater registry key.";
    return false;
  }
  char buffer[kStringValueBufferSize] = {};
  uint32_t size = sizeof(buffer);
  if (key.ReadString(name, buffer, &size) != kRegistrySuccess) {
    TARNEL_LOG(ERROR) << "UpdaterManager::GetUpdaterStringValue error while reading the " << name
                      << " registry value.";
    return false;
  }
  key.Close();
  value = buffer;  // the text up to its first NUL
  return true;
}

bool UpdaterManagerWindows::SetUpdaterStringValue(const std::string& name,
                                                  const std::string& value) {
  platform::UpdaterKey key;
  if (key.Open(KeyAccess::kWrite) != kRegistrySuccess) {
    TARNEL_LOG(ERROR)
        << "UpdaterManager::SetUpdaterStringValue error while opening the updater registry key.";
    return false;
  }
  const auto size = static_cast<uint32_t>(value.size() + 1);
  const int32_t status = key.WriteString(name, value.c_str(), size);
  key.Close();
  if (status != kRegistrySuccess) {
    TARNEL_LOG(ERROR) << "UpdaterManager::SetUpdaterStringValue error while writing the " << name
                      << " registry value.";
    return false;
  }
  return true;
}

}  // namespace tarnel
