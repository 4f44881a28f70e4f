// The pipe server, its frames and the updater commands, through real pipes (Unix sockets
// on Linux) and a real IPCClient. Where the outcome of a manager operation matters, the
// server drives a fake manager that records its calls (tests named ...WithFakeManager).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "command_channel/caller_limits.h"
#include "command_channel/ipc_client.h"
#include "command_channel/json_frame.h"
#include "command_channel/updater_ipc_server.h"
#include "platform/pipe.h"
#include "service_host/updater_manager.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;
using testing::WaitUntil;
using testing::WaitUntilSteady;
using ReadResult = IPCClient::ReadResult;

constexpr int32_t kReplyWaitMs = 10000;
// Long enough to tell "no reply" on a connection that stays open.
constexpr int32_t kNoReplyWaitMs = 300;

std::string UniquePipeName() {
  static std::atomic<int> counter{0};
  return "tarnel_test_pipe_" + std::to_string(counter++);
}

class FakeManager : public UpdaterManager {
 public:
  int Run(int, char**) override { return 0; }
  bool Stop() override {
    if (stopHook) stopHook();
    ++stops;
    return true;
  }
  bool Install(std::string user, std::string display) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      installs.push_back({user, display});
    }
    if (installHook) installHook();
    return installResult;
  }
  // The property store in memory, empty at first.
  bool GetRegPendingUpdate(bool& pending) override {
    ++pendingReads;  // once per "is_update_needed"
    std::lock_guard<std::mutex> lock(mutex);
    pending = pendingUpdate;
    return true;
  }
  bool ResetRegPendingUpdate(bool pending) override {
    std::lock_guard<std::mutex> lock(mutex);
    pendingUpdate = pending;
    return true;
  }
  bool GetUpdaterStringValue(const std::string& name, std::string& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = values.find(name);
    if (found == values.end()) return false;
    value = found->second;
    return true;
  }
  bool SetUpdaterStringValue(const std::string& name, const std::string& value) override {
    std::lock_guard<std::mutex> lock(mutex);
    values[name] = value;
    return true;
  }

  std::vector<std::pair<std::string, std::string>> Installs() {
    std::lock_guard<std::mutex> lock(mutex);
    return installs;
  }

  std::atomic<int> stops{0};
  std::atomic<int> pendingReads{0};
  bool installResult = true;
  std::function<void()> installHook;
  std::function<void()> stopHook;

 private:
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> installs;
  bool pendingUpdate = false;
  std::map<std::string, std::string> values;
};

// A server on a pipe of its own; the client helpers connect to it.
class ChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pipeName = UniquePipeName();
    server = std::make_unique<UpdaterIPCServer>(&manager);
    server->Start(pipeName, /*systemOnly=*/false, /*concurrent=*/false, /*logFailures=*/true);
  }
  void TearDown() override { StopServer(); }

  void StopServer() {
    if (!server) return;
    auto stopping = std::async(std::launch::async, [this] { server->Stop(); });
    ASSERT_EQ(stopping.wait_for(std::chrono::seconds(30)), std::future_status::ready)
        << "Stop did not return";
    server.reset();
  }

  std::unique_ptr<IPCClient> Connect() {
    auto client = std::make_unique<IPCClient>(/*verbose=*/false);
    EXPECT_TRUE(client->Connect(pipeName, /*retry=*/true));
    return client;
  }

  // Sends a text frame and returns the reply text; "" when none came.
  std::string Ask(IPCClient& client, const std::string& text) {
    EXPECT_TRUE(client.SendText(text));
    std::string reply;
    EXPECT_EQ(client.ReadText(&reply, kReplyWaitMs), ReadResult::kMessage) << "for " << text;
    return reply;
  }

  // The connection is open and serves commands: a check gets its reply.
  void ExpectServed(IPCClient& client) {
    EXPECT_EQ(Ask(client, R"({"type":"is_update_needed","current_version":"1.0"})"),
              R"({"update_needed":false})");
  }

  void ExpectClosedWithoutReply(IPCClient& client) {
    std::string reply;
    EXPECT_EQ(client.ReadText(&reply, kReplyWaitMs), ReadResult::kClosed) << reply;
  }

  void ExpectNoReplyYet(IPCClient& client) {
    std::string reply;
    EXPECT_EQ(client.ReadText(&reply, kNoReplyWaitMs), ReadResult::kTimedOut) << reply;
  }

  FakeManager manager;
  std::string pipeName;
  std::unique_ptr<UpdaterIPCServer> server;
};

