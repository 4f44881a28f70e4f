// The service's file digest beside `openssl dgst -sha256` and `sha256sum`, on one large
// file whose pages are in the page cache, so that all three are bound by the hashing.
// Then the staging of that file as an installer (the copy and its digest in one pass) beside
// `cp` of the same file followed by `openssl dgst -sha256` of the copy.
//
//   tarnel_bench_digest --root DIR [--size-mib 1024] [--repeats N]
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/held_file.h"
#include "platform/installer_staging.h"
#include "update/file_digest.h"

namespace tarnel::bench {
namespace {

// Fills the file with pseudo-random bytes (xorshift), one MiB at a time.
bool WriteTestFile(const std::string& path, long mib) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  std::vector<uint64_t> block(1024 * 1024 / sizeof(uint64_t));
  uint64_t state = 0x9E3779B97F4A7C15ull;
  bool ok = true;
  for (long m = 0; m < mib && ok; ++m) {
    for (auto& word : block) {
      state ^= state << 13;
      state ^= state >> 7;
      state ^= state << 17;
      word = state;
    }
    const size_t bytes = block.size() * sizeof(uint64_t);
    ok = write(fd, block.data(), bytes) == static_cast<ssize_t>(bytes);
  }
  return close(fd) == 0 && ok;
}

// Reads the file once so that its pages are cached.
void WarmPageCache(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(1 << 20);
  while (read(fd, buffer.data(), buffer.size()) > 0) {
  }
  close(fd);
}

// The first run of 64 hexadecimal characters in a tool's output.
std::string HexDigestIn(const std::string& output) {
  size_t run = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    run = std::isxdigit(static_cast<unsigned char>(output[i])) ? run + 1 : 0;
    if (run == 64) return output.substr(i - 63, 64);
  }
  return "";
}

struct Contender {
  std::string label;
  std::vector<std::string> argv;  // empty: the service's own digest function
  std::vector<double> seconds;
};

bool TimeOnce(Contender& contender, const std::string& path, std::string* digest) {
  const auto start = Clock::now();
  bool ok;
  if (contender.argv.empty()) {
    ok = ComputeFileSha256(path, *digest);
  } else {
    std::string output;
    ok = RunCapture(contender.argv, &output);
    *digest = HexDigestIn(output);
  }
  contender.seconds.push_back(SecondsSince(start));
  return ok && !digest->empty();
}

// One staging of `path` into `copy` (removed afterwards); its seconds, or < 0 on failure.
double TimeStaging(const std::string& path, const std::string& copy, std::string* digest) {
  const auto start = Clock::now();
  platform::HeldFile source;
  platform::HeldFile staged;
  std::string why;
  const bool ok = source.Open(path, &why) &&
                  platform::StageInstallerCopy(source, copy, nullptr, &staged, digest, &why);
  const double seconds = SecondsSince(start);
  staged.Close();
  std::filesystem::remove(copy);
  return ok ? seconds : -1;
}

// `cp` of `path` to `copy`, then `openssl dgst -sha256` of the copy (removed afterwards).
double TimeCopyThenDigest(const std::string& path, const std::string& copy, std::string* digest) {
  const auto start = Clock::now();
  std::string output;
  const bool ok = RunCapture({"/bin/cp", path, copy}, &output) &&
                  RunCapture({"/usr/bin/openssl", "dgst", "-sha256", copy}, &output);
  const double seconds = SecondsSince(start);
  *digest = HexDigestIn(output);
  std::filesystem::remove(copy);
  return ok ? seconds : -1;
}

