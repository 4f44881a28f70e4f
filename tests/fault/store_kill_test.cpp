// The service killed with SIGKILL at random points while registrations stream in: after
// every kill the store must be one whole JSON object whose members each hold the value of
// the registration before or of the one being written, never a torn file.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "command_channel/ipc_client.h"
#include "command_channel/service_run.h"
#include "fault/fault_support.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";
const char kStoreName[] = "updater.json";
constexpr int kKills = 40;
constexpr int kReplyTimeoutMs = 30000;

std::string PackagePath(int index) { return "/downloads/pkg-" + std::to_string(index) + ".exe"; }
std::string PackageVersion(int index) { return "1.0." + std::to_string(index); }
std::string PackageDigest(int index) {
  std::string digest = std::to_string(index);
  return std::string(64 - digest.size(), 'a') + digest;
}

Json::Value Registration(int index) {
  Json::Value message;
  message["type"] = "new_install_package";
  message["package_full_path"] = PackagePath(index);
  message["package_target_version"] = PackageVersion(index);
  message["package_sha256"] = PackageDigest(index);
  return message;
}

// The registration index a string member belongs to; -1 when the member is missing, -2
// when it holds a value no registration sent.
int IndexOf(const Json::Value& store, const char* member, std::string (*valueOf)(int),
            int lastSent) {
  if (!store.isMember(member)) return -1;
  const Json::Value& value = store[member];
  if (!value.isString()) return -2;
  for (int index = lastSent; index >= 0; --index) {
    if (value.asString() == valueOf(index)) return index;
  }
  return -2;
}

struct StoreState {
  int path = -1;
  int version = -1;
  int digest = -1;
  bool pending = false;
};

// Checks a store read after a kill. The service handles the registrations of a round in
// the order sent, from roundStart on (those it had received but not handled when it was
// killed are lost), and each one writes the flag, the path, the version and the digest, one
// store replacement each. So the store must be the one of the previous check, or show a
// registration p of this round with each later member holding p's value or the value it
// had before p.
::testing::AssertionResult CheckStore(const std::string& text, int roundStart, int lastSent,
                                      StoreState* state) {
  Json::Value store;
  if (!ParseStoreObject(text, &store)) {
    return ::testing::AssertionFailure() << "not one whole JSON object: " << text;
  }
  for (const std::string& name : store.getMemberNames()) {
    if (name != "PendingUpdate" && name != "InstallerPath" && name != "InstallerTargetVersion" &&
        name != "InstallerSha256") {
      return ::testing::AssertionFailure() << "unexpected member " << name << " in " << text;
    }
  }
  StoreState now;
  if (store.isMember("PendingUpdate")) {
    if (!store["PendingUpdate"].isIntegral() || store["PendingUpdate"].asInt() != 1) {
      return ::testing::AssertionFailure() << "PendingUpdate is not 1: " << text;
    }
    now.pending = true;
  }
  now.path = IndexOf(store, "InstallerPath", PackagePath, lastSent);
  now.version = IndexOf(store, "InstallerTargetVersion", PackageVersion, lastSent);
  now.digest = IndexOf(store, "InstallerSha256", PackageDigest, lastSent);
  if (now.path == -2 || now.version == -2 || now.digest == -2) {
    return ::testing::AssertionFailure() << "a value no registration sent: " << text;
  }
  const StoreState& previous = *state;
  const bool unchanged = now.path == previous.path && now.version == previous.version &&
                         now.digest == previous.digest && (now.pending || !previous.pending);
  StoreState before = previous;
  if (now.path > roundStart) before = {now.path - 1, now.path - 1, now.path - 1, true};
  const bool versionInStep = now.version == now.path || now.version == before.version;
  const bool digestInStep =
      now.digest == now.path ? now.version == now.path : now.digest == before.digest;
  const bool registering = now.path >= roundStart && now.pending && versionInStep && digestInStep;
  if (!unchanged && !registering) {
    return ::testing::AssertionFailure()
           << "neither the old nor the new values (round from " << roundStart << "): " << text;
  }
  *state = now;
  return ::testing::AssertionSuccess();
}

// What is_update_needed must answer for a store: only a raised flag with a target version
// leads on to the comparison, and every registered version is newer than 0.1.
bool ExpectedAnswer(const StoreState& state) { return state.pending && state.version >= 0; }

uint64_t StoreInode(const std::string& state) {
  struct stat info {};
  return stat((state + kStoreName).c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
}

bool AskUpdateNeeded(IPCClient* client, bool* answer) {
  Json::Value check;
  check["type"] = "is_update_needed";
  check["current_version"] = "0.1";
  Json::Value reply;
  if (!client->SendJsonMessage(check) ||
      client->ReadJsonMessage(&reply, kReplyTimeoutMs) != IPCClient::ReadResult::kMessage ||
      !reply["update_needed"].isBool()) {
    return false;
  }
  *answer = reply["update_needed"].asBool();
  return true;
}

TEST(StoreUnderKills, EveryKillLeavesAWholeStoreWithTheOldOrTheNewValues) {
  ServiceRun service;
  const std::string state = service.Folder() + "state/";
  ASSERT_TRUE(WriteFile(state + kStoreName, "{}"));
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> delayMs(0, 60);

  std::atomic<int> nextIndex{0};
  StoreState seen;
  int roundsWithProgress = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    SCOPED_TRACE("kill " + std::to_string(kill));
    ASSERT_TRUE(service.Start({"--no-service"}));
    IPCClient client(false);
    ASSERT_TRUE(client.Connect(kPipe, /*retry=*/true));
    bool answer = false;
    ASSERT_TRUE(AskUpdateNeeded(&client, &answer));
    EXPECT_EQ(answer, ExpectedAnswer(seen));

    const int roundStart = nextIndex;
    const uint64_t inodeAtStart = StoreInode(state);
    std::thread sender([&client, &nextIndex] {
      while (client.SendJsonMessage(Registration(nextIndex))) ++nextIndex;
    });
    // Every write puts a new file in place: once the store's inode changed, the service is
    // writing, and the kill falls at a random point after that.
    EXPECT_TRUE(WaitUntil([&] { return StoreInode(state) != inodeAtStart; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs(random)));
    service.Process().Kill();
    sender.join();

    const int before = seen.path;
    ASSERT_TRUE(CheckStore(ReadFile(state + kStoreName), roundStart, nextIndex, &seen));
    if (seen.path > before) ++roundsWithProgress;
    // A write cut short may leave its temporary file; the next write takes its place.
    EXPECT_LE(OtherFiles(state, kStoreName).size(), 1u)
        << ::testing::PrintToString(OtherFiles(state, kStoreName));
  }

  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient client(false);
  ASSERT_TRUE(client.Connect(kPipe, /*retry=*/true));
  const int last = nextIndex + 1;
  ASSERT_TRUE(client.SendJsonMessage(Registration(last)));
  bool answer = false;
  ASSERT_TRUE(AskUpdateNeeded(&client, &answer));
  EXPECT_TRUE(answer);
  ASSERT_TRUE(CheckStore(ReadFile(state + kStoreName), last, last, &seen));
  EXPECT_EQ(seen.path, last);
  EXPECT_EQ(seen.digest, last);
  EXPECT_TRUE(OtherFiles(state, kStoreName).empty())
      << ::testing::PrintToString(OtherFiles(state, kStoreName));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  std::printf("[ figures  ] %d kills, %d registrations sent, %d rounds changed the store\n", kKills,
              nextIndex.load(), roundsWithProgress);
}

}  // namespace
}  // namespace tarnel::testing
