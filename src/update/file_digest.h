// SHA-256 digests of installer files, as 64 characters in the form the desktop application
// registers them. On Windows they come from the system's certificate utility; on POSIX
// they are computed in process.
#pragma once

#include <string>
#include <vector>

#include "platform/held_file.h"

namespace tarnel {

// The text without the leading and trailing characters that occur in `characters`; a text
// made only of such characters is returned unchanged.
std::string TrimString(const std::string& text, const std::string& characters);

// The digest of the file at path. True when a 64-character digest was obtained; `digest` is
// assigned only then. Nothing is logged.
bool ComputeFileSha256(const std::string& path, std::string& digest);

// The same for a file the caller holds open, so that the file it then starts is the one
// whose digest was computed.
bool ComputeHeldFileSha256(const platform::HeldFile& file, std::string& digest);

// The digest in the system tool's output: its second line, trimmed of spaces, tabs and
// newlines, when that is exactly 64 characters long.
bool DigestFromToolOutput(const std::vector<std::string>& lines, std::string& digest);

// Whether path can be placed between double quotes on a command processor's command line
// without any of it being interpreted: no double quote, no line break and none of & | < > ^ %.
bool IsSafeForCommandLine(const std::string& path);

}  // namespace tarnel