// Figure 3b: staging against copying and hashing in two steps, alternating, in this run.
bool BenchStaging(const std::string& root, const std::string& path, long mib, int repeats,
                  const std::string& expected) {
  std::vector<double> staging;
  std::vector<double> twoSteps;
  for (int r = 0; r <= repeats; ++r) {  // the first round warms up
    std::string stagedDigest, copiedDigest;
    const double stage = TimeStaging(path, root + "/staged-setup", &stagedDigest);
    const double copy = TimeCopyThenDigest(path, root + "/copied-setup", &copiedDigest);
    if (stage < 0 || copy < 0 || stagedDigest != expected || copiedDigest != expected) {
      std::fprintf(stderr, "staging or cp + openssl failed or disagreed\n");
      return false;
    }
    if (r == 0) continue;
    staging.push_back(stage);
    twoSteps.push_back(copy);
  }
  const Summary stage = Summarise(staging);
  const Summary copy = Summarise(twoSteps);
  PrintRow({"3b. staging a " + std::to_string(mib) + " MiB installer (copy and digest)",
            FormatWithSpread(stage, 1, "s", 3),
            "cp, then openssl dgst of the copy " + FormatWithSpread(copy, 1, "s", 3),
            FormatNumber(stage.median / copy.median, 3), "<= 1.0",
            Verdict(stage.median <= copy.median)});
  return true;
}

int Run(int argc, char** argv) {
  const auto options = ParseOptions(argc, argv);
  if (!options.count("root")) {
    std::fprintf(stderr, "usage: %s --root DIR [--size-mib N] [--repeats N]\n", argv[0]);
    return 2;
  }
  const std::string root = std::filesystem::absolute(options.at("root")).string();
  const long mib = IntOption(options, "size-mib", 1024);
  const int repeats = IntOption(options, "repeats", 5);
  std::filesystem::create_directories(root);

  struct statvfs disk;
  if (statvfs(root.c_str(), &disk) != 0 ||
      static_cast<double>(disk.f_bavail) * disk.f_frsize < (2 * mib + 512) * 1048576.0) {
    std::fprintf(stderr, "not enough free space under %s for a %ld MiB file and its copy\n",
                 root.c_str(), mib);
    return 1;
  }
  const std::string path = root + "/digest-input.bin";
  if (!WriteTestFile(path, mib)) {
    std::fprintf(stderr, "could not write %s\n", path.c_str());
    std::filesystem::remove(path);
    return 1;
  }
  WarmPageCache(path);

  std::vector<Contender> contenders = {
      {"service", {}, {}},
      {"openssl", {"/usr/bin/openssl", "dgst", "-sha256", path}, {}},
      {"sha256sum", {"/usr/bin/sha256sum", path}, {}}};
  std::string expected;
  bool agreed = true;
  for (auto& contender : contenders) {  // warm-up, and all three must agree
    std::string digest;
    if (!TimeOnce(contender, path, &digest)) agreed = false;
    if (expected.empty()) expected = digest;
    if (digest != expected) agreed = false;
    contender.seconds.clear();
  }
  for (int r = 0; r < repeats && agreed; ++r) {
    for (auto& contender : contenders) {
      std::string digest;
      if (!TimeOnce(contender, path, &digest) || digest != expected) agreed = false;
    }
  }
  if (!agreed) {
    std::filesystem::remove(path);
    std::fprintf(stderr, "the digests of the three contenders differ or one failed\n");
    return 1;
  }

  const Summary service = Summarise(contenders[0].seconds);
  const Summary openssl = Summarise(contenders[1].seconds);
  const Summary sha256sum = Summarise(contenders[2].seconds);
  const bool opensslFaster = openssl.median <= sha256sum.median;
  const Summary& faster = opensslFaster ? openssl : sha256sum;
  const double gib = mib / 1024.0;
  const auto rate = [&](const Summary& s) { return FormatNumber(gib / s.median, 2) + " GiB/s"; };
  PrintRow({"3. digest of a " + std::to_string(mib) + " MiB file (cached)",
            FormatWithSpread(service, 1, "s", 3) + " (" + rate(service) + ")",
            std::string(opensslFaster ? "openssl dgst " : "sha256sum ") +
                FormatWithSpread(faster, 1, "s", 3) + " (" + rate(faster) + "); " +
                (opensslFaster ? "sha256sum " : "openssl dgst ") +
                FormatWithSpread(opensslFaster ? sha256sum : openssl, 1, "s", 3),
            FormatNumber(service.median / faster.median, 3), "<= 1.05",
            Verdict(service.median <= 1.05 * faster.median)});
  const bool staged = BenchStaging(root, path, mib, repeats, expected);
  std::filesystem::remove(path);
  return staged ? 0 : 1;
}

}  // namespace
}  // namespace tarnel::bench

int main(int argc, char** argv) { return tarnel::bench::Run(argc, argv); }
