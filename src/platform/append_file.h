// Opening a text file for appending, as the buffer of an output stream (the log files).
#pragma once

#include <fstream>
#include <string>

namespace tarnel::platform {

// Closes what `buffer` holds, then opens `path` into it for appending in text mode,
// creating the file when it is missing. True when the file is open; on failure `buffer` is
// left closed.
//
// POSIX: open(2) with O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC and mode 0666 less the umask,
// so that no program the service starts inherits the descriptor (std::filebuf::open cannot
// ask for close-on-exec). Every write goes to the end of the file.
// Windows: std::filebuf::open in append and text mode, which the runtime library opens with
// deny-none sharing; every "\n" written is stored as CR LF.
bool OpenAppendFile(const std::string& path, std::filebuf* buffer);

}  // namespace tarnel::platform
