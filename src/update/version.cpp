#include "update/version.h"

#include <stdexcept>

namespace tarnel {
namespace {

struct ParsedVersion {
  std::vector<std::string> components;
  bool hasTag = false;
};

ParsedVersion ParseVersion(const std::string& version) {
  const std::vector<std::string> parts = SplitString(version, "-");
  ParsedVersion parsed;
  const std::string base = parts[0].empty() ? "0" : parts[0];
  parsed.hasTag = parts.size() >= 2 && !parts[1].empty();
  parsed.components = SplitString(base, ".");
  return parsed;
}

// Compares the numbers component by component, stopping at the first difference.
// std::stoi throws for components without leading digits and for values beyond 32 bits.
VersionOrder CompareComponents(std::vector<std::string> a, std::vector<std::string> b) {
  if (a.size() < b.size()) a.resize(b.size(), "0");
  if (b.size() < a.size()) b.resize(a.size(), "0");
  for (size_t i = 0; i < a.size(); ++i) {
    const int right = std::stoi(b[i]);
    const int left = std::stoi(a[i]);
    if (left < right) return VersionOrder::Older;
    if (left > right) return VersionOrder::Newer;
  }
  return VersionOrder::Equal;
}

VersionOrder CompareTags(bool aHasTag, bool bHasTag) {
  if (aHasTag == bHasTag) return aHasTag ? VersionOrder::Undetermined : VersionOrder::Equal;
  return aHasTag ? VersionOrder::Older : VersionOrder::Newer;
}

}  // namespace

VersionOrder CompareVersions(const std::string& a, const std::string& b) {
  try {
    const ParsedVersion left = ParseVersion(a);
    const ParsedVersion right = ParseVersion(b);
    const VersionOrder numbers = CompareComponents(left.components, right.components);
    if (numbers != VersionOrder::Equal) return numbers;
    return CompareTags(left.hasTag, right.hasTag);
  } catch (const std::invalid_argument&) {
    return VersionOrder::Undetermined;
  } catch (const std::out_of_range&) {
    return VersionOrder::Undetermined;
  }
}

std::vector<std::string> SplitString(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  size_t found = text.find(separator, start);
  while (found != std::string::npos) {
    pieces.push_back(text.substr(start, found - start));
    start = found + 1;
    found = text.find(separator, start);
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace tarnel
