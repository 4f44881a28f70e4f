// The command socket's file removed or replaced while the service runs: the service binds
// its socket anew, so that clients reach it again, and a stop still ends it.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "command_channel/ipc_client.h"
#include "command_channel/service_run.h"
#include "fault/fault_support.h"
#include "platform/pipe.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";

bool NewClientAnswered() {
  IPCClient client(false);
  return client.Connect(kPipe, /*retry=*/true) && IsUpdateCheckAnswered(&client);
}

TEST(SocketFileFaults, RemovedOrReplacedSocketIsBoundAgainAndStopWorks) {
  const std::string socketPath = platform::PipePath(kPipe);
  const struct {
    const char* name;
    std::function<void()> damage;
  } cases[] = {
      {"socket file removed", [&] { std::filesystem::remove(socketPath); }},
      {"socket file replaced by a plain file",
       [&] {
         std::filesystem::remove(socketPath);
         WriteFile(socketPath, "not a socket");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServiceRun service;
    ASSERT_TRUE(WriteFile(service.Folder() + "state/updater.json", "{}"));
    ASSERT_TRUE(service.Start({"--no-service"}));
    IPCClient early(false);
    ASSERT_TRUE(early.Connect(kPipe, /*retry=*/true));
    ASSERT_TRUE(IsUpdateCheckAnswered(&early));
    c.damage();
    // A connection made before keeps working; new ones reach the service again.
    EXPECT_TRUE(IsUpdateCheckAnswered(&early));
    EXPECT_TRUE(WaitUntil(NewClientAnswered, std::chrono::seconds(30)));
    Json::Value stop;
    stop["type"] = "stop_service";
    stop["need_reply"] = true;
    Json::Value reply;
    ASSERT_TRUE(early.SendJsonMessage(stop));
    EXPECT_EQ(early.ReadJsonMessage(&reply, 60000), IPCClient::ReadResult::kMessage);
    int status = -1;
    ASSERT_TRUE(service.WaitForExit(&status));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(std::filesystem::exists(socketPath));
  }
}

}  // namespace
}  // namespace tarnel::testing