// --- Admission ------------------------------------------------------------------------

// This process is the server's own user: root or the service's user on Linux, an
// administrator under Wine (where every process is one). Such a caller is never bounded.
TEST_F(ChannelTest, ServersOwnUserIsNotBoundedToThirtyTwoConnections) {
  std::vector<std::unique_ptr<IPCClient>> clients;
  for (int i = 0; i < kMaxConnectionsPerCaller + 8; ++i) {
    clients.push_back(Connect());
    ExpectServed(*clients.back());
  }
}

// --- Frames ---------------------------------------------------------------------------

TEST_F(ChannelTest, FrameArrivingInChunksIsReassembled) {
  auto client = Connect();
  const std::string frame = EncodeFrame(R"({"type":"is_update_needed"})");
  for (const std::string& piece :
       {frame.substr(0, 1), frame.substr(1, 3), frame.substr(4, 5), frame.substr(9)}) {
    ASSERT_TRUE(client->SendRaw(piece));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::string reply;
  ASSERT_EQ(client->ReadText(&reply, kReplyWaitMs), ReadResult::kMessage);
  EXPECT_EQ(reply, R"({"update_needed":false})");
}

TEST_F(ChannelTest, ReplyFrameBytesAreExact) {
  auto client = Connect();
  ASSERT_TRUE(client->SendText(R"({"type":"is_update_needed"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"stop_service","need_reply":true})"));
  const std::string expected = std::string("\x18\0\0\0", 4) + R"({"update_needed":false})" +
                               std::string(1, '\0') + std::string("\x10\0\0\0", 4) +
                               R"({"status":"ok"})" + std::string(1, '\0');
  std::string bytes;
  ASSERT_EQ(client->ReadRaw(&bytes, static_cast<uint32_t>(expected.size()), kReplyWaitMs),
            ReadResult::kMessage);
  EXPECT_EQ(bytes, expected);
  ExpectNoReplyYet(*client);
}

// Replies to every message with a fixed value: the frame writer on its own.
class ReplyServer : public IPCServer {
 public:
  explicit ReplyServer(Json::Value value) : reply(std::move(value)) {}
  ~ReplyServer() { Stop(); }

 protected:
  bool HandleCommunication(platform::PipeHandle, const Json::Value&, Reply* out) override {
    out->message = reply;
    return true;
  }

 private:
  Json::Value reply;
};

std::string AskReplyServer(const Json::Value& reply, uint32_t bytesExpected) {
  ReplyServer server(reply);
  const std::string name = UniquePipeName();
  server.Start(name, false, false, true);
  IPCClient client(false);
  EXPECT_TRUE(client.Connect(name, true));
  EXPECT_TRUE(client.SendText("{}"));
  std::string bytes;
  EXPECT_EQ(client.ReadRaw(&bytes, bytesExpected, kReplyWaitMs), ReadResult::kMessage);
  std::string extra;
  EXPECT_EQ(client.ReadRaw(&extra, 1, kNoReplyWaitMs), ReadResult::kTimedOut);
  server.Stop();
  return bytes;
}

TEST(FrameWriter, TrueUpdateNeededReplyIsLength23) {
  Json::Value reply(Json::objectValue);
  reply["update_needed"] = true;
  EXPECT_EQ(AskReplyServer(reply, 27),
            std::string("\x17\0\0\0", 4) + R"({"update_needed":true})" + std::string(1, '\0'));
}

TEST(FrameWriter, LargeValueGoesOutWhole) {
  // A text of 65531 bytes makes a frame of exactly 65536 bytes; one more byte spills over.
  for (size_t textSize : {65531u, 65532u, 200000u}) {
    const std::string value(textSize - 2, 'x');  // the quotes make up the rest
    const std::string bytes = AskReplyServer(Json::Value(value), textSize + 5);
    ASSERT_EQ(bytes.size(), textSize + 5);
    EXPECT_EQ(DecodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data())),
              static_cast<int32_t>(textSize + 1));
    EXPECT_EQ(bytes.substr(4, textSize), "\"" + value + "\"");
    EXPECT_EQ(bytes.back(), '\0');
  }
}

