#include "command_channel/caller_limits.h"

#include <algorithm>

namespace tarnel {
namespace {

constexpr auto kLineInterval = std::chrono::seconds(1);
}  // namespace

bool ConnectionBound::Acquire(const std::string& caller) {
  std::lock_guard<std::mutex> lock(mutex);
  int& count = open[caller];
  if (count >= perCaller) return false;
  ++count;
  return true;
}

void ConnectionBound::Release(const std::string& caller) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = open.find(caller);
  if (it == open.end()) return;
  if (--it->second <= 0) open.erase(it);
}

int ConnectionBound::OpenConnections(const std::string& caller) const {
  std::lock_guard<std::mutex> lock(mutex);
  const auto it = open.find(caller);
  return it == open.end() ? 0 : it->second;
}

CallerLogLimit::CallerLogLimit(int burst, Clock clock)
    : ahead(kLineInterval * std::max(burst - 1, 0)), clock(std::move(clock)) {}

bool CallerLogLimit::Allow(const std::string& caller, uint64_t* suppressed) {
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = clock();
  auto it = budgets.find(caller);
  if (it == budgets.end()) {
    if (budgets.size() >= forgetAt) ForgetIdleCallers(now);
    it = budgets.emplace(caller, Budget{now, 0}).first;
  }
  Budget& budget = it->second;
  if (budget.due > now + ahead) {
    ++budget.suppressed;
    return false;
  }
  budget.due = std::max(budget.due, now) + kLineInterval;
  *suppressed = budget.suppressed;
  budget.suppressed = 0;
  return true;
}

// A caller whose budget is full again and who has nothing withheld is as good as new.
void CallerLogLimit::ForgetIdleCallers(std::chrono::steady_clock::time_point now) {
  for (auto it = budgets.begin(); it != budgets.end();) {
    if (it->second.due <= now && it->second.suppressed == 0) {
      it = budgets.erase(it);
    } else {
      ++it;
    }
  }
  // Callers still active stay; the next sweep waits until as many again have come.
  forgetAt = std::max(kRememberedCallers, 2 * budgets.size());
}

std::string SuppressedNote(uint64_t suppressed) {
  if (suppressed == 0) return "";
  return " (" + std::to_string(suppressed) + " lines of this caller suppressed)";
}

}  // namespace tarnel
