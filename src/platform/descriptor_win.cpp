#include "platform/descriptor.h"

#include <io.h>

namespace tarnel::platform {

bool CloseDescriptor(int fd) { return _close(fd) == 0; }

}  // namespace tarnel::platform
