// CompareVersions on arbitrary texts: it never throws or crashes, a version compares Equal
// (or Undetermined) with itself, and swapping the arguments mirrors the result: a is Older
// than b exactly when b is Newer than a, and Equal stays Equal.
//
// Input: a, a NUL byte, b. Without a NUL byte a is the whole input and b the same text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "update/version.h"

namespace {

using tarnel::CompareVersions;
using tarnel::VersionOrder;
using tarnel::fuzzing::Fail;

VersionOrder Mirrored(VersionOrder order) {
  switch (order) {
    case VersionOrder::Older:
      return VersionOrder::Newer;
    case VersionOrder::Newer:
      return VersionOrder::Older;
    default:
      return order;
  }
}

bool IsKnown(VersionOrder order) {
  return order == VersionOrder::Undetermined || order == VersionOrder::Older ||
         order == VersionOrder::Equal || order == VersionOrder::Newer;
}

void CheckSplit(const std::string& text) {
  const size_t separators = static_cast<size_t>(std::count(text.begin(), text.end(), '.'));
  if (tarnel::SplitString(text, ".").size() != separators + 1) {
    Fail("SplitString: not one piece more than separators");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t nul = input.find('\0');
  const std::string a = input.substr(0, nul);
  const std::string b = nul == std::string::npos ? a : input.substr(nul + 1);

  const VersionOrder forward = CompareVersions(a, b);
  const VersionOrder backward = CompareVersions(b, a);
  if (!IsKnown(forward) || !IsKnown(backward)) Fail("CompareVersions: value outside the enum");
  if (forward != VersionOrder::Undetermined && backward != VersionOrder::Undetermined &&
      forward != Mirrored(backward)) {
    Fail("CompareVersions is not antisymmetric");
  }
  // Both directions convert the same components, so a failed conversion shows both ways.
  if ((forward == VersionOrder::Undetermined) != (backward == VersionOrder::Undetermined)) {
    Fail("CompareVersions: Undetermined in one direction only");
  }
  const VersionOrder self = CompareVersions(a, a);
  if (self != VersionOrder::Equal && self != VersionOrder::Undetermined) {
    Fail("CompareVersions: a version is not Equal to itself");
  }
  CheckSplit(a);
  CheckSplit(b);
  return 0;
}
