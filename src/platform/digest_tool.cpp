#include "platform/digest_tool.h"

namespace tarnel::platform {
namespace {

constexpr size_t kDigestLength = 64;

}  // namespace

std::string TrimString(const std::string& text, const std::string& characters) {
  if (text.empty()) return text;
  const size_t first = text.find_first_not_of(characters);
  if (first == std::string::npos) return text;
  const size_t last = text.find_last_not_of(characters);
  return text.substr(first, last - first + 1);
}

bool IsSafeForCommandLine(const std::string& path) {
  return path.find_first_of("\"&|<>^%\r\n") == std::string::npos;
}

std::string DigestToolCommandLine(const std::string& systemFolder, const std::string& path) {
  return systemFolder + "\\certutil.exe -hashfile \"" + path + "\" SHA256";
}

bool DigestFromToolOutput(const std::vector<std::string>& lines, std::string& digest) {
  if (lines.size() < 2) return false;
  const std::string trimmed = TrimString(lines[1], " \t\n");
  if (trimmed.size() != kDigestLength) return false;
  digest = trimmed;
  return true;
}

}  // namespace tarnel::platform
