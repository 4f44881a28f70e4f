#include "platform/append_file.h"

namespace tarnel::platform {

bool OpenAppendFile(const std::string& path, std::filebuf* buffer) {
  buffer->close();
  return buffer->open(path, std::ios::out | std::ios::app) != nullptr;
}

}  // namespace tarnel::platform
