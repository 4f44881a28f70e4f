// The service at its limit of open descriptors: connections beyond it wait in the socket's
// queue without the listening thread spinning on the failed accept, and are served once
// other connections close.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "command_channel/ipc_client.h"
#include "command_channel/service_run.h"
#include "fault/fault_support.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";
constexpr rlim_t kServiceLimit = 48;
constexpr int kHeld = 40;     // fill the service's descriptors
constexpr int kWaiting = 40;  // wait in the socket's queue (64 places)

TEST(DescriptorLimit, ConnectionsBeyondTheLimitWaitWithoutSpinningAndAreServedLater) {
  ServiceRun service;
  ASSERT_TRUE(WriteFile(service.Folder() + "state/updater.json", "{}"));
  ASSERT_TRUE(service.Start({"--no-service"}));
  const long pid = service.Process().Id();
  {
    IPCClient first(false);
    ASSERT_TRUE(first.Connect(kPipe, /*retry=*/true));
    ASSERT_TRUE(IsUpdateCheckAnswered(&first));
  }
  const rlimit low{kServiceLimit, kServiceLimit};
  if (prlimit(static_cast<pid_t>(pid), RLIMIT_NOFILE, &low, nullptr) != 0) {
    GTEST_SKIP() << "cannot lower the service's descriptor limit here";
  }
  std::vector<std::unique_ptr<IPCClient>> clients;
  for (int i = 0; i < kHeld + kWaiting; ++i) {
    clients.push_back(std::make_unique<IPCClient>(false));
    ASSERT_TRUE(clients.back()->Connect(kPipe, /*retry=*/false)) << i;
  }
  ASSERT_TRUE(WaitUntil(
      [&] { return ReadProcessFigures(pid).descriptors >= static_cast<int>(kServiceLimit); }));
  // Long enough for a listening thread that retries the failed accept at once to make
  // hundreds of thousands of attempts.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  clients.erase(clients.begin(), clients.begin() + kHeld);
  int answered = 0;
  for (auto& client : clients) answered += IsUpdateCheckAnswered(client.get()) ? 1 : 0;
  EXPECT_EQ(answered, kWaiting);
  clients.clear();

  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  // Each failed accept is one log line; a few per second are a wait, thousands a spin.
  const int failedAccepts = CountOf(service.Log(), "client could not connect");
  std::printf("[ figures  ] %d failed accepts logged at the descriptor limit\n", failedAccepts);
  EXPECT_LT(failedAccepts, 200);
}

}  // namespace
}  // namespace tarnel::testing
