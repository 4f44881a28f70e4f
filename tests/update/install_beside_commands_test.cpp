// An installation lets go of the handler lock while it copies, checks and starts the
// installer: the other commands are handled meanwhile, through the real server and manager.
#include <atomic>
#include <string>

#include "command_channel/ipc_client.h"
#include "command_channel/updater_ipc_server.h"
#include "install_fixture.h"

namespace tarnel::testing {
namespace {

constexpr int32_t kReplyWaitMs = 30000;

// The text as a JSON string's content: Windows paths hold backslashes.
std::string Escaped(const std::string& text) {
  std::string escaped;
  for (char c : text) {
    if (c == '\\' || c == '"') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string Ask(IPCClient& client, const std::string& text) {
  EXPECT_TRUE(client.SendText(text));
  std::string reply;
  EXPECT_EQ(client.ReadText(&reply, kReplyWaitMs), IPCClient::ReadResult::kMessage) << text;
  return reply;
}

// While one installation is held at the start of its copy, another caller is answered and
// registers a package; the registration stays pending after the installation.
TEST_F(InstallTest, OtherCommandsAreHandledWhileAnInstallationRuns) {
  const std::string pipeName = "tarnel_test_install_beside_commands";
  UpdaterIPCServer server(&manager);
  server.Start(pipeName, /*systemOnly=*/false, /*concurrent=*/false, /*logFailures=*/true);
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  SetInstallerStagingHook([&](const std::string&) {
    entered = true;
    WaitUntil([&] { return release.load(); }, std::chrono::seconds(60));
  });
  LogCapture log;
  IPCClient installing(/*verbose=*/false);
  ASSERT_TRUE(installing.Connect(pipeName, /*retry=*/true));
  ASSERT_TRUE(installing.SendText(R"({"type":"start_update_install","user":"","display":""})"));
  ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));

  IPCClient other(/*verbose=*/false);
  ASSERT_TRUE(other.Connect(pipeName, /*retry=*/true));
  const std::string check = R"({"type":"is_update_needed","current_version":"0.1"})";
  EXPECT_FALSE(Ask(other, check).empty()) << "answered while the installation runs";
  EXPECT_FALSE(log.Contains("Computed: ")) << "the installation has not read its file yet";
  const std::string newer = folder + "newer-setup";
  ASSERT_TRUE(other.SendText(R"({"type":"new_install_package","package_full_path":")" +
                             Escaped(newer) + R"(","package_target_version":"9.0",)" +
                             R"("package_sha256":")" + std::string(64, 'a') + R"("})"));
  EXPECT_EQ(Ask(other, check), R"({"update_needed":true})") << "the registration was handled";

  release = true;
  EXPECT_FALSE(WaitForRecordedArguments().empty()) << "the installation went on and started";
  EXPECT_TRUE(WaitUntil([&] {
    return log.Contains(
        "INFO    | PendingUpdate kept: a newer package was registered during the "
        "installation");
  })) << log.Text();
  EXPECT_EQ(StoredFlag(), 1u);
  std::string stored;
  EXPECT_TRUE(LoadStringValue("InstallerPath", &stored));
  EXPECT_EQ(stored, newer);
  SetInstallerStagingHook(nullptr);
  server.Stop();
}

}  // namespace
}  // namespace tarnel::testing
