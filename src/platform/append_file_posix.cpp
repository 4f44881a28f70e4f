#include "platform/append_file.h"

#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <unistd.h>

namespace tarnel::platform {

bool OpenAppendFile(const std::string& path, std::filebuf* buffer) {
  buffer->close();
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) return false;
  // The standard library's buffer over a descriptor of our own; moving it into `buffer`
  // hands over the descriptor, which the buffer closes when it is closed or destroyed.
  __gnu_cxx::stdio_filebuf<char> opened(fd, std::ios::out | std::ios::app);
  if (!opened.is_open()) {
    close(fd);
    return false;
  }
  *buffer = std::move(opened);
  return buffer->is_open();
}

}  // namespace tarnel::platform
