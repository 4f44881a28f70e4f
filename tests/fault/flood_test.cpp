// Many clients at once against the real service: a thousand simultaneous connections,
// two hundred clients with a hundred mixed commands each, and clients that send half a
// frame and vanish. Every well-formed command must be answered correctly, and afterwards
// the service must hold no more threads, descriptors or memory than before, and stop.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "command_channel/ipc_client.h"
#include "command_channel/ipc_server.h"
#include "command_channel/json_frame.h"
#include "command_channel/service_run.h"
#include "fault/fault_support.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";
constexpr int kSimultaneous = 1000;
constexpr int kMixedClients = 200;
constexpr int kCommandsPerClient = 100;
constexpr int kHalfFrameClients = 300;
constexpr int kOpenAtStop = 200;
constexpr int kReplyTimeoutMs = 60000;
// The registered package's version; the checks below ask with versions around it.
const char kTargetVersion[] = "5.0.0";
// Resident memory may stay above idle by what the allocator keeps for reuse.
constexpr int64_t kResidentSlackKiB = 48 * 1024;

Json::Value Check(const std::string& currentVersion) {
  Json::Value message;
  message["type"] = "is_update_needed";
  message["current_version"] = currentVersion;
  return message;
}

Json::Value Registration() {
  Json::Value message;
  message["type"] = "new_install_package";
  message["package_full_path"] = "/downloads/flood.exe";
  message["package_target_version"] = kTargetVersion;
  message["package_sha256"] = std::string(64, 'f');
  return message;
}

// Sends a check and tells whether the reply is exactly the expected answer.
bool CheckAnswered(IPCClient* client, const std::string& currentVersion, bool expected) {
  Json::Value reply;
  if (!client->SendJsonMessage(Check(currentVersion)) ||
      client->ReadJsonMessage(&reply, kReplyTimeoutMs) != IPCClient::ReadResult::kMessage) {
    return false;
  }
  Json::Value want;
  want["update_needed"] = expected;
  return reply == want;
}

// One command of the mix: what to send and what must come back (null: no reply).
struct MixedCommand {
  std::string frame;
  Json::Value reply;
};

std::vector<MixedCommand> CommandMix() {
  Json::Value older;
  older["update_needed"] = true;
  Json::Value notOlder;
  notOlder["update_needed"] = false;
  const std::string noNul = WriteCompactJson(Check("2"));
  return {
      {EncodeFrame(WriteCompactJson(Check("4.9"))), older},
      {EncodeFrame(WriteCompactJson(Check("5.0.0"))), notOlder},
      {EncodeFrame(WriteCompactJson(Check("6.1.2"))), notOlder},
      {EncodeFrame(WriteCompactJson(Check("5.0.0-rc1"))), older},
      // The reader allows comments and ignores text after the value.
      {EncodeFrame("/* c */ {\"type\":\"is_update_needed\",\"current_version\":\"1\",} tail"),
       older},
      {EncodeFrame(WriteCompactJson(Check("garbage.x"))), notOlder},
      {EncodeFrame(WriteCompactJson(Registration())), Json::Value()},
      {EncodeFrame("{\"type\":\"is_update_needed\",\"current_version\":3}"), older},
      // A payload without its NUL is read to the frame's end and no further.
      {EncodeFrameLength(static_cast<int32_t>(noNul.size())) + noNul, older},
  };
}

// Seconds since `start`, for the figures printed (not checked).
double Seconds(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Connection workers and the listening thread carry the pipe's name.
int ConnectionWorkers(long pid) { return CountThreadsNamed(pid, kPipe) - 1; }

// The service's threads, descriptors and memory once the connections of a phase are gone.
// Finished workers are reaped when the next connection is accepted, so every try makes one.
::testing::AssertionResult SettlesAt(long pid, const ProcessFigures& idle, ProcessFigures* now) {
  const bool settled = WaitUntil(
      [&] {
        IPCClient probe(false);
        if (!probe.Connect(kPipe, /*retry=*/true) || !CheckAnswered(&probe, "9.9", false)) {
          return false;
        }
        probe.Disconnect();
        if (!WaitUntil([&] { return ConnectionWorkers(pid) == 0; }, std::chrono::seconds(1))) {
          return false;
        }
        *now = ReadProcessFigures(pid);
        return now->threads <= idle.threads && now->descriptors <= idle.descriptors;
      },
      std::chrono::seconds(60));
  if (settled) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "threads " << now->threads << " (idle " << idle.threads << "), descriptors "
         << now->descriptors << " (idle " << idle.descriptors << "), connection workers "
         << ConnectionWorkers(pid);
}

class Flood : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The test's own client ends and the service's accepted ends, with room to spare; the
    // service inherits the limit.
    limitRaised = RaiseDescriptorLimit(2 * kSimultaneous + 256);
  }
  static bool limitRaised;
};
bool Flood::limitRaised = false;

