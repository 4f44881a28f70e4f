// The pending-update record: the values of the updater key, reached only through the four
// property-store operations of UpdaterManagerWindows (GetRegPendingUpdate,
// ResetRegPendingUpdate, GetUpdaterStringValue, SetUpdaterStringValue).
#pragma once

#include <cstdint>

namespace tarnel {

// 1 while a registered package awaits installation; any other value reads as "none".
inline constexpr char kPendingUpdateValue[] = "PendingUpdate";
inline constexpr char kInstallerPathValue[] = "InstallerPath";
inline constexpr char kInstallerTargetVersionValue[] = "InstallerTargetVersion";
inline constexpr char kInstallerSha256Value[] = "InstallerSha256";
// The product's installation directory; the service only reads it.
inline constexpr char kInstallPathValue[] = "InstallPath";

// String values are read into a buffer of this size: 260 characters and the terminator.
inline constexpr uint32_t kStringValueBufferSize = 261;

}  // namespace tarnel
