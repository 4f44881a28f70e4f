// Service mode on Linux: systemd's Type=notify protocol stands in for the service control
// manager. The test plays systemd: it binds the notification socket, watches READY=1 and
// STOPPING=1, and sends SIGTERM as the stop control.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "command_channel/ipc_client.h"
#include "command_channel/service_run.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";

class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path(path) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~NotifySocket() {
    close(fd);
    unlink(path.c_str());
  }

  // Collects messages until one holds `line`; false after the deadline.
  bool WaitFor(const std::string& line, std::chrono::seconds deadline = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (received.find(line) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd entry{fd, POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[4096];
      const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
      if (count > 0) received.append(buffer, static_cast<size_t>(count)).append("\n");
    }
    return true;
  }

  std::string path;
  int fd = -1;
  bool bound = false;
  std::string received;
};

TEST(ServiceModePosix, ReadyThenSigtermStopsWithExitZero) {
  ServiceRun service;
  NotifySocket notify(service.Folder() + "notify.sock");
  ASSERT_TRUE(notify.bound);
  ASSERT_TRUE(service.Start({}, {{"NOTIFY_SOCKET", notify.path}}));
  ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.received;
  ASSERT_TRUE(service.Process().Terminate());
  EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.received;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0) << service.Output();
  EXPECT_TRUE(notify.WaitFor("STATUS=Stopped")) << notify.received;
  EXPECT_TRUE(InOrder(notify.received, {"STATUS=Starting", "STATUS=Running\nREADY=1",
                                        "STATUS=Stopping\nSTOPPING=1", "STATUS=Stopped"}))
      << notify.received;
  const std::string log = service.Log();
  // READY=1 goes out before "Updater ready" is logged, so the stop control can come first.
  EXPECT_TRUE(InOrder(log, {"UpdaterManager: SetStarting", "UpdaterManager: SetStarted",
                            "Windows Service is asked to be stopped...",
                            "UpdaterManager: SetStopping", "UpdaterManager: SetStopped"}))
      << log;
  EXPECT_TRUE(
      InOrder(log, {"UpdaterManager: SetStarted", "Updater ready", "UpdaterManager: SetStopping"}))
      << log;
}

// Keeps every processor busy while it lives, so that the service's threads run late.
class CpuLoad {
 public:
  CpuLoad() {
    const unsigned count = std::max(2u, std::thread::hardware_concurrency()) * 4;
    for (unsigned i = 0; i < count; ++i) {
      spinners.emplace_back([this] {
        while (!done) {
        }
      });
    }
  }
  ~CpuLoad() {
    done = true;
    for (std::thread& spinner : spinners) spinner.join();
  }

 private:
  std::atomic<bool> done{false};
  std::vector<std::thread> spinners;
};

TEST(ServiceModePosix, ClientConnectsAtTheFirstTryOnceReadyArrivesUnderLoad) {
  // systemd starts units ordered after this one on READY=1: by then the socket must accept.
  CpuLoad load;
  for (int run = 0; run < 20; ++run) {
    ServiceRun service;
    NotifySocket notify(service.Folder() + "notify.sock");
    ASSERT_TRUE(service.Start({}, {{"NOTIFY_SOCKET", notify.path}}));
    ASSERT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(60))) << notify.received;
    IPCClient client(/*verbose=*/false);
    EXPECT_TRUE(client.Connect(kPipe, /*retry=*/false)) << "run " << run;
    client.Disconnect();
    ASSERT_TRUE(service.Process().Terminate());
    int status = -1;
    ASSERT_TRUE(service.WaitForExit(&status));
    EXPECT_EQ(status, 0) << service.Output();
  }
}

// "DEVICE:INODE" of a file, as systemd puts it in JOURNAL_STREAM.
std::string FileIdentity(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return "";
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
}

// The line of `text` that holds `needle`, or "".
std::string LineWith(const std::string& text, const std::string& needle) {
  const size_t found = text.find(needle);
  if (found == std::string::npos) return "";
  const size_t start = text.rfind('\n', found);
  const size_t begin = start == std::string::npos ? 0 : start + 1;
  return text.substr(begin, text.find('\n', found) - begin);
}

