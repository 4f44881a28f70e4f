// Stands in for the system's certificate utility in the Windows test lane (Wine's own one
// prints nothing). For "-hashfile FILE SHA256" it computes the real SHA-256 digest with the
// system's BCrypt API and prints what the real tool prints. TARNEL_CERTUTIL_FIXTURE_MODE
// selects a deviation: "pairs" prints the digest as hex byte pairs separated by spaces,
// "fail" prints the normal output but exits with 1, "oneline" prints only the title line.
#include <windows.h>
// After windows.h, which it builds on.
#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

bool ReadWholeFile(const char* path, std::vector<unsigned char>* content) {
  const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  unsigned char chunk[65536];
  DWORD count = 0;
  bool ok = true;
  while ((ok = ReadFile(file, chunk, sizeof(chunk), &count, nullptr) != 0) && count > 0) {
    content->insert(content->end(), chunk, chunk + count);
  }
  CloseHandle(file);
  return ok;
}

bool Sha256(const std::vector<unsigned char>& content, unsigned char digest[32]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) {
    return false;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  ok = ok && BCryptHashData(hash, const_cast<unsigned char*>(content.data()),
                            static_cast<ULONG>(content.size()), 0) == 0;
  ok = ok && BCryptFinishHash(hash, digest, 32, 0) == 0;
  if (hash != nullptr) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

std::string Hex(const unsigned char digest[32], const char* separator) {
  std::string text;
  char pair[3];
  for (int i = 0; i < 32; ++i) {
    if (i > 0) text += separator;
    std::snprintf(pair, sizeof(pair), "%02x", digest[i]);
    text += pair;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || std::strcmp(argv[1], "-hashfile") != 0 || std::strcmp(argv[3], "SHA256") != 0) {
    std::printf("CertUtil: Unknown arguments.\n");
    return 1;
  }
  const char* variable = std::getenv("TARNEL_CERTUTIL_FIXTURE_MODE");
  const std::string mode = variable != nullptr ? variable : "good";
  std::vector<unsigned char> content;
  unsigned char digest[32];
  if (!ReadWholeFile(argv[2], &content) || !Sha256(content, digest)) {
    std::printf("CertUtil: -hashfile command FAILED\n");
    return 2;
  }
  std::printf("SHA256 hash of %s:\n", argv[2]);
  if (mode == "oneline") return 0;
  std::printf("%s\n", Hex(digest, mode == "pairs" ? " " : "").c_str());
  std::printf("CertUtil: -hashfile command completed successfully.\n");
  return mode == "fail" ? 1 : 0;
}
