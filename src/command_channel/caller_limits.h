// What one caller of the command channel may take: connections open at once, and log lines
// caused by its input. A caller is a user as the peer identity names it ("uid 1000",
// "user S-1-5-21-..."). Both classes are thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>

namespace tarnel {

// Connections one caller other than root or an administrator may hold open at once.
constexpr int kMaxConnectionsPerCaller = 32;
// Log lines caused by one caller's input that may come at once; after them, one a second.
constexpr int kCallerLineBurst = 50;
// Refused connections of one caller are logged once, then at most once a second.
constexpr int kRefusedConnectionBurst = 1;

// Counts the open connections of each caller.
class ConnectionBound {
 public:
  explicit ConnectionBound(int perCaller) : perCaller(perCaller) {}

  // Counts one more connection of `caller`; false, and nothing counted, when the caller
  // already holds the bound.
  bool Acquire(const std::string& caller);
  // Ends the count of a connection that Acquire counted.
  void Release(const std::string& caller);
  int OpenConnections(const std::string& caller) const;

 private:
  const int perCaller;
  mutable std::mutex mutex;
  std::map<std::string, int> open;
};

// Limits the log lines of each caller: a burst, then at most one line a second; a line
// written after lines were withheld tells how many.
class CallerLogLimit {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit CallerLogLimit(int burst, Clock clock = std::chrono::steady_clock::now);

  // Whether a line of `caller` may be written now. When it may, *suppressed holds the
  // number of this caller's lines withheld since its last written one.
  bool Allow(const std::string& caller, uint64_t* suppressed);

 private:
  // The caller's next line is due at `due`; `burst` lines may run ahead of it.
  struct Budget {
    std::chrono::steady_clock::time_point due;
    uint64_t suppressed = 0;
  };
  void ForgetIdleCallers(std::chrono::steady_clock::time_point now);

  // Callers remembered before the ones whose budget is full again are forgotten.
  static constexpr size_t kRememberedCallers = 1024;

  const std::chrono::steady_clock::duration ahead;
  Clock clock;
  std::mutex mutex;
  std::map<std::string, Budget> budgets;
  size_t forgetAt = kRememberedCallers;
};

// " (N lines of this caller suppressed)", or nothing for 0.
std::string SuppressedNote(uint64_t suppressed);

}  // namespace tarnel
