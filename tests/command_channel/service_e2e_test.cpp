// The real service executable in the foreground, driven by the real client tool.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "command_channel/ipc_client.h"
#include "command_channel/json_frame.h"
#include "command_channel/service_run.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";

// The tool's output without its line end (CR LF on Windows).
std::string Line(const std::string& output) {
  return output.substr(0, output.find_last_not_of("\r\n") + 1);
}

TEST(ServiceForeground, CheckThenStopLogsTheStepsInOrder) {
  ServiceRun service;
  ASSERT_TRUE(service.Start({"--no-service"}));
  std::string output;
  // The client retries while the service starts.
  EXPECT_EQ(service.Client({"check", "1.0"}, &output), 0) << output;
  EXPECT_EQ(Line(output), "{\"update_needed\":false}");
  EXPECT_EQ(service.Client({"send", "{\"type\":\"nonsense\"}", "--reply"}, &output), 3);
  EXPECT_NE(output.find("closed the connection without a reply"), std::string::npos) << output;
  EXPECT_EQ(service.Client({"stop"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  const std::string log = service.Log();
  EXPECT_TRUE(InOrder(log, {"UpdaterManager: SetStarting", "UpdaterManager: SetStarted",
                            "Updater ready", "UpdaterManager: SetStopping",
                            "UpdaterManager: SetStopped"}))
      << log;
  // The socket accepts from the start of the channel on, so the first command may come
  // before "Updater ready" is logged.
  EXPECT_TRUE(InOrder(
      log,
      {"UpdaterManager: SetStarting", "\"type\" : \"is_update_needed\"",
       "handle communication type nonsense is unknown", "\"type\" : \"stop_service\"",
       "UpdaterManager: SetStopping", "UpdaterManager: SetStopped"}))
      << log;
  EXPECT_TRUE(InOrder(
      log, {"UpdaterManager: SetStarting",
            "Installer publisher: none, installers are started without a signature check",
            "UpdaterManager: SetStarted"}))
      << log;
  EXPECT_EQ(CountOf(log, "Windows Service is asked to be stopped..."), 0);
}

TEST(ServiceForeground, IdleClientsDoNotKeepTheServiceFromStopping) {
  ServiceRun service;
  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient silent(false);
  ASSERT_TRUE(silent.Connect(kPipe, /*retry=*/true));
  IPCClient halfFrame(false);
  ASSERT_TRUE(halfFrame.Connect(kPipe, /*retry=*/true));
  ASSERT_TRUE(halfFrame.SendRaw(EncodeFrame("{\"type\":\"stop_service\"}").substr(0, 7)));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  EXPECT_EQ(Line(output), "{\"status\":\"ok\"}");
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  std::string reply;
  EXPECT_EQ(silent.ReadText(&reply, 10000), IPCClient::ReadResult::kClosed);
  EXPECT_EQ(halfFrame.ReadText(&reply, 10000), IPCClient::ReadResult::kClosed);
  EXPECT_TRUE(
      InOrder(service.Log(), {"UpdaterManager: SetStopping", "UpdaterManager: SetStopped"}));
}


TEST(ServiceForeground, ClientThatNeverReadsFreezesNothing) {
  // Replies to this many checks fill every pipe and socket buffer many times over.
  constexpr int kUnreadChecks = 20000;
  // How the service logs each of them (received commands are logged at SENSITIVE).
  const std::string floodLine = "\"current_version\" : \"1.0\"";
  ServiceRun service;
  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient flood(false);
  ASSERT_TRUE(flood.Connect(kPipe, /*retry=*/true));
  std::string checks;
  for (int i = 0; i < kUnreadChecks; ++i) {
    checks += EncodeFrame(R"({"type":"is_update_needed","current_version":"1.0"})");
  }
  // Blocks once the service stops reading; fails when the service ends the connection.
  std::thread sender([&] { flood.SendRaw(checks); });
  // Once the service stops taking the flood's commands, its worker is blocked writing a
  // reply. No ASSERT until the service ended: the sender ends only with the connection.
  EXPECT_TRUE(
      WaitUntilSteady([&] { return CountOf(service.Log(), floodLine); }, std::chrono::seconds(1),
                      std::chrono::seconds(90)));

  std::string output;
  EXPECT_EQ(service.Client({"check", "2.0"}, &output), 0) << output;
  EXPECT_EQ(Line(output), "{\"update_needed\":false}");
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  EXPECT_EQ(Line(output), "{\"status\":\"ok\"}");
  // The service ends only when the stop has joined every thread, the blocked one included.
  int status = -1;
  EXPECT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  sender.join();
  const int handled = CountOf(service.Log(), floodLine);
  EXPECT_GT(handled, 0);
  EXPECT_LT(handled, kUnreadChecks) << "the replies never filled the pipe";
  std::string reply;
  IPCClient::ReadResult result = IPCClient::ReadResult::kMessage;
  for (int i = 0; i <= handled && result == IPCClient::ReadResult::kMessage; ++i) {
    result = flood.ReadText(&reply, 10000);
  }
  EXPECT_EQ(result, IPCClient::ReadResult::kClosed);
}

TEST(ClientTool, UsageAndErrors) {
  ServiceRun unused;
  std::string output;
  EXPECT_EQ(unused.Client({"--help"}, &output), 0);
  EXPECT_NE(output.find("Usage: tarnel-updater-client [--pipe NAME] COMMAND"), std::string::npos)
      << output;
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{},
                                             {"check"},
                                             {"register", "a", "b"},
                                             {"install", "--user"},
                                             {"stop", "now"},
                                             {"frobnicate"},
                                             {"check", "1", "--pipe"}}) {
    EXPECT_EQ(unused.Client(args, &output), 1) << (args.empty() ? "" : args[0]) << output;
  }
  EXPECT_EQ(unused.Client({"--pipe", "tarnel_no_such_pipe", "check", "1.0"}, &output), 2);
  EXPECT_NE(output.find("cannot connect to pipe tarnel_no_such_pipe"), std::string::npos) << output;
}

}  // namespace
}  // namespace tarnel::testing
