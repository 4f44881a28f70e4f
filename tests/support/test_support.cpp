#include "support/test_support.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "logging/logger.h"

namespace tarnel::testing {

std::string MakeTempFolder(const std::string& hint) {
  static std::atomic<int> counter{0};
  namespace fs = std::filesystem;
  fs::path folder = fs::path(TestRoot()) / (hint + "_" + std::to_string(counter++));
  fs::remove_all(folder);
  fs::create_directories(folder);
  return (folder / "").string();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  return static_cast<bool>(out);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

bool WaitUntilSteady(const std::function<int()>& count, std::chrono::milliseconds quiet,
                     std::chrono::milliseconds deadline) {
  int last = -1;
  auto since = std::chrono::steady_clock::now();
  return WaitUntil(
      [&] {
        const int now = count();
        if (now != last || now == 0) {
          last = now;
          since = std::chrono::steady_clock::now();
          return false;
        }
        return std::chrono::steady_clock::now() - since >= quiet;
      },
      deadline);
}

LogCapture::LogCapture() {
  GetLogger()->Flush();
  path = GetLogger()->CurrentLogFilePath();
  start = ReadFile(path).size();
}

std::string LogCapture::Text() const {
  GetLogger()->Flush();
  const std::string all = ReadFile(path);
  return all.size() > start ? all.substr(start) : std::string();
}

bool LogCapture::Contains(const std::string& needle) const {
  return Text().find(needle) != std::string::npos;
}

}  // namespace tarnel::testing
