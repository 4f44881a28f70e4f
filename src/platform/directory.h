// Folders: creating one, listing the files in it and the sizes of those files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnel::platform {

// Creates the last level of `path` (a trailing separator is allowed). True when the
// folder was created or something of that name already exists.
bool MakeDirectory(const std::string& path);

// Appends to `names` the bare names of the files (not folders) in `directory` that match
// the wildcard `pattern` ('*' any text, '?' one character). The search path is `directory`,
// one separator and `pattern`, cut to the system's path limit on Windows. False when
// nothing matches, the folder cannot be searched, or the listing stops early (names found
// so far stay appended); true when the listing ran to its normal end.
bool ListFiles(const std::string& directory, const std::string& pattern,
               std::vector<std::string>* names);

// The size in bytes of the file at `path`; false when there is none or it cannot be
// examined.
bool FileSize(const std::string& path, uint64_t* size);

// True for a character that separates folder names ('/' everywhere, '\\' on Windows).
bool IsPathSeparator(char c);

}  // namespace tarnel::platform
