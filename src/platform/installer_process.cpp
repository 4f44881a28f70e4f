// The parts of InstallerProcess that both platforms share.
#include "platform/installer_process.h"

#include <utility>

namespace tarnel::platform {

InstallerProcess::~InstallerProcess() { Close(); }

InstallerProcess::InstallerProcess(InstallerProcess&& other) noexcept
    : handle(other.handle), pid(other.pid), unit(std::move(other.unit)) {
  other.handle = kNone;
  other.pid = 0;
}

InstallerProcess& InstallerProcess::operator=(InstallerProcess&& other) noexcept {
  if (this != &other) {
    Close();
    handle = other.handle;
    pid = other.pid;
    unit = std::move(other.unit);
    other.handle = kNone;
    other.pid = 0;
  }
  return *this;
}

}  // namespace tarnel::platform