TEST_F(ChannelTest, AcceptedTextForms) {
  const std::string cases[] = {
      "/* block */ {\"type\": \"is_update_needed\", // line\n \"current_version\": \"1\",}",
      R"({"type":"is_update_needed"} trailing text [})",
      std::string(R"({"type":"is_update_needed"})") + '\0' + "garbage after the NUL",
      "\xEF\xBB\xBF{\"type\":\"is_update_needed\"}",
  };
  for (const std::string& text : cases) {
    auto client = Connect();
    EXPECT_EQ(Ask(*client, text), R"({"update_needed":false})") << text;
  }
}

TEST_F(ChannelTest, MalformedFramesCloseTheConnectionAndTheServerGoesOn) {
  std::string deep;
  for (int i = 0; i < 300; ++i) deep += "[";
  const std::vector<std::string> cases = {
      EncodeFrameLength(0),
      EncodeFrameLength(-5),
      EncodeFrameLength(-2147483647 - 1),
      // Above the bound: refused on the length alone, before any payload byte.
      EncodeFrameLength(kMaxMessageSize + 1),
      EncodeFrame(""),                                        // nothing but the NUL
      EncodeFrame(R"({"type":"is_update_needed)"),            // unterminated string
      EncodeFrame("{\"type\":\"is_update_needed\"," + deep),  // nesting above 256
      EncodeFrame("{\"a\":" + deep),
  };
  for (const std::string& bytes : cases) {
    auto client = Connect();
    ASSERT_TRUE(client->SendRaw(bytes));
    ExpectClosedWithoutReply(*client);
  }
  auto client = Connect();
  ExpectServed(*client);
}

TEST_F(ChannelTest, FrameAboveTheBoundIsLogged) {
  LogCapture log;
  auto client = Connect();
  ASSERT_TRUE(client->SendRaw(EncodeFrameLength(kMaxMessageSize + 1)));
  ExpectClosedWithoutReply(*client);
  EXPECT_TRUE(log.Contains(pipeName + " IPCServer read message failed, message size 1048577"));
}

