// The version an installer carries inside its signed content, so that a publisher's older
// installers, signed as validly as its newest, cannot be used to downgrade the product.
#pragma once

#include <string>

#include "platform/held_file.h"

namespace tarnel::platform {

// Whether installers carry a signed version on this platform.
// Windows: yes, the product version of the executable's version resource
// (VS_FIXEDFILEINFO), inside the image that the Authenticode signature covers.
// POSIX: no; a detached signature covers the content but nothing in it states a version.
bool InstallersCarrySignedVersion();

// The installer's product version as "a.b.c.d"; false when it has none (or on POSIX).
bool ReadInstallerProductVersion(const HeldFile& installer, std::string* version);

}  // namespace tarnel::platform
