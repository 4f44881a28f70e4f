// Comparison of version strings: dot-separated numbers with an optional pre-release tag
// after the first "-" ("2.0.1", "2.1-beta").
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tarnel {

// How the first version compares with the second; callers test the value.
enum class VersionOrder : int32_t {
  Undetermined = 0,  // an invalid component, or two pre-releases of the same numbers
  Older = 1,
  Equal = 2,
  Newer = 3,
};

// Compares a with b. Components compare as numbers (missing ones count as 0, an empty
// version as "0"); with equal numbers a release is newer than a pre-release. Never throws.
VersionOrder CompareVersions(const std::string& a, const std::string& b);

// Splits text at every occurrence of separator, keeping empty pieces: always one piece more
// than the text holds separators.
std::vector<std::string> SplitString(const std::string& text, const std::string& separator);

}  // namespace tarnel