TEST_F(ChannelTest, InvalidJsonStillLogsTheReadLine) {
  LogCapture log;
  auto client = Connect();
  ASSERT_TRUE(client->SendText(R"({"type":"x)"));
  ExpectClosedWithoutReply(*client);
  EXPECT_TRUE(log.Contains(" | SENSITIVE | " + pipeName + " read json message"));
}

TEST_F(ChannelTest, PeerClosingBetweenFramesEndsQuietly) {
  LogCapture log;
  {
    auto client = Connect();
    ExpectServed(*client);
  }
  auto next = Connect();
  ExpectServed(*next);
  EXPECT_FALSE(log.Contains(pipeName + " IPCServer")) << log.Text();
}

// --- Commands -------------------------------------------------------------------------

TEST_F(ChannelTest, StopServiceReplyDependsOnNeedReplyWithFakeManager) {
  struct Case {
    const char* text;
    bool replies;
  };
  const Case cases[] = {
      {R"({"type":"stop_service"})", false},
      {R"({"type":"stop_service","need_reply":false})", false},
      {R"({"type":"stop_service","need_reply":0})", false},
      {R"({"type":"stop_service","need_reply":null})", false},
      {R"({"type":"stop_service","need_reply":true})", true},
      {R"({"type":"stop_service","need_reply":1})", true},
      {R"({"type":"stop_service","need_reply":2.5})", true},
  };
  int expectedStops = 0;
  for (const Case& c : cases) {
    auto client = Connect();
    ASSERT_TRUE(client->SendText(c.text));
    ++expectedStops;
    if (c.replies) {
      std::string reply;
      ASSERT_EQ(client->ReadText(&reply, kReplyWaitMs), ReadResult::kMessage) << c.text;
      EXPECT_EQ(reply, R"({"status":"ok"})");
    } else {
      ExpectNoReplyYet(*client);
    }
    // Stop only signals the manager; the connection stays open for more commands.
    ExpectServed(*client);
    EXPECT_EQ(manager.stops, expectedStops) << c.text;
  }
}

TEST_F(ChannelTest, StopComesAfterTheStopReplyWasWrittenWithFakeManager) {
  auto client = Connect();
  // Runs on the worker inside the manager's Stop: the reply must be there already.
  ReadResult atStop = ReadResult::kInvalid;
  std::string replyAtStop;
  manager.stopHook = [&] { atStop = client->ReadText(&replyAtStop, kNoReplyWaitMs); };
  ASSERT_TRUE(client->SendText(R"({"type":"stop_service","need_reply":true})"));
  ASSERT_TRUE(WaitUntil([&] { return manager.stops == 1; }));
  EXPECT_EQ(atStop, ReadResult::kMessage);
  EXPECT_EQ(replyAtStop, R"({"status":"ok"})");
}

TEST_F(ChannelTest, NewInstallPackageHasNoReplyAndKeepsTheConnection) {
  auto client = Connect();
  ASSERT_TRUE(client->SendText(
      R"({"type":"new_install_package","package_full_path":"C:\\p.exe","package_target_version":"0.5","package_sha256":"ab"})"));
  ExpectNoReplyYet(*client);
  ExpectServed(*client);
}

TEST_F(ChannelTest, RegisteredPackageDecidesTheReplyWithFakeManager) {
  auto client = Connect();
  ASSERT_TRUE(client->SendText(
      R"({"type":"new_install_package","package_full_path":"/tmp/p.exe","package_target_version":"2.0","package_sha256":"ab"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"is_update_needed","current_version":"1.0"})"));
  // {"update_needed":true} is 22 bytes: length 23 with the NUL.
  const std::string expected =
      std::string("\x17\0\0\0", 4) + R"({"update_needed":true})" + std::string(1, '\0');
  std::string bytes;
  ASSERT_EQ(client->ReadRaw(&bytes, static_cast<uint32_t>(expected.size()), kReplyWaitMs),
            ReadResult::kMessage);
  EXPECT_EQ(bytes, expected);
  // A number reaches the manager as its text: "5" is newer than "2.0".
  EXPECT_EQ(Ask(*client, R"({"type":"is_update_needed","current_version":5})"),
            R"({"update_needed":false})");
  EXPECT_EQ(Ask(*client, R"({"type":"is_update_needed","current_version":1})"),
            R"({"update_needed":true})");
}

TEST_F(ChannelTest, IsUpdateNeededRepliesAlsoWithoutOrWithNumericVersion) {
  auto client = Connect();
  EXPECT_EQ(Ask(*client, R"({"type":"is_update_needed"})"), R"({"update_needed":false})");
  EXPECT_EQ(Ask(*client, R"({"type":"is_update_needed","current_version":5})"),
            R"({"update_needed":false})");
  EXPECT_EQ(Ask(*client, R"({"type":"is_update_needed","current_version":null})"),
            R"({"update_needed":false})");
}

TEST_F(ChannelTest, InstallArgumentsAreReadAsTextWithFakeManager) {
  auto client = Connect();
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":"alice","display":":0"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":5,"display":null})"));
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":true,"display":1.5})"));
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install"})"));
  ExpectNoReplyYet(*client);
  ExpectServed(*client);
  using Call = std::pair<std::string, std::string>;
  EXPECT_EQ(manager.Installs(),
            (std::vector<Call>{{"alice", ":0"}, {"5", ""}, {"true", "1.5"}, {"", ""}}));
}