// Runs the service in service mode with JOURNAL_STREAM naming `journalFile`, sends it an
// unknown command and stops it; its standard output.
std::string OutputWithJournalStream(ServiceRun& service, const std::string& journalFile) {
  NotifySocket notify(service.Folder() + "notify.sock");
  EXPECT_TRUE(service.Start(
      {}, {{"NOTIFY_SOCKET", notify.path}, {"JOURNAL_STREAM", FileIdentity(journalFile)}}));
  EXPECT_TRUE(notify.WaitFor("READY=1")) << notify.received;
  IPCClient client(/*verbose=*/false);
  EXPECT_TRUE(client.Connect(kPipe, /*retry=*/true));
  EXPECT_TRUE(client.SendText(R"({"type":"journal_test"})"));
  std::string reply;
  EXPECT_EQ(client.ReadText(&reply, 10000), IPCClient::ReadResult::kClosed);
  EXPECT_TRUE(service.Process().Terminate());
  int status = -1;
  EXPECT_TRUE(service.WaitForExit(&status));
  return service.Output();
}

TEST(ServiceModePosix, StandardOutputThatIsTheJournalGetsPrioritiesAndNoEmptyLines) {
  ServiceRun service;
  // The output file keeps its inode when the child opens it: JOURNAL_STREAM can name it.
  const std::string outputFile = service.Folder() + "service-output.txt";
  ASSERT_TRUE(WriteFile(outputFile, ""));
  const std::string output = OutputWithJournalStream(service, outputFile);
  ASSERT_FALSE(output.empty());
  EXPECT_EQ(output.find("\n\n"), std::string::npos) << output;
  EXPECT_EQ(output.back(), '\n');
  // Every record carries a priority, each entry is written once.
  for (size_t start = 0; start < output.size(); start = output.find('\n', start) + 1) {
    ASSERT_EQ(output[start], '<') << output.substr(start, 80);
  }
  EXPECT_EQ(CountOf(output, "Updater ready"), 1) << output;
  const struct {
    const char* text;
    const char* priority;
  } expected[] = {
      {"Version Tarnel updater: ", "<6>"},         {"Number of Cores: ", "<6>"},
      {"UpdaterIPCServer: create", "<7>"},         {"Updater ready", "<6>"},
      {"received in service ipc server: ", "<7>"}, {"\"type\" : \"journal_test\"", "<7>"},
      {"type journal_test is unknown", "<3>"},
  };
  for (const auto& line : expected) {
    EXPECT_EQ(LineWith(output, line.text).substr(0, 3), line.priority) << line.text << "\n"
                                                                       << output;
  }
  // The log file keeps its own form.
  const std::string log = service.Log();
  EXPECT_EQ(log.find("<6>"), std::string::npos);
  EXPECT_EQ(LineWith(log, "Updater ready").find(" | UPDATER | INFO    | Updater ready"), 19u);
}

TEST(ServiceModePosix, JournalStreamOfAnotherFileLeavesStandardOutputAsItIs) {
  // A child that inherited the variable but writes elsewhere is not the journal.
  ServiceRun service;
  const std::string other = service.Folder() + "other.txt";
  ASSERT_TRUE(WriteFile(other, ""));
  const std::string output = OutputWithJournalStream(service, other);
  EXPECT_EQ(output.find("<6>"), std::string::npos) << output;
  EXPECT_NE(output.find("Updater ready\n\n"), std::string::npos) << output;
}

