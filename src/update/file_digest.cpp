#include "update/file_digest.h"

namespace tarnel {

bool ComputeFileSha256(const std::string& path, std::string& digest) {
  platform::HeldFile file;
  if (!file.Open(path)) return false;
  return ComputeHeldFileSha256(file, digest);
}

bool ComputeHeldFileSha256(const platform::HeldFile& file, std::string& digest) {
  return file.ComputeSha256(&digest);
}

}  // namespace tarnel