TEST_F(ChannelTest, FailedInstallClosesTheConnectionWithFakeManager) {
  manager.installResult = false;
  auto client = Connect();
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":"u","display":"d"})"));
  ExpectClosedWithoutReply(*client);
  EXPECT_EQ(manager.Installs().size(), 1u);
}

TEST_F(ChannelTest, UnknownOrUnreadableCommandsAreRejectedWithFakeManager) {
  struct Case {
    std::string text;
    std::string type;  // as the ERROR line shows it
  };
  const Case cases[] = {
      {R"({"type":"STOP_SERVICE","need_reply":true})", "STOP_SERVICE"},
      {R"({"type":"","need_reply":true})", ""},
      {R"({"need_reply":true})", ""},
      {"{}", ""},
      {"null", ""},
      {R"({"type":7})", "7"},
      // Types the handler cannot convert are rejected like an unknown type.
      {R"([{"type":"stop_service"}])", ""},
      {R"("stop_service")", ""},
      {"42", ""},
      {R"({"type":["stop_service"]})", ""},
      {R"({"type":{"a":1}})", ""},
      {R"({"type":"stop_service","need_reply":"yes"})", "stop_service"},
      {R"({"type":"stop_service","need_reply":[true]})", "stop_service"},
      {R"({"type":"start_update_install","user":["a"]})", "start_update_install"},
      {R"({"type":"is_update_needed","current_version":{"v":1}})", "is_update_needed"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    auto client = Connect();
    ASSERT_TRUE(client->SendText(c.text));
    ExpectClosedWithoutReply(*client);
    EXPECT_TRUE(log.Contains(" | ERROR   | UpdaterIPCServer: handle communication type " + c.type +
                             " is unknown"))
        << c.text << "\n"
        << log.Text();
  }
  EXPECT_EQ(manager.stops, 0);
  EXPECT_TRUE(manager.Installs().empty());
}

TEST_F(ChannelTest, MembersTheCommandDoesNotReadAreNotCheckedWithFakeManager) {
  struct Case {
    const char* text;
    const char* reply;  // nullptr: none is sent
  };
  const Case cases[] = {
      {R"({"type":"is_update_needed","current_version":"1.0","need_reply":"yes"})",
       R"({"update_needed":false})"},
      {R"({"type":"is_update_needed","user":{},"display":[1],"package_sha256":{}})",
       R"({"update_needed":false})"},
      {R"({"type":"stop_service","need_reply":true,"current_version":[1],"user":{}})",
       R"({"status":"ok"})"},
      {R"({"type":"stop_service","package_full_path":{"p":1}})", nullptr},
      {R"({"type":"start_update_install","user":"u","display":"d","need_reply":"yes",)"
       R"("current_version":{}})",
       nullptr},
      {R"({"type":"new_install_package","package_full_path":"/p.exe",)"
       R"("package_target_version":"2.0","package_sha256":"ab","user":{},"need_reply":[]})",
       nullptr},
  };
  for (const Case& c : cases) {
    auto client = Connect();
    if (c.reply) {
      EXPECT_EQ(Ask(*client, c.text), c.reply) << c.text;
    } else {
      ASSERT_TRUE(client->SendText(c.text));
      ExpectNoReplyYet(*client);
    }
    // Still open: the command was handled, not rejected.
    EXPECT_FALSE(Ask(*client, R"({"type":"is_update_needed"})").empty()) << c.text;
  }
  EXPECT_EQ(manager.stops, 2);
  using Call = std::pair<std::string, std::string>;
  EXPECT_EQ(manager.Installs(), (std::vector<Call>{{"u", "d"}}));
  // The package was registered: 1.0 is older than its 2.0.
  EXPECT_EQ(Ask(*Connect(), R"({"type":"is_update_needed","current_version":"1.0"})"),
            R"({"update_needed":true})");
}

TEST_F(ChannelTest, ReceivedCommandIsLoggedStyledWithComments) {
  LogCapture log;
  auto client = Connect();
  Ask(*client, "{\"type\":\"is_update_needed\" /* why */}");
  EXPECT_TRUE(log.Contains("UpdaterIPCServer: received in service ipc server: {"));
  EXPECT_TRUE(log.Contains("\t\"type\" : \"is_update_needed\""));
  EXPECT_TRUE(log.Contains("/* why */"));
}

TEST_F(ChannelTest, SeveralCommandsOnOneConnectionInOrderWithFakeManager) {
  auto client = Connect();
  ASSERT_TRUE(client->SendText(R"({"type":"is_update_needed","current_version":"1"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":"first"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"new_install_package"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"stop_service","need_reply":1})"));
  ASSERT_TRUE(client->SendText(R"({"type":"start_update_install","user":"second"})"));
  ASSERT_TRUE(client->SendText(R"({"type":"unknown"})"));
  std::string reply;
  ASSERT_EQ(client->ReadText(&reply, kReplyWaitMs), ReadResult::kMessage);
  EXPECT_EQ(reply, R"({"update_needed":false})");
  ASSERT_EQ(client->ReadText(&reply, kReplyWaitMs), ReadResult::kMessage);
  EXPECT_EQ(reply, R"({"status":"ok"})");
  ExpectClosedWithoutReply(*client);
  using Call = std::pair<std::string, std::string>;
  EXPECT_EQ(manager.Installs(), (std::vector<Call>{{"first", ""}, {"second", ""}}));
  EXPECT_EQ(manager.stops, 1);
}

// --- Server lifetime and concurrency --------------------------------------------------

TEST_F(ChannelTest, IdleClientsDoNotBlockOtherClients) {
  auto silent = Connect();
  auto halfFrame = Connect();
  ASSERT_TRUE(halfFrame->SendRaw(EncodeFrame(R"({"type":"stop_service"})").substr(0, 6)));
  auto active = Connect();
  ExpectServed(*active);
  ASSERT_TRUE(active->SendText(R"({"type":"stop_service","need_reply":true})"));
  std::string reply;
  ASSERT_EQ(active->ReadText(&reply, kReplyWaitMs), ReadResult::kMessage);
  EXPECT_TRUE(WaitUntil([&] { return manager.stops == 1; }));
}

// Checks enough that their replies fill every pipe buffer many times over.
constexpr int kUnreadChecks = 20000;

TEST_F(ChannelTest, ClientThatNeverReadsHoldsUpOnlyItsOwnConnectionWithFakeManager) {
  auto flood = Connect();
  std::string checks;
  for (int i = 0; i < kUnreadChecks; ++i) checks += EncodeFrame(R"({"type":"is_update_needed"})");
  // Blocks once the server stops reading; fails when the server ends the connection.
  std::thread sender([&] { flood->SendRaw(checks); });
  // No ASSERT before the stop: the sender ends only with the connection.
  EXPECT_TRUE(WaitUntilSteady([&] { return manager.pendingReads.load(); },
                              std::chrono::milliseconds(500), std::chrono::seconds(60)));
  const int handledForFlood = manager.pendingReads;
  EXPECT_LT(handledForFlood, kUnreadChecks) << "the replies never filled the pipe";

  auto other = Connect();
  ExpectServed(*other);
  EXPECT_EQ(Ask(*Connect(), R"({"type":"stop_service","need_reply":true})"), R"({"status":"ok"})");
  EXPECT_TRUE(WaitUntil([&] { return manager.stops == 1; }));
  // The stop ends the blocked write at once and joins every worker.
  StopServer();
  sender.join();
  std::string reply;
  ReadResult result = ReadResult::kMessage;
  for (int i = 0; i <= handledForFlood && result == ReadResult::kMessage; ++i) {
    result = flood->ReadText(&reply, kReplyWaitMs);
  }
  EXPECT_EQ(result, ReadResult::kClosed);
}

TEST_F(ChannelTest, StopEndsIdleAndHalfSentConnections) {
  auto silent = Connect();
  auto halfFrame = Connect();
  ASSERT_TRUE(halfFrame->SendRaw(std::string("\x20\0", 2)));
  ExpectServed(*Connect());
  StopServer();
  ExpectClosedWithoutReply(*silent);
  ExpectClosedWithoutReply(*halfFrame);
}

TEST_F(ChannelTest, HandlerCallsNeverOverlapWithFakeManager) {
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  manager.installHook = [&] {
    if (++inside > 1) ++overlaps;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    --inside;
  };
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([this] {
      IPCClient client(false);
      ASSERT_TRUE(client.Connect(pipeName, true));
      for (int n = 0; n < 10; ++n) {
        ASSERT_TRUE(client.SendText(R"({"type":"start_update_install"})"));
      }
      ExpectServed(client);
    });
  }
  for (auto& thread : clients) thread.join();
  EXPECT_EQ(manager.Installs().size(), 40u);
  EXPECT_EQ(overlaps, 0);
}