TEST_F(Flood, ServiceAnswersEveryCommandAndReturnsToIdle) {
  ASSERT_TRUE(limitRaised) << "needs a descriptor limit of " << 2 * kSimultaneous + 256;
  ServiceRun service;
  // The flood is about the channel: where allowed, the store lives on a tmpfs, so that the
  // registrations' flushes to disk do not set the pace on a slow disk.
  const auto storeOnTmpfs = ScopedMount::Tmpfs(service.Folder() + "state", 1024 * 1024);
  ASSERT_TRUE(WriteFile(service.Folder() + "state/updater.json", "{}"));
  ASSERT_TRUE(service.Start({"--no-service"}));
  const long pid = service.Process().Id();
  const auto start = std::chrono::steady_clock::now();
  {
    IPCClient first(false);
    ASSERT_TRUE(first.Connect(kPipe, /*retry=*/true));
    ASSERT_TRUE(first.SendJsonMessage(Registration()));
    ASSERT_TRUE(CheckAnswered(&first, "4.0", true));
  }
  // Idle: after a few connections came and went, so that lazily made things exist.
  ProcessFigures idle;
  ASSERT_TRUE(SettlesAt(pid, ProcessFigures{1 << 20, 1 << 20, 0}, &idle));
  ProcessFigures now;
  std::printf("[ figures  ] idle: %d threads, %d descriptors, %lld KiB resident\n", idle.threads,
              idle.descriptors, static_cast<long long>(idle.residentKiB));

  // A thousand connections open at once, each with a worker of its own.
  std::vector<std::unique_ptr<IPCClient>> clients;
  for (int i = 0; i < kSimultaneous; ++i) {
    clients.push_back(std::make_unique<IPCClient>(false));
    ASSERT_TRUE(clients.back()->Connect(kPipe, /*retry=*/true)) << i;
  }
  EXPECT_TRUE(
      WaitUntil([&] { return ReadProcessFigures(pid).threads >= idle.threads + kSimultaneous; },
                std::chrono::seconds(60)))
      << ReadProcessFigures(pid).threads;
  const ProcessFigures peak = ReadProcessFigures(pid);
  for (auto& client : clients) ASSERT_TRUE(client->SendJsonMessage(Check("4.5")));
  int answered = 0;
  for (auto& client : clients) {
    Json::Value reply;
    if (client->ReadJsonMessage(&reply, kReplyTimeoutMs) == IPCClient::ReadResult::kMessage &&
        reply["update_needed"] == Json::Value(true)) {
      ++answered;
    }
  }
  EXPECT_EQ(answered, kSimultaneous);
  clients.clear();
  ASSERT_TRUE(SettlesAt(pid, idle, &now));
  std::printf(
      "[ figures  ] (%.1f s) %d simultaneous: peak %d threads, %d descriptors, %lld KiB; after: %d "
      "threads, %d descriptors, %lld KiB\n",
      Seconds(start), kSimultaneous, peak.threads, peak.descriptors,
      static_cast<long long>(peak.residentKiB), now.threads, now.descriptors,
      static_cast<long long>(now.residentKiB));

  // Two hundred clients, a hundred mixed commands each, all at once.
  const std::vector<MixedCommand> mix = CommandMix();
  std::atomic<int> wrong{0};
  std::atomic<int> replies{0};
  std::vector<std::thread> senders;
  for (int c = 0; c < kMixedClients; ++c) {
    senders.emplace_back([&, c] {
      IPCClient client(false);
      if (!client.Connect(kPipe, /*retry=*/true)) {
        wrong += kCommandsPerClient;
        return;
      }
      for (int i = 0; i < kCommandsPerClient; ++i) {
        const MixedCommand& command = mix[static_cast<size_t>(c * 3 + i) % mix.size()];
        if (!client.SendRaw(command.frame)) {
          ++wrong;
          continue;
        }
        if (command.reply.isNull()) continue;
        Json::Value reply;
        if (client.ReadJsonMessage(&reply, kReplyTimeoutMs) != IPCClient::ReadResult::kMessage ||
            reply != command.reply) {
          ++wrong;
        } else {
          ++replies;
        }
      }
    });
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(wrong, 0);
  ASSERT_TRUE(SettlesAt(pid, idle, &now));
  std::printf(
      "[ figures  ] (%.1f s) %d clients x %d commands: %d replies checked; after: %d threads, %d "
      "descriptors, %lld KiB\n",
      Seconds(start), kMixedClients, kCommandsPerClient, replies.load(), now.threads,
      now.descriptors, static_cast<long long>(now.residentKiB));

  // Clients that send half a frame and vanish, some of them while others wait for answers.
  const std::string whole = EncodeFrame(WriteCompactJson(Check("4.5")));
  const std::vector<std::string> halves = {
      whole.substr(0, 2),                                 // half the length
      whole.substr(0, 4),                                 // the length, no payload
      whole.substr(0, whole.size() / 2),                  // half the payload
      EncodeFrameLength(kMaxMessageSize) + "{\"type\":",  // a large frame begun
      EncodeFrameLength(kMaxMessageSize + 1),             // above the bound
      whole + whole.substr(0, 7),                         // a whole frame, then half a frame
  };
  for (int i = 0; i < kHalfFrameClients; ++i) {
    clients.push_back(std::make_unique<IPCClient>(false));
    ASSERT_TRUE(clients.back()->Connect(kPipe, /*retry=*/true));
    clients.back()->SendRaw(halves[static_cast<size_t>(i) % halves.size()]);
  }
  {
    IPCClient other(false);
    ASSERT_TRUE(other.Connect(kPipe, /*retry=*/true));
    EXPECT_TRUE(CheckAnswered(&other, "4.5", true));
  }
  clients.clear();
  ASSERT_TRUE(SettlesAt(pid, idle, &now));
  std::printf("[ figures  ] (%.1f s) %d half frames: after: %d threads, %d descriptors, %lld KiB\n",
              Seconds(start), kHalfFrameClients, now.threads, now.descriptors,
              static_cast<long long>(now.residentKiB));
#ifndef TARNEL_SANITIZER_BUILD
  EXPECT_LE(now.residentKiB, idle.residentKiB + kResidentSlackKiB);
#endif

  // And a stop still ends it, with connections open that are idle or hold half a frame.
  for (int i = 0; i < kOpenAtStop; ++i) {
    clients.push_back(std::make_unique<IPCClient>(false));
    ASSERT_TRUE(clients.back()->Connect(kPipe, /*retry=*/true));
    // Every half frame but the one above the bound, which the service refuses at once.
    const std::string& half = halves[static_cast<size_t>(i) % 5 == 4 ? 5 : i % 5];
    if (i % 2 == 0) clients.back()->SendRaw(half);
  }
  EXPECT_TRUE(WaitUntil([&] { return ConnectionWorkers(pid) == kOpenAtStop; }));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  int closed = 0;
  for (auto& client : clients) {
    std::string text;
    // The last frame above holds a whole command first; its reply may come before the end.
    IPCClient::ReadResult result = client->ReadText(&text, kReplyTimeoutMs);
    if (result == IPCClient::ReadResult::kMessage)
      result = client->ReadText(&text, kReplyTimeoutMs);
    closed += result == IPCClient::ReadResult::kClosed ? 1 : 0;
  }
  EXPECT_EQ(closed, kOpenAtStop);
}

// A client that sends commands and never reads their replies: once the replies fill the
// socket, the service's write to it makes no progress, and after kReplyStallLimitMs the
// service ends that connection by itself, while the client still holds its end open.
TEST(SlowReader, ConnectionWhoseRepliesStallIsEnded) {
  constexpr int kUnreadChecks = 20000;
  ServiceRun service;
  ASSERT_TRUE(service.Start({"--no-service"}));
  const long pid = service.Process().Id();
  IPCClient reader(false);
  ASSERT_TRUE(reader.Connect(kPipe, /*retry=*/true));
  ASSERT_TRUE(WaitUntil([&] { return ConnectionWorkers(pid) == 1; }));
  std::string checks;
  for (int i = 0; i < kUnreadChecks; ++i) checks += EncodeFrame(WriteCompactJson(Check("1.0")));
  // Blocks once the service stops reading; fails when the service ends the connection.
  std::thread sender([&] { reader.SendRaw(checks); });
  const auto start = std::chrono::steady_clock::now();
  const bool ended = WaitUntil([&] { return ConnectionWorkers(pid) == 0; },
                               std::chrono::milliseconds(4 * kReplyStallLimitMs));
  std::printf("[ figures  ] the stalled connection ended after %.1f s\n", Seconds(start));
  if (!ended) service.Process().Kill();  // releases the sender
  sender.join();
  ASSERT_TRUE(ended) << "the worker of a client that does not read is still there";
  // What was written before the stall is still there to read, then the end.
  int replies = 0;
  std::string reply;
  IPCClient::ReadResult result = IPCClient::ReadResult::kMessage;
  while (result == IPCClient::ReadResult::kMessage && replies <= kUnreadChecks) {
    result = reader.ReadText(&reply, kReplyTimeoutMs);
    if (result == IPCClient::ReadResult::kMessage) ++replies;
  }
  EXPECT_EQ(result, IPCClient::ReadResult::kClosed);
  EXPECT_GT(replies, 0);
  EXPECT_LT(replies, kUnreadChecks);
  // The service goes on serving and stops.
  IPCClient other(false);
  ASSERT_TRUE(other.Connect(kPipe, /*retry=*/true));
  EXPECT_TRUE(CheckAnswered(&other, "1.0", false));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace tarnel::testing
