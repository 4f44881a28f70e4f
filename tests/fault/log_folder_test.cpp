// The log folder removed, read-only or full: every entry still reaches standard output,
// commands are still answered and a stop still ends the service. Standard output gone: the
// entries still reach the log file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "command_channel/ipc_client.h"
#include "command_channel/service_run.h"
#include "fault/fault_support.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";
constexpr int kReplyTimeoutMs = 30000;

bool AnswersCheck(IPCClient* client, const std::string& currentVersion) {
  Json::Value check;
  check["type"] = "is_update_needed";
  check["current_version"] = currentVersion;
  Json::Value reply;
  return client->SendJsonMessage(check) &&
         client->ReadJsonMessage(&reply, kReplyTimeoutMs) == IPCClient::ReadResult::kMessage &&
         reply.isObject() && reply.size() == 1 && reply["update_needed"].isBool() &&
         !reply["update_needed"].asBool();
}

struct LogFault {
  const char* name;
  // Before the start: prepares the log folder; null (with *why) when the machine cannot.
  std::function<std::shared_ptr<void>(const std::string& logs, std::string* why)> beforeStart;
  // While the service runs.
  std::function<void(const std::string& logs)> whileRunning;
};

std::shared_ptr<void> Nothing(const std::string&, std::string*) { return std::make_shared<int>(0); }

void RunWithLogFault(const LogFault& fault) {
  SCOPED_TRACE(fault.name);
  ServiceRun service;
  const std::string logs = service.Folder() + "data/Tarnel/Logs/";
  std::string why;
  std::shared_ptr<void> prepared = fault.beforeStart(logs, &why);
  if (!prepared) {
    std::printf("[ skipped  ] %s: %s\n", fault.name, why.c_str());
    return;
  }
  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient client(false);
  ASSERT_TRUE(client.Connect(kPipe, /*retry=*/true));
  ASSERT_TRUE(AnswersCheck(&client, "1.0"));
  fault.whileRunning(logs);
  // Received commands are logged with their whole text; the versions mark the entries.
  for (int round = 0; round < 50; ++round) {
    ASSERT_TRUE(AnswersCheck(&client, "7.7." + std::to_string(round)));
  }
  IPCClient second(false);
  ASSERT_TRUE(second.Connect(kPipe, /*retry=*/true));
  EXPECT_TRUE(AnswersCheck(&second, "8.8.8"));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  const std::string console = service.Output();
  EXPECT_TRUE(
      InOrder(console, {"\"current_version\" : \"7.7.0\"", "\"current_version\" : \"7.7.49\"",
                        "\"current_version\" : \"8.8.8\"", "UpdaterManager: SetStopped"}))
      << console;
}

TEST(LogFolderFaults, EntriesReachStandardOutputAndCommandsWork) {
  const LogFault faults[] = {
      {"log folder removed while running", Nothing,
       [](const std::string& logs) { std::filesystem::remove_all(logs); }},
      {"log folder read-only from the start",
       [](const std::string& logs, std::string* why) -> std::shared_ptr<void> {
         if (auto mount = ScopedMount::ReadOnly(logs)) return mount;
         if (auto folder = ScopedUnwritableFolder::Make(logs)) return folder;
         *why = "neither a read-only bind mount nor an unwritable folder is allowed here";
         return nullptr;
       },
       [](const std::string&) {}},
      {"log file system full while running",
       [](const std::string& logs, std::string* why) -> std::shared_ptr<void> {
         if (auto mount = ScopedMount::Tmpfs(logs, 128 * 1024)) return mount;
         *why = "mounting a tmpfs is not allowed here";
         return nullptr;
       },
       [](const std::string& logs) { EXPECT_TRUE(FillFileSystem(logs, "filler")); }},
  };
  for (const LogFault& fault : faults) RunWithLogFault(fault);
}

// Standard output is the journal's stream under systemd; when its reader goes away (the
// journal restarts, the terminal closes), writing a log entry must not end the service.
TEST(StandardOutputFaults, ReaderGoneLeavesTheServiceRunning) {
  ServiceRun service;
  // The service's output file becomes a FIFO whose reader the test closes.
  const std::string fifo = service.Folder() + "service-output.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient client(false);
  ASSERT_TRUE(client.Connect(kPipe, /*retry=*/true));
  ASSERT_TRUE(AnswersCheck(&client, "1.0"));
  close(reader);
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(AnswersCheck(&client, "7.7." + std::to_string(round))) << round;
  }
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  // The log file still has every entry.
  EXPECT_TRUE(
      InOrder(service.Log(), {"\"current_version\" : \"7.7.19\"", "UpdaterManager: SetStopped"}));
}

}  // namespace
}  // namespace tarnel::testing
