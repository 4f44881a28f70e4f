// File descriptors of the C runtime (POSIX descriptors; the CRT's on Windows).
#pragma once

#include "platform/scoped_generic.h"

namespace tarnel::platform {

constexpr int kInvalidDescriptor = -1;

// Closes `fd` (close / _close); false when closing failed. Not retried after EINTR: the
// descriptor is released even then, and a retry could close one opened meanwhile.
bool CloseDescriptor(int fd);

struct DescriptorTraits {
  using Handle = int;
  static constexpr int InvalidValue() { return kInvalidDescriptor; }
  static bool Close(int fd) { return CloseDescriptor(fd); }
};

// Owns a descriptor; -1 means none.
using ScopedFd = ScopedGeneric<DescriptorTraits>;

}  // namespace tarnel::platform
