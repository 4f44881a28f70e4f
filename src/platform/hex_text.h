// Bytes as lowercase hexadecimal text, the form of the digests the desktop application
// registers and of the staging folders' names.
#pragma once

#include <cstddef>
#include <string>

namespace tarnel::platform {

// Two lowercase hexadecimal digits for each byte, in order.
std::string LowerHex(const unsigned char* bytes, size_t count);

}  // namespace tarnel::platform
