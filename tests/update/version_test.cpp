#include <gtest/gtest.h>

#include "update/version.h"

namespace tarnel {
namespace {

struct VersionCase {
  const char* current;
  const char* target;
  VersionOrder expected;
};

TEST(CompareVersionsTest, Table) {
  const VersionCase cases[] = {
      {"1.2.3", "1.2.4", VersionOrder::Older},
      {"1.10", "1.9", VersionOrder::Newer},  // numbers, not text
      {"1.2", "1.2.0", VersionOrder::Equal},
      {"1.2", "1.2.1", VersionOrder::Older},
      {"1.2.0.0.1", "1.2", VersionOrder::Newer},
      {"1.02", "1.2", VersionOrder::Equal},
      {"", "0.1", VersionOrder::Older},  // an empty version counts as "0"
      {"", "", VersionOrder::Equal},
      {"", "0.0", VersionOrder::Equal},
      {"-beta", "0", VersionOrder::Older},
      {"2.0-beta", "2.0", VersionOrder::Older},
      {"2.0", "2.0-rc1", VersionOrder::Newer},
      {"2.0-beta", "2.0-rc1", VersionOrder::Undetermined},
      {"2.0-", "2.0", VersionOrder::Equal},  // a lone "-" is an empty tag
      {"2.0-beta", "2.1", VersionOrder::Older},
      {"1.x", "1.2", VersionOrder::Undetermined},
      {"3.x", "1.2", VersionOrder::Newer},  // x is never converted
      {"V1.2", "1.2", VersionOrder::Undetermined},
      {"1.2b", "1.2", VersionOrder::Equal},
      {"1. 3", "1.3", VersionOrder::Equal},  // leading white space is skipped
      {"1.+3", "1.3", VersionOrder::Equal},
      {"1..2", "1.0.2", VersionOrder::Undetermined},
      {"1.2-rc-3", "1.2-rc", VersionOrder::Undetermined},
      {"1.2147483647", "1.2147483646", VersionOrder::Newer},
      {"1.2147483647", "1.2147483647", VersionOrder::Equal},
      {"1.2147483648", "1.0", VersionOrder::Undetermined},
      {"1.0", "1.99999999999", VersionOrder::Undetermined},
      {"2.2147483648", "1.0", VersionOrder::Newer},  // decided before the large one is met
      {"1.0", "1.0.", VersionOrder::Undetermined},   // trailing empty component
  };
  for (const VersionCase& c : cases) {
    EXPECT_EQ(CompareVersions(c.current, c.target), c.expected)
        << "current \"" << c.current << "\", target \"" << c.target << "\"";
  }
}

TEST(SplitStringTest, KeepsEmptyPieces) {
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(SplitString("", "."), Pieces({""}));
  EXPECT_EQ(SplitString("1..2", "."), Pieces({"1", "", "2"}));
  EXPECT_EQ(SplitString("1.2.", "."), Pieces({"1", "2", ""}));
  EXPECT_EQ(SplitString(".", "."), Pieces({"", ""}));
  EXPECT_EQ(SplitString("1.2-rc-3", "-"), Pieces({"1.2", "rc", "3"}));
}

}  // namespace
}  // namespace tarnel
