#include "platform/descriptor.h"

#include <unistd.h>

namespace tarnel::platform {

bool CloseDescriptor(int fd) { return close(fd) == 0; }

}  // namespace tarnel::platform