TEST(ServiceModePosix, StopCommandInServiceModeStopsWithoutTheControlLine) {
  ServiceRun service;
  NotifySocket notify(service.Folder() + "notify.sock");
  ASSERT_TRUE(service.Start({}, {{"NOTIFY_SOCKET", notify.path}}));
  ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.received;
  std::string output;
  EXPECT_EQ(service.Client({"stop"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1")) << notify.received;
  EXPECT_EQ(CountOf(service.Log(), "Windows Service is asked to be stopped..."), 0);
}

TEST(ServiceModePosix, StopControlAndStopCommandTogetherStopOnce) {
  ServiceRun service;
  NotifySocket notify(service.Folder() + "notify.sock");
  ASSERT_TRUE(service.Start({}, {{"NOTIFY_SOCKET", notify.path}}));
  ASSERT_TRUE(notify.WaitFor("READY=1")) << notify.received;
  std::thread command([&] {
    std::string output;
    service.Client({"stop"}, &output);
  });
  ASSERT_TRUE(service.Process().Terminate());
  command.join();
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  const std::string log = service.Log();
  EXPECT_EQ(CountOf(log, "Windows Service is asked to be stopped..."), 1) << log;
  EXPECT_EQ(CountOf(log, "UpdaterManager: SetStopping"), 1) << log;
  EXPECT_EQ(CountOf(log, "UpdaterManager: SetStopped"), 1) << log;
}

TEST(ServiceModePosix, StopControlBeforeTheServiceRunsIsKept) {
  // SIGTERM right after the start: whether it comes before the handler exists or before
  // the wait begins, the service still stops normally.
  ServiceRun service;
  NotifySocket notify(service.Folder() + "notify.sock");
  ASSERT_TRUE(service.Start({}, {{"NOTIFY_SOCKET", notify.path}}));
  ASSERT_TRUE(notify.WaitFor("STATUS=Starting")) << notify.received;
  ASSERT_TRUE(service.Process().Terminate());
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(InOrder(service.Log(), {"UpdaterManager: SetStarted", "UpdaterManager: SetStopped"}));
}

TEST(ServiceModePosix, WithoutNotifySocketExitsWith1063Mod256) {
  ServiceRun service;
  ASSERT_TRUE(service.Start({}));
  int status = -1;
  ASSERT_TRUE(service.WaitForExit(&status));
  EXPECT_EQ(status, 39);
  EXPECT_NE(service.Output().find("no NOTIFY_SOCKET"), std::string::npos) << service.Output();
  EXPECT_EQ(CountOf(service.Log(), "UpdaterManager: SetStarting"), 0);
}

// A stop while an installation copies a large file: the copy notices it, the attempt fails
// and removes its copy, and the service ends (every thread joined, exit status 0).
TEST(ServiceStop, StopDuringALongInstallationEndsTheServiceAndLeavesNoCopy) {
  namespace fs = std::filesystem;
  ServiceRun run;
  const std::string large = run.Folder() + "large-setup";
  std::ofstream(large).close();
  fs::resize_file(large, (uint64_t{4} << 30) - 1);  // sparse, just under the bound
  ASSERT_TRUE(WriteFile(run.Folder() + "state/updater.json", "{}"));  // as the package makes it
  ASSERT_TRUE(run.Start({"--no-service"}));
  std::string output;
  ASSERT_EQ(run.Client({"register", large, "2.0", std::string(64, '0')}, &output), 0) << output;
  ASSERT_EQ(run.Client({"install"}, &output), 0) << output;
  const std::string staging = run.Folder() + "state/installers/";
  ASSERT_TRUE(WaitUntil([&] {
    std::error_code error;
    for (const auto& folder : fs::directory_iterator(staging, error)) {
      for (const auto& file : fs::directory_iterator(folder.path(), error)) {
        if (fs::file_size(file.path(), error) > 0) return true;
      }
    }
    return false;
  })) << "the copy never began: "
      << run.Log();
  ASSERT_EQ(run.Client({"stop"}, &output), 0) << output;
  int status = -1;
  ASSERT_TRUE(run.WaitForExit(&status, std::chrono::seconds(60))) << run.Log();
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(fs::is_empty(staging)) << "the partial copy is removed";
  EXPECT_NE(run.Log().find("the service is stopping"), std::string::npos) << run.Log();
}

}  // namespace
}  // namespace tarnel::testing
