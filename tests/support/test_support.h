// Helpers shared by the test programs. Every test program runs in an environment of its
// own (see test_main.cpp): the settings, the log directory, the state folder and the
// runtime folder live under TestRoot(), and the settings select the SENSITIVE threshold so
// that every statement reaches the log file.
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace tarnel::testing {

// The temporary folder of this test process, ending in the path separator.
const std::string& TestRoot();

// A fresh, empty folder under TestRoot(), ending in the path separator.
std::string MakeTempFolder(const std::string& hint);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);

// Waits until `condition` holds, checking every few milliseconds; false after `deadline`.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Waits until `count` is above 0 and has stood still for `quiet`; false after `deadline`.
// (For instance: a worker blocked writing to a client that does not read stops handling that
// client's commands.)
bool WaitUntilSteady(const std::function<int()>& count, std::chrono::milliseconds quiet,
                     std::chrono::milliseconds deadline);

// What the process-wide logger wrote to its current log file since this object was made.
class LogCapture {
 public:
  LogCapture();
  // Flushes the logger and returns the new text.
  std::string Text() const;
  bool Contains(const std::string& needle) const;

 private:
  std::string path;
  size_t start = 0;
};

}  // namespace tarnel::testing
