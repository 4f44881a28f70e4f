// SHA-256 digests of installer files, as 64 characters in the form the desktop application
// registers them. Which way a digest is obtained is the platform's choice, made when the
// program is built (HeldFile::ComputeSha256): the system's certificate utility on Windows,
// in process on POSIX.
#pragma once

#include <string>

#include "platform/held_file.h"

namespace tarnel {

// The digest of the file at path. True when a 64-character digest was obtained; `digest` is
// assigned only then. Nothing is logged.
bool ComputeFileSha256(const std::string& path, std::string& digest);

// The same for a file the caller holds open, so that the file it then starts is the one
// whose digest was computed.
bool ComputeHeldFileSha256(const platform::HeldFile& file, std::string& digest);

}  // namespace tarnel
