#include <gtest/gtest.h>

#include "platform/digest_tool.h"
#include "support/test_support.h"
#include "update/file_digest.h"

namespace tarnel {
namespace {

using platform::DigestFromToolOutput;
using platform::IsSafeForCommandLine;
using platform::TrimString;

const std::string kAbcDigest = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(TrimStringTest, RemovesTheSetFromBothEnds) {
  EXPECT_EQ(TrimString("\t abc \n", " \t\n"), "abc");
  EXPECT_EQ(TrimString("", " \t\n"), "");
  EXPECT_EQ(TrimString("   ", " \t\n"), "   ");  // only set characters: unchanged
  EXPECT_EQ(TrimString("a b", " \t\n"), "a b");
}

TEST(DigestFromToolOutputTest, TakesTheTrimmedSecondLineOf64Characters) {
  std::string digest = "untouched";
  EXPECT_TRUE(DigestFromToolOutput({"SHA256 hash of x:\n", "  " + kAbcDigest + "\n",
                                    "CertUtil: -hashfile command completed successfully.\n"},
                                   digest));
  EXPECT_EQ(digest, kAbcDigest);

  std::string pairs;
  for (size_t i = 0; i < kAbcDigest.size(); i += 2) {
    pairs += (i > 0 ? " " : "") + kAbcDigest.substr(i, 2);
  }
  ASSERT_EQ(pairs.size(), 95u);
  digest = "untouched";
  EXPECT_FALSE(DigestFromToolOutput({"SHA256 hash of x:\n", pairs + "\n"}, digest));
  EXPECT_FALSE(DigestFromToolOutput({"SHA256 hash of x:\n"}, digest));
  EXPECT_FALSE(DigestFromToolOutput({"title\n", kAbcDigest.substr(1) + "\n"}, digest));
  EXPECT_EQ(digest, "untouched");
}

TEST(CommandLineSafetyTest, RefusesWhatTheCommandProcessorInterprets) {
  EXPECT_TRUE(IsSafeForCommandLine("C:\\Users\\Jo Doe\\Downloads\\setup (1).exe"));
  for (const char* path :
       {"a\"b", "a & calc", "a|b", "a<b", "a>b", "a^b", "%TEMP%\\a.exe", "a\nb", "a\rb"}) {
    EXPECT_FALSE(IsSafeForCommandLine(path)) << path;
  }
}

TEST(CommandLineSafetyTest, ThePathIsQuotedBetweenTheToolAndTheAlgorithm) {
  EXPECT_EQ(platform::DigestToolCommandLine("C:\\windows\\system32", "C:\\Jo Doe\\setup.exe"),
            "C:\\windows\\system32\\certutil.exe -hashfile \"C:\\Jo Doe\\setup.exe\" SHA256");
}

TEST(ComputeFileSha256Test, DigestOfARealFile) {
  const std::string folder = testing::MakeTempFolder("digest");
  ASSERT_TRUE(testing::WriteFile(folder + "abc.bin", "abc"));
  std::string digest;
  EXPECT_TRUE(ComputeFileSha256(folder + "abc.bin", digest));
  EXPECT_EQ(digest, kAbcDigest);

  ASSERT_TRUE(testing::WriteFile(folder + "with space.bin", ""));
  EXPECT_TRUE(ComputeFileSha256(folder + "with space.bin", digest));
  EXPECT_EQ(digest, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(ComputeFileSha256Test, MissingFileGivesNoDigest) {
  std::string digest = "untouched";
  EXPECT_FALSE(ComputeFileSha256(testing::MakeTempFolder("digest") + "missing.exe", digest));
  EXPECT_EQ(digest, "untouched");
}

}  // namespace
}  // namespace tarnel