TEST_F(ChannelTest, WorkersThatGetTheLockDuringStopEndWithoutHandlingWithFakeManager) {
  // The first install holds the handler lock until the stop has begun; the commands of the
  // other connections wait for the lock meanwhile, and none may reach the manager.
  std::promise<void> firstInside;
  manager.installHook = [&] {
    if (manager.Installs().size() != 1) return;
    firstInside.set_value();
    WaitUntil([&] { return !server->IsRunning(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  };
  auto first = Connect();
  ASSERT_TRUE(first->SendText(R"({"type":"start_update_install","user":"first"})"));
  firstInside.get_future().wait();
  std::vector<std::unique_ptr<IPCClient>> waiting;
  for (int i = 0; i < 5; ++i) {
    waiting.push_back(Connect());
    ASSERT_TRUE(waiting.back()->SendText(R"({"type":"start_update_install","user":"later"})"));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  StopServer();
  ASSERT_EQ(manager.Installs().size(), 1u);
  EXPECT_EQ(manager.Installs()[0].first, "first");
  ExpectClosedWithoutReply(*first);
  for (auto& client : waiting) ExpectClosedWithoutReply(*client);
}

TEST(IPCServerLifetime, StopWithoutStartAndTwiceReturns) {
  FakeManager manager;
  UpdaterIPCServer server(&manager);
  server.Stop();
  server.Stop();
  const std::string name = UniquePipeName();
  server.Start(name, false, false, true);
  server.Stop();
  server.Stop();
  IPCClient client(false);
  EXPECT_FALSE(client.Connect(name, /*retry=*/false));
}

TEST(IPCServerLifetime, SecondStartChangesNothing) {
  FakeManager manager;
  UpdaterIPCServer server(&manager);
  const std::string first = UniquePipeName();
  const std::string second = UniquePipeName();
  server.Start(first, false, false, true);
  server.Start(second, false, false, true);
  IPCClient client(false);
  EXPECT_TRUE(client.Connect(first, /*retry=*/true));
  IPCClient other(false);
  EXPECT_FALSE(other.Connect(second, /*retry=*/false));
  server.Stop();
}

TEST(IPCServerLifetime, StopRightAfterStartReturnsEveryTime) {
  FakeManager manager;
  // When the stop comes before the first instance exists, the wake-up connection waits
  // out its deadline: a few rounds are enough.
  for (int i = 0; i < 5; ++i) {
    UpdaterIPCServer server(&manager);
    server.Start(UniquePipeName(), false, false, true);
    server.Stop();
  }
}

TEST(IPCServerLifetime, ServerCanBeStartedAgainAfterStop) {
  FakeManager manager;
  UpdaterIPCServer server(&manager);
  const std::string name = UniquePipeName();
  for (int round = 0; round < 2; ++round) {
    server.Start(name, false, false, true);
    IPCClient client(false);
    ASSERT_TRUE(client.Connect(name, true));
    ASSERT_TRUE(client.SendText(R"({"type":"is_update_needed"})"));
    std::string reply;
    EXPECT_EQ(client.ReadText(&reply, kReplyWaitMs), ReadResult::kMessage);
    server.Stop();
  }
}

// --- Writes to a peer that does not read ------------------------------------------------

// The two ends of one pipe connection, made through the platform layer.
struct PipePair {
  PipePair() {
    const std::string name = UniquePipeName();
    platform::PipeEndpoint endpoint(name, "D:P(A;OICI;GA;;;BA)(A;OICI;GA;;;IU)");
    if (!endpoint.CreateInstance()) return;
    if (!WaitUntil([&] {
          return platform::OpenClientPipe(name, &client) == platform::OpenResult::kOpened;
        })) {
      return;
    }
    endpoint.WaitForClient(&server);
  }
  bool Connected() const { return server.IsValid() && client.IsValid(); }
  // Closing the client end releases a write or a flush that would block forever.
  void CloseClient() { client.Close(); }

  platform::ScopedPipe server;
  platform::ScopedPipe client;
};

constexpr int32_t kShortStallLimitMs = 200;

TEST(StalledWrite, WriteThatMakesNoProgressFailsAfterItsLimit) {
  PipePair pair;
  ASSERT_TRUE(pair.Connected());
  const std::string piece(kWritePieceSize, 'x');
  // Writes until a write fails; 64 MiB is far more than any pipe holds.
  auto writing = std::async(std::launch::async, [&] {
    for (int i = 0; i < 1024; ++i) {
      uint32_t written = 0;
      if (!platform::WritePipe(pair.server.Get(), piece.data(), kWritePieceSize, &written,
                               kShortStallLimitMs)) {
        return true;
      }
    }
    return false;
  });
  if (writing.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    pair.CloseClient();
    FAIL() << "a write to a client that does not read stayed blocked";
  }
  EXPECT_TRUE(writing.get()) << "64 MiB went into a pipe nobody reads";
}

TEST(StalledWrite, FlushAtTheEndOfAConnectionIsBounded) {
  PipePair pair;
  ASSERT_TRUE(pair.Connected());
  uint32_t written = 0;
  const std::string reply = EncodeFrame(R"({"update_needed":false})");
  ASSERT_TRUE(platform::WritePipe(pair.server.Get(), reply.data(),
                                  static_cast<uint32_t>(reply.size()), &written,
                                  platform::kNoStallLimit));
  // The client reads nothing: the flush (Windows) waits for it only as long as the limit.
  auto ending = std::async(std::launch::async, [&] {
    platform::DisconnectServerPipe(pair.server.Get(), kShortStallLimitMs);
  });
  if (ending.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    pair.CloseClient();
    FAIL() << "the end of a connection waited for a client that does not read";
  }
}

TEST(IPCClientTest, ConnectWithoutServerFails) {
  IPCClient client(false);
  EXPECT_FALSE(client.Connect(UniquePipeName(), /*retry=*/false));
  EXPECT_FALSE(client.IsConnected());
  EXPECT_FALSE(client.Connect(UniquePipeName(), /*retry=*/true));
}

// --- Owned pipe ends ----------------------------------------------------------------------

// A moved owner keeps the end open; the end is closed when its last owner goes away, which the
// peer sees as the end of the stream.
TEST(ScopedPipe, EndStaysOpenWhenMovedAndIsClosedWithItsLastOwner) {
  PipePair pair;
  ASSERT_TRUE(pair.Connected());
  std::unique_ptr<char[]> payload;
  int32_t length = 0;
  {
    platform::ScopedPipe moved(std::move(pair.client));
    EXPECT_FALSE(pair.client.IsValid());
    ASSERT_TRUE(WriteFrame(moved.Get(), "{}", platform::kNoStallLimit));
    EXPECT_EQ(ReadFrame(PipeByteSource(pair.server.Get()), &payload, &length),
              FrameReadResult::kFrame);
  }
  ASSERT_TRUE(platform::WaitPipeReadable(pair.server.Get(), 60 * 1000));
  EXPECT_EQ(ReadFrame(PipeByteSource(pair.server.Get()), &payload, &length),
            FrameReadResult::kSourceEnded);
}

}  // namespace
}  // namespace tarnel
