#include "platform/installer_version.h"

namespace tarnel::platform {

bool InstallersCarrySignedVersion() { return false; }

bool ReadInstallerProductVersion(const HeldFile&, std::string*) { return false; }

}  // namespace tarnel::platform
