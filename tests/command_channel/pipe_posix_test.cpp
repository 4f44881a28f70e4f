// The Unix socket that stands in for the named pipe on Linux.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "command_channel/ipc_client.h"
#include "command_channel/updater_ipc_server.h"
#include "platform/pipe.h"
#include "service_host/updater_manager.h"
#include "support/test_support.h"

namespace tarnel {
namespace {

using testing::LogCapture;

std::string SocketPath(const std::string& name) { return testing::TestRoot() + "run/" + name; }

TEST(PipePosix, SocketLivesInTheRuntimeFolderWithMode0666) {
  UpdaterIPCServer server(UpdaterManager::GetInstance());
  server.Start("posix_mode_pipe", false, false, true);
  IPCClient client(false);
  ASSERT_TRUE(client.Connect("posix_mode_pipe", true));
  struct stat info {};
  ASSERT_EQ(stat(SocketPath("posix_mode_pipe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0666u);
  server.Stop();
  EXPECT_NE(access(SocketPath("posix_mode_pipe").c_str(), F_OK), 0) << "socket file left";
}

TEST(PipePosix, FirstRuntimeFolderOfSeveralIsUsed) {
  const std::string saved = testing::TestRoot() + "run";
  const std::string first = testing::MakeTempFolder("first_runtime");
  setenv("RUNTIME_DIRECTORY", (first + ":" + saved).c_str(), 1);
  EXPECT_EQ(platform::PipePath("x"), first + "x");
  setenv("RUNTIME_DIRECTORY", saved.c_str(), 1);
}

TEST(PipePosix, LiveSocketCannotBeTakenOverStaleOneIsReplaced) {
  UpdaterIPCServer owner(UpdaterManager::GetInstance());
  owner.Start("posix_live_pipe", false, false, true);
  IPCClient probe(false);
  ASSERT_TRUE(probe.Connect("posix_live_pipe", true));
  probe.Disconnect();
  {
    LogCapture log;
    UpdaterIPCServer intruder(UpdaterManager::GetInstance());
    intruder.Start("posix_live_pipe", false, false, true);
    EXPECT_TRUE(testing::WaitUntil([&] { return !intruder.IsRunning(); }));
    EXPECT_EQ(log.Text().find("posix_live_pipe create named pipe INVALID_HANDLE_VALUE") !=
                  std::string::npos,
              true)
        << log.Text();
    intruder.Stop();
  }
  // The owner still serves.
  IPCClient client(false);
  ASSERT_TRUE(client.Connect("posix_live_pipe", true));
  ASSERT_TRUE(client.SendText(R"({"type":"is_update_needed"})"));
  std::string reply;
  EXPECT_EQ(client.ReadText(&reply, 10000), IPCClient::ReadResult::kMessage);
  owner.Stop();

  // A socket file whose server has gone is replaced.
  const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, SocketPath("posix_stale_pipe").c_str(),
               sizeof address.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);
  UpdaterIPCServer server(UpdaterManager::GetInstance());
  server.Start("posix_stale_pipe", false, false, true);
  IPCClient fresh(false);
  ASSERT_TRUE(fresh.Connect("posix_stale_pipe", true));
  ASSERT_TRUE(fresh.SendText(R"({"type":"is_update_needed"})"));
  EXPECT_EQ(fresh.ReadText(&reply, 10000), IPCClient::ReadResult::kMessage);
  server.Stop();
}

}  // namespace
}  // namespace tarnel
