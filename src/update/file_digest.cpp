#include "update/file_digest.h"

#include "platform/digest_tool.h"

namespace tarnel {
namespace {

constexpr size_t kSystemFolderBufferSize = 260;
constexpr size_t kOutputPieceSize = 1024;
constexpr size_t kDigestLength = 64;

bool ComputeWithSystemTool(const std::string& path, std::string& digest) {
  // The path reaches the command processor: quoted, and refused when quoting cannot keep
  // it from being interpreted.
  if (!IsSafeForCommandLine(path)) return false;
  std::string systemFolder;
  if (!platform::GetSystemFolder(kSystemFolderBufferSize, &systemFolder)) return false;
  const std::string command = systemFolder + "\\certutil.exe -hashfile \"" + path + "\" SHA256";
  platform::ToolOutput output;
  if (!platform::RunToolCapturingOutput(command, kOutputPieceSize, &output)) return false;
  if (!output.reachedEnd || output.exitStatus != 0) return false;
  return DigestFromToolOutput(output.lines, digest);
}

}  // namespace

std::string TrimString(const std::string& text, const std::string& characters) {
  if (text.empty()) return text;
  const size_t first = text.find_first_not_of(characters);
  if (first == std::string::npos) return text;
  const size_t last = text.find_last_not_of(characters);
  return text.substr(first, last - first + 1);
}

bool ComputeFileSha256(const std::string& path, std::string& digest) {
  platform::HeldFile file;
  if (!file.Open(path)) return false;
  return ComputeHeldFileSha256(file, digest);
}

bool ComputeHeldFileSha256(const platform::HeldFile& file, std::string& digest) {
  if (!file.IsOpen()) return false;
  if (platform::DigestsComeFromSystemTool()) return ComputeWithSystemTool(file.Path(), digest);
  std::string computed;
  if (!file.ComputeSha256(&computed) || computed.size() != kDigestLength) return false;
  digest = computed;
  return true;
}

bool DigestFromToolOutput(const std::vector<std::string>& lines, std::string& digest) {
  if (lines.size() < 2) return false;
  const std::string trimmed = TrimString(lines[1], " \t\n");
  if (trimmed.size() != kDigestLength) return false;
  digest = trimmed;
  return true;
}

bool IsSafeForCommandLine(const std::string& path) {
  return path.find_first_of("\"&|<>^%\r\n") == std::string::npos;
}

}  // namespace tarnel
