// The system's digest tool as Windows runs it for HeldFile::ComputeSha256: certutil.exe in
// the system directory, given "-hashfile", the file's path and "SHA256" through the command
// processor. These are the text rules of that exchange: the command line, the paths it can
// carry and the reading of the tool's output. They touch nothing of the system, so they are
// built (and tested) on every platform.
#pragma once

#include <string>
#include <vector>

namespace tarnel::platform {

// The text without the leading and trailing characters that occur in `characters`; a text
// made only of such characters is returned unchanged.
std::string TrimString(const std::string& text, const std::string& characters);

// Whether path can be placed between double quotes on a command processor's command line
// without any of it being interpreted: no double quote, no line break and none of & | < > ^ %.
bool IsSafeForCommandLine(const std::string& path);

// The command line that hashes the file at path: systemFolder followed by
// "\certutil.exe -hashfile ", path between double quotes, and " SHA256". Only for a path
// that IsSafeForCommandLine accepts.
std::string DigestToolCommandLine(const std::string& systemFolder, const std::string& path);

// The digest in the tool's output, given as the pieces that fgets returned in order: the
// second piece, trimmed of spaces, tabs and newlines, when that is exactly 64 characters
// long. `digest` is assigned only then.
bool DigestFromToolOutput(const std::vector<std::string>& lines, std::string& digest);

}  // namespace tarnel::platform
