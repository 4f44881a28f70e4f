// The store's folder turned read-only, or its file system full, while the service runs:
// registrations fail with their log lines, the earlier record stays whole and in use, the
// service keeps answering, and registrations work again once the folder is writable.
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
const char kStoreName[] = "updater.json";
constexpr int kReplyTimeoutMs = 30000;

void Register(IPCClient* client, const std::string& path, const std::string& version) {
  Json::Value message;
  message["type"] = "new_install_package";
  message["package_full_path"] = path;
  message["package_target_version"] = version;
  message["package_sha256"] = std::string(64, 'c');
  ASSERT_TRUE(client->SendJsonMessage(message));
}

// Commands on one connection are handled in order, so the answer also tells that every
// registration sent before it was handled.
bool UpdateNeeded(IPCClient* client, const std::string& currentVersion) {
  Json::Value check;
  check["type"] = "is_update_needed";
  check["current_version"] = currentVersion;
  Json::Value reply;
  EXPECT_TRUE(client->SendJsonMessage(check));
  EXPECT_EQ(client->ReadJsonMessage(&reply, kReplyTimeoutMs), IPCClient::ReadResult::kMessage);
  EXPECT_TRUE(reply["update_needed"].isBool()) << reply;
  return reply["update_needed"].asBool();
}

bool LogHas(const ServiceRun& service, const std::string& line) {
  return WaitUntil([&] { return service.Log().find(line) != std::string::npos; });
}

// A way to make the state folder refuse writes; returns the object that undoes it, or
// null with *why set when this machine does not allow it.
using Fault = std::function<std::shared_ptr<void>(const std::string& state, std::string* why)>;

// Registers an earlier package, applies the fault, registers a newer one and checks the
// outcome; then lifts the fault and registers the newer one again.
void RunWithUnwritableStore(ServiceRun& service, const std::string& state, const Fault& fault) {
  ASSERT_TRUE(WriteFile(state + kStoreName, "{}"));
  ASSERT_TRUE(service.Start({"--no-service"}));
  IPCClient client(false);
  ASSERT_TRUE(client.Connect(kPipe, /*retry=*/true));
  Register(&client, "/downloads/earlier.exe", "2.0.0");
  ASSERT_TRUE(UpdateNeeded(&client, "1.0"));
  const std::string earlierStore = ReadFile(state + kStoreName);

  std::string why;
  std::shared_ptr<void> applied = fault(state, &why);
  if (!applied) {
    service.Process().Kill();
    GTEST_SKIP() << why;
  }
  Register(&client, "/downloads/newer.exe", "3.0.0");
  // 2.5 is newer than the earlier package and older than the newer one.
  EXPECT_FALSE(UpdateNeeded(&client, "2.5"));
  EXPECT_TRUE(UpdateNeeded(&client, "1.0"));
  EXPECT_TRUE(LogHas(service,
                     "UpdaterManager::ResetRegPendingUpdate error while reseting the PendingUpdate "
                     "value."));
  EXPECT_TRUE(LogHas(service,
                     "UpdaterManager::NewPackageReadyToInstall: error while setting the "
                     "PendingUpdate property."));
  EXPECT_EQ(service.Log().find("Package ready to be installed : /downloads/newer.exe"),
            std::string::npos);
  EXPECT_EQ(ReadFile(state + kStoreName), earlierStore);
  applied.reset();
  EXPECT_TRUE(OtherFiles(state, kStoreName).empty())
      << ::testing::PrintToString(OtherFiles(state, kStoreName));

  Register(&client, "/downloads/newer.exe", "3.0.0");
  EXPECT_TRUE(UpdateNeeded(&client, "2.5"));
  EXPECT_TRUE(LogHas(service, "Package ready to be installed : /downloads/newer.exe"));
  std::string output;
  EXPECT_EQ(service.Client({"stop", "--reply"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
}

TEST(UnwritableStore, ReadOnlyFolderKeepsTheEarlierRecord) {
  ServiceRun service;
  RunWithUnwritableStore(
      service, service.Folder() + "state/", [](const std::string& state, std::string* why) {
        // Root ignores permission bits: a read-only bind mount, or the immutable attribute.
        if (auto mount = ScopedMount::ReadOnly(state))
          return std::shared_ptr<void>(std::move(mount));
        if (auto folder = ScopedUnwritableFolder::Make(state)) {
          return std::shared_ptr<void>(std::move(folder));
        }
        *why = "this machine allows neither a read-only bind mount nor an unwritable folder";
        return std::shared_ptr<void>();
      });
}

TEST(UnwritableStore, FullFileSystemKeepsTheEarlierRecord) {
  ServiceRun service;
  const std::string state = service.Folder() + "state/";
  // The state folder is a small tmpfs of its own, filled up once the earlier record is in.
  auto tmpfs = ScopedMount::Tmpfs(state, 256 * 1024);
  if (!tmpfs) GTEST_SKIP() << "this machine does not allow mounting a tmpfs";
  RunWithUnwritableStore(service, state, [](const std::string& folder, std::string* why) {
    const std::string filler = folder + "filler";
    if (!FillFileSystem(folder, "filler")) {
      *why = "could not fill the tmpfs";
      return std::shared_ptr<void>();
    }
    return std::shared_ptr<void>(new int(0), [filler](int* token) {
      delete token;
      std::filesystem::remove(filler);
    });
  });
}

}  // namespace
}  // namespace tarnel::testing
