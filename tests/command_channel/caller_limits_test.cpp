// The per-caller bounds of the command channel, counted per user as both builds do. Under
// Wine every client is the same administrator, so the counting is shown here with callers
// named as the peer identity names them.
#include "command_channel/caller_limits.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace tarnel {
namespace {

TEST(ConnectionBound, EachCallerHoldsAtMostTheBoundAndAClosedConnectionFreesAPlace) {
  ConnectionBound bound(kMaxConnectionsPerCaller);
  for (const std::string caller : {"uid 1000", "user S-1-5-21-1-2-3-1001"}) {
    for (int i = 0; i < kMaxConnectionsPerCaller; ++i) EXPECT_TRUE(bound.Acquire(caller)) << i;
    EXPECT_FALSE(bound.Acquire(caller));
    EXPECT_EQ(bound.OpenConnections(caller), kMaxConnectionsPerCaller);
  }
  // A refusal of one caller counted nothing; another caller starts from zero.
  EXPECT_TRUE(bound.Acquire("uid 1001"));
  bound.Release("uid 1000");
  EXPECT_TRUE(bound.Acquire("uid 1000"));
  EXPECT_FALSE(bound.Acquire("uid 1000"));
  for (int i = 0; i < kMaxConnectionsPerCaller; ++i) bound.Release("uid 1000");
  EXPECT_EQ(bound.OpenConnections("uid 1000"), 0);
  // A release without a connection changes nothing.
  bound.Release("uid 1000");
  EXPECT_EQ(bound.OpenConnections("uid 1000"), 0);
  EXPECT_EQ(bound.OpenConnections("uid 1001"), 1);
}

// A clock the test moves by hand.
struct FakeClock {
  std::chrono::steady_clock::time_point now{};
  CallerLogLimit::Clock Get() {
    return [this] { return now; };
  }
};

// How many of `count` lines of `caller` are let through at the current time.
int Allowed(CallerLogLimit* limit, const std::string& caller, int count,
            uint64_t* lastSuppressed) {
  int allowed = 0;
  for (int i = 0; i < count; ++i) {
    uint64_t suppressed = 0;
    if (limit->Allow(caller, &suppressed)) {
      ++allowed;
      *lastSuppressed = suppressed;
    }
  }
  return allowed;
}

TEST(CallerLogLimit, BurstThenOneLineASecondCarryingTheCount) {
  FakeClock clock;
  CallerLogLimit limit(kCallerLineBurst, clock.Get());
  uint64_t suppressed = 99;
  EXPECT_EQ(Allowed(&limit, "uid 1000", 80, &suppressed), kCallerLineBurst);
  EXPECT_EQ(suppressed, 0u);
  // Another caller has a budget of its own.
  EXPECT_EQ(Allowed(&limit, "uid 1001", kCallerLineBurst, &suppressed), kCallerLineBurst);
  clock.now += std::chrono::milliseconds(999);
  EXPECT_EQ(Allowed(&limit, "uid 1000", 5, &suppressed), 0);
  clock.now += std::chrono::milliseconds(1);
  EXPECT_EQ(Allowed(&limit, "uid 1000", 5, &suppressed), 1);
  EXPECT_EQ(suppressed, 30u + 5u);
  EXPECT_EQ(Allowed(&limit, "uid 1000", 5, &suppressed), 0);
  // Ten quiet seconds earn ten lines, not a whole new burst.
  clock.now += std::chrono::seconds(10);
  EXPECT_EQ(Allowed(&limit, "uid 1000", 100, &suppressed), 10);
  // A long silence fills the budget again.
  clock.now += std::chrono::hours(1);
  EXPECT_EQ(Allowed(&limit, "uid 1000", 100, &suppressed), kCallerLineBurst);
}

TEST(CallerLogLimit, RefusedConnectionsAreLoggedOnceThenOnceASecond) {
  FakeClock clock;
  CallerLogLimit limit(kRefusedConnectionBurst, clock.Get());
  uint64_t suppressed = 0;
  EXPECT_EQ(Allowed(&limit, "uid 65534", 1000, &suppressed), 1);
  for (int second = 1; second <= 3; ++second) {
    clock.now += std::chrono::seconds(1);
    EXPECT_EQ(Allowed(&limit, "uid 65534", 10, &suppressed), 1);
    EXPECT_EQ(suppressed, second == 1 ? 999u : 9u);
  }
  EXPECT_EQ(SuppressedNote(9), " (9 lines of this caller suppressed)");
  EXPECT_EQ(SuppressedNote(0), "");
}

TEST(CallerLogLimit, ManyCallersAreForgottenOnlyOnceTheirBudgetIsFull) {
  FakeClock clock;
  CallerLogLimit limit(kRefusedConnectionBurst, clock.Get());
  uint64_t suppressed = 0;
  for (int uid = 0; uid < 5000; ++uid) {
    EXPECT_EQ(Allowed(&limit, "uid " + std::to_string(uid), 2, &suppressed), 1);
  }
  // Each of them still has its withheld line to report, so none was forgotten.
  clock.now += std::chrono::seconds(1);
  for (int uid = 0; uid < 5000; uid += 499) {
    EXPECT_EQ(Allowed(&limit, "uid " + std::to_string(uid), 1, &suppressed), 1);
    EXPECT_EQ(suppressed, 1u) << uid;
  }
}

}  // namespace
}  // namespace tarnel
