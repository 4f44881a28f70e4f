// The handler lock's turns, with real threads: the order in which the waiting threads got
// the lock is what they recorded while they held it.
#include "command_channel/caller_turns.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::WaitUntil;

// Callers as the peer identity names them; root takes turns like everyone else.
const std::map<char, std::string> kCallers = {
    {'A', "uid 1000"}, {'B', "uid 0"}, {'C', "an unknown user"}, {'D', "uid 1001"}};

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// "A3" waits as caller A; the waiters come one after the other while a thread of `holder`
// holds the lock. Returns the order in which they got it once it was let go.
std::string OrderOfTurns(char holder, const std::vector<std::string>& arrivals) {
  CallerTurns turns;
  turns.Lock(kCallers.at(holder));
  std::string order;
  std::vector<std::thread> threads;
  for (const std::string& label : arrivals) {
    threads.emplace_back([&turns, &order, label] {
      CallerTurn turn(turns, kCallers.at(label[0]));
      order += (order.empty() ? "" : " ") + label;
    });
    const size_t waiting = threads.size();
    EXPECT_TRUE(WaitUntil([&] { return turns.Waiting() == waiting; })) << label;
  }
  turns.Unlock();
  for (auto& thread : threads) thread.join();
  return order;
}

TEST(CallerTurns, WaitingCallersGetTheLockInRotationEachInTheOrderItsThreadsCame) {
  std::string manyOfA;
  std::string manyOfAThenB = "A1 B1";
  for (int i = 1; i <= 31; ++i) {
    manyOfA += "A" + std::to_string(i) + " ";
    if (i > 1) manyOfAThenB += " A" + std::to_string(i);
  }
  const struct {
    char holder;
    std::string arrivals;
    std::string order;
  } cases[] = {
      {'D', "A1", "A1"},
      {'D', "A1 A2 A3 A4 B1 B2 C1", "A1 B1 C1 A2 B2 A3 A4"},
      {'D', "B1 A1 A2 C1 A3 B2", "B1 A1 C1 B2 A2 A3"},
      // One caller's long queue: another caller waits for one of its commands.
      {'D', manyOfA + "B1", manyOfAThenB},
      // The holder's caller has had its turn: callers that came meanwhile go first.
      {'A', manyOfA + "B1", "B1 " + manyOfA.substr(0, manyOfA.size() - 1)},
      {'A', "A1 B1 A2 C1", "B1 C1 A1 A2"},
      {'B', "A1 B1 A2 B2 C1", "A1 C1 B1 A2 B2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OrderOfTurns(c.holder, Words(c.arrivals)), c.order)
        << c.holder << " holds, then " << c.arrivals;
  }
}

// Threads that take the lock again and again, as the workers of pipelining connections do.
TEST(CallerTurns, OneHolderAtATimeAndEveryWaiterGetsItsTurn) {
  constexpr int kThreadsPerCaller = 4;
  constexpr int kRounds = 300;
  CallerTurns turns;
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::map<std::string, int> turnsOf;  // written while the lock is held
  std::vector<std::future<void>> threads;
  for (const auto& [letter, caller] : kCallers) {
    for (int t = 0; t < kThreadsPerCaller; ++t) {
      threads.push_back(std::async(std::launch::async, [&, who = caller] {
        for (int round = 0; round < kRounds; ++round) {
          CallerTurn turn(turns, who);
          if (++inside > 1) ++overlaps;
          ++turnsOf[who];
          --inside;
        }
      }));
    }
  }
  for (auto& thread : threads) {
    ASSERT_EQ(thread.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  }
  EXPECT_EQ(overlaps, 0);
  for (const auto& [letter, caller] : kCallers) {
    EXPECT_EQ(turnsOf[caller], kThreadsPerCaller * kRounds) << caller;
  }
  EXPECT_EQ(turns.Waiting(), 0u);
  // The lock is free again.
  CallerTurn last(turns, "uid 1000");
}

}  // namespace
}  // namespace tarnel
