#include "platform/hex_text.h"

namespace tarnel::platform {

std::string LowerHex(const unsigned char* bytes, size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * count);
  for (size_t i = 0; i < count; ++i) {
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 0xF];
  }
  return hex;
}

}  // namespace tarnel::platform
