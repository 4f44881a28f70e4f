#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "logging/startup_report.h"

namespace tarnel {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(StartupReportTest, TwelveLinesDescribeProgramAndMachine) {
  const std::string report = BuildStartupReport();
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report.back(), '\n');
  EXPECT_EQ(report.find(" | "), std::string::npos) << "report lines must not look like entries";
  const std::vector<std::string> lines = Lines(report);
  ASSERT_EQ(lines.size(), 12u) << report;
  const std::string number = "(\\d+)";
  const std::string pair = "Total\\(" + number + "KB\\) Free\\(" + number + "KB\\)";
  const std::regex patterns[] = {
      std::regex("Version Tarnel updater: 1\\.0 x86_64"),
      std::regex("CPU type : .*"),
      std::regex("Number of Cores: [1-9]\\d*"),
      std::regex("Percent of memory in use: " + number),
      std::regex("Physical memory: " + pair),
      std::regex("Paging file: " + pair),
      std::regex("Virtual memory: " + pair),
      std::regex("Extended memory: Free\\(" + number + "KB\\)"),
      std::regex("OS: (Windows|Linux)"),
      std::regex("OS Version: \\d+\\.\\d+\\.\\d+"),
      std::regex("OS Service pack: \\d+\\.\\d+"),
      std::regex("OS other: Suite\\(\\d+\\) ProductType\\(\\d+\\) PlatformId\\(\\d+\\)"),
  };
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i], patterns[i])) << "line " << i + 1 << ": " << lines[i];
  }
  EXPECT_EQ(lines[1], "CPU type : " + GetCpuBrand()) << "the brand keeps its leading spaces";

  std::smatch values;
  ASSERT_TRUE(std::regex_match(lines[3], values, patterns[3]));
  EXPECT_LE(std::stoul(values[1]), 100u);
  ASSERT_TRUE(std::regex_match(lines[4], values, patterns[4]));
  EXPECT_GT(std::stoull(values[1]), 0u);
  EXPECT_LE(std::stoull(values[2]), std::stoull(values[1]));
}

TEST(StartupReportTest, PiecesCarryNoFinalLineEnd) {
  EXPECT_EQ(GetProgramVersion(), "1.0 x86_64");
  EXPECT_EQ(GetCpuBrand().find('\0'), std::string::npos);
  EXPECT_LE(GetCpuBrand().size(), 48u);
  EXPECT_NE(GetMemoryReport().back(), '\n');
  EXPECT_NE(GetOsReport().back(), '\n');
}

}  // namespace
}  // namespace tarnel
