// Who the real service admits on Linux, and how many connections one caller may hold. The
// callers are child processes of this test (which runs as root) that drop to unprivileged
// users before they connect: nobody's uid with and without the group tarnel, root itself.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "command_channel/caller_limits.h"
#include "command_channel/child_process.h"
#include "command_channel/ipc_client.h"
#include "command_channel/json_frame.h"
#include "command_channel/service_run.h"
#include "platform/peer_identity.h"
#include "support/test_support.h"

namespace tarnel::testing {
namespace {

const char kPipe[] = "Tarnel_Updater_Service_CP";
constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;
// Another unprivileged user, so that two callers without rights can be told apart.
constexpr uid_t kOtherUser = 65533;
constexpr int32_t kReplyTimeoutMs = 20000;
constexpr int kBound = 32;

bool ConnectedAndAnswered() {
  IPCClient client(false);
  return client.Connect(kPipe, /*retry=*/true) && IsUpdateCheckAnswered(&client);
}

// The service closes a refused connection before it reads a byte: the check gets no reply.
bool ClosedWithoutReply(IPCClient* client) {
  Json::Value check;
  check["type"] = "is_update_needed";
  client->SendJsonMessage(check);  // may fail once the service has closed its end
  std::string text;
  return client->ReadText(&text, kReplyTimeoutMs) == IPCClient::ReadResult::kClosed;
}

bool ConnectedAndRefused() {
  IPCClient client(false);
  return client.Connect(kPipe, /*retry=*/true) && ClosedWithoutReply(&client);
}

struct Credentials {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

// A caller running as another user: a child process that drops to `who` and runs `body`,
// which returns whether everything it saw was as expected. The child can tell the test that
// it reached a point (Tell) and wait until the test lets it go on (AwaitRelease).
class Caller {
 public:
  Caller(const Credentials& who, const std::function<bool(Caller&)>& body) {
    int up[2];
    int down[2];
    if (pipe2(up, O_CLOEXEC) != 0 || pipe2(down, O_CLOEXEC) != 0) return;
    pid = fork();
    childId = pid;
    if (pid == 0) {
      close(up[0]);
      close(down[1]);
      toTest = up[1];
      fromTest = down[0];
      const bool dropped = setgroups(who.groups.size(), who.groups.data()) == 0 &&
                           setgid(who.gid) == 0 && setuid(who.uid) == 0 && getuid() == who.uid;
      _exit(dropped && body(*this) ? 0 : 1);
    }
    close(up[1]);
    close(down[0]);
    fromCaller = up[0];
    toCaller = down[1];
  }
  ~Caller() {
    Release();
    if (fromCaller >= 0) close(fromCaller);
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }
  Caller(const Caller&) = delete;
  Caller& operator=(const Caller&) = delete;

  // In the child.
  void Tell() {
    const char byte = 1;
    (void)!write(toTest, &byte, 1);
  }
  void AwaitRelease() {
    char byte;
    while (read(fromTest, &byte, 1) > 0) {
    }
  }

  // In the test.
  bool AwaitTold() {
    pollfd entry{fromCaller, POLLIN, 0};
    char byte;
    return poll(&entry, 1, 60000) == 1 && read(fromCaller, &byte, 1) == 1;
  }
  void Release() {
    if (toCaller >= 0) close(toCaller);
    toCaller = -1;
  }
  // Whether the child ended with everything as expected.
  bool Succeeded() {
    Release();
    for (int i = 0; i < 6000 && pid > 0; ++i) {
      int status = 0;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  long Pid() const { return childId; }

 private:
  pid_t pid = -1;
  pid_t childId = -1;
  int toTest = -1;
  int fromTest = -1;
  int fromCaller = -1;
  int toCaller = -1;
};

bool RunAs(const Credentials& who, const std::function<bool()>& body) {
  Caller caller(who, [&](Caller&) { return body(); });
  return caller.Succeeded();
}

class Admission : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    // The group is the machine's: test processes that run side by side take turns, so that
    // one that removes the group it created never pulls it from under another.
    groupLock = open("/tmp/tarnel-admission-tests.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (groupLock >= 0) flock(groupLock, LOCK_EX);
    if (getgrnam(platform::kAdmittedGroup) == nullptr) {
      std::string output;
      createdGroup =
          RunToEnd("/usr/sbin/groupadd", {"--system", platform::kAdmittedGroup}, {}, &output) == 0;
    }
    if (const group* entry = getgrnam(platform::kAdmittedGroup)) groupId = entry->gr_gid;
  }
  static void TearDownTestSuite() {
    std::string output;
    if (createdGroup) RunToEnd("/usr/sbin/groupdel", {platform::kAdmittedGroup}, {}, &output);
    createdGroup = false;
    if (groupLock >= 0) close(groupLock);  // also releases the lock
    groupLock = -1;
  }

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run callers as other users";
    ASSERT_NE(groupId, static_cast<gid_t>(-1)) << "no group " << platform::kAdmittedGroup;
    // The callers must reach the socket in this process's runtime folder.
    chmod(TestRoot().c_str(), 0755);
    chmod((TestRoot() + "run").c_str(), 0755);
    ASSERT_TRUE(service.Start({"--no-service"}));
    ASSERT_TRUE(ConnectedAndAnswered());
  }
  void TearDown() override {
    if (geteuid() != 0) return;
    std::string output;
    EXPECT_EQ(service.Client({"stop"}, &output), 0) << output;
    int status = -1;
    EXPECT_TRUE(service.WaitForExit(&status));
  }

  Credentials Nobody() const { return {kNobody, kNoGroup, {kNoGroup}}; }
  Credentials NobodyInGroup() const { return {kNobody, kNoGroup, {kNoGroup, groupId}}; }

  static bool createdGroup;
  static gid_t groupId;
  static int groupLock;
  ServiceRun service;
};
bool Admission::createdGroup = false;
gid_t Admission::groupId = static_cast<gid_t>(-1);
int Admission::groupLock = -1;

TEST_F(Admission, CallerWithoutTheGroupOrASessionIsRefusedWithoutAReply) {
  Caller caller(Nobody(), [](Caller&) { return ConnectedAndRefused(); });
  ASSERT_TRUE(caller.Succeeded());
  const std::string line =
      "| ERROR   | " + std::string(kPipe) + " refused a connection of uid 65534, pid " +
      std::to_string(caller.Pid()) + ": not root, not a member of the group tarnel";
  EXPECT_TRUE(WaitUntil([&] { return service.Log().find(line) != std::string::npos; }))
      << service.Log();
  // Nothing of the refused caller was read or handled.
  EXPECT_EQ(CountOf(service.Log(), "\"type\" : \"is_update_needed\""), 1);
}

TEST_F(Admission, MembersOfTheGroupAndRootAreServed) {
  const std::vector<std::pair<const char*, Credentials>> members = {
      {"supplementary group", NobodyInGroup()},
      {"primary group", {kNobody, groupId, {}}},
  };
  for (const auto& [how, who] : members) {
    EXPECT_TRUE(RunAs(who, [] { return ConnectedAndAnswered(); })) << how;
  }
  EXPECT_TRUE(ConnectedAndAnswered());
  EXPECT_EQ(CountOf(service.Log(), "refused a connection"), 0) << service.Log();
}

TEST_F(Admission, RefusalsOfOneCallerAreLoggedOnceThenOnceASecondWithTheCount) {
  constexpr int kAttempts = 20;
  Caller caller(Nobody(), [](Caller& self) {
    bool refused = true;
    for (int i = 0; i < kAttempts; ++i) refused = ConnectedAndRefused() && refused;
    self.Tell();
    self.AwaitRelease();
    // A second later, the next refusal is written with the count of those withheld.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    return ConnectedAndRefused() && refused;
  });
  ASSERT_TRUE(caller.AwaitTold());
  // Root is not held up by them, nor counted with them.
  EXPECT_TRUE(ConnectedAndAnswered());
  caller.Release();
  ASSERT_TRUE(caller.Succeeded());
  const std::string refusal = "refused a connection of uid 65534";
  ASSERT_TRUE(WaitUntil([&] {
    return service.Log().find("lines of this caller suppressed)") != std::string::npos;
  })) << service.Log();
  // Every refusal was either written or counted in a later line.
  const std::string log = service.Log();
  int written = 0;
  int withheld = 0;
  for (size_t at = log.find(refusal); at != std::string::npos; at = log.find(refusal, at + 1)) {
    ++written;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    const size_t note = line.find(" (");
    if (note != std::string::npos) withheld += std::stoi(line.substr(note + 2));
  }
  EXPECT_EQ(written + withheld, kAttempts + 1) << log;
}

TEST_F(Admission, CallerBeyondThirtyTwoConnectionsIsClosedOthersAreNotAffected) {
  Caller holder(NobodyInGroup(), [](Caller& self) {
    std::vector<std::unique_ptr<IPCClient>> held;
    bool expected = true;
    for (int i = 0; i < kBound; ++i) {
      held.push_back(std::make_unique<IPCClient>(false));
      expected = held.back()->Connect(kPipe, /*retry=*/true) &&
                 IsUpdateCheckAnswered(held.back().get()) && expected;
    }
    expected = ConnectedAndRefused() && expected;
    self.Tell();
    self.AwaitRelease();
    // A connection that ends gives its place to the next one.
    held.pop_back();
    const bool servedAgain = WaitUntil([] { return ConnectedAndAnswered(); });
    return expected && servedAgain;
  });
  ASSERT_TRUE(holder.AwaitTold());
  // While nobody holds its 32 connections: another unprivileged caller, and root.
  EXPECT_TRUE(RunAs({kOtherUser, kNoGroup, {kNoGroup, groupId}},
                    [] { return ConnectedAndAnswered() && ConnectedAndAnswered(); }));
  std::vector<std::unique_ptr<IPCClient>> rootClients;
  for (int i = 0; i < kBound + 8; ++i) {
    rootClients.push_back(std::make_unique<IPCClient>(false));
    ASSERT_TRUE(rootClients.back()->Connect(kPipe, /*retry=*/true));
    EXPECT_TRUE(IsUpdateCheckAnswered(rootClients.back().get())) << i;
  }
  holder.Release();
  EXPECT_TRUE(holder.Succeeded());
  const std::string log = service.Log();
  EXPECT_NE(log.find("refused a connection of uid 65534, pid " + std::to_string(holder.Pid()) +
                     ": it holds 32 connections already"),
            std::string::npos)
      << log;
  EXPECT_EQ(CountOf(log, "refused a connection of uid 65533"), 0);
  EXPECT_EQ(CountOf(log, "refused a connection of uid 0"), 0);
}

// At the default threshold, so that what a flood adds to the log is the limited lines alone.
class CallerLogLines : public Admission {
 protected:
  void SetUp() override {
    WriteFile(service.Folder() + "data/Tarnel/settings.conf",
              "{\"logging\": {\"severity\": \"info\"}}");
    Admission::SetUp();
  }
};

// Sends a command of an unknown type, which the service logs and answers by closing.
bool SentUnknown(const std::string& type) {
  IPCClient client(false);
  Json::Value command;
  command["type"] = type;
  std::string text;
  return client.Connect(kPipe, /*retry=*/true) && client.SendJsonMessage(command) &&
         client.ReadText(&text, kReplyTimeoutMs) == IPCClient::ReadResult::kClosed;
}

TEST_F(CallerLogLines, FloodOfUnknownCommandsIsBoundedPerCallerAndOthersAreStillLogged) {
  constexpr int kFlood = 300;
  // The set-up's check logged two lines (there is no store); the writer may not have written
  // them yet, and they must not count as lines of the flood.
  ASSERT_TRUE(WaitUntil([&] {
    return service.Log().find("while retrieving the PendingUpdate property") != std::string::npos;
  }));
  const int linesBefore = CountOf(service.Log(), "\n");
  const auto start = std::chrono::steady_clock::now();
  Caller flooder(NobodyInGroup(), [](Caller& self) {
    bool sent = true;
    for (int i = 0; i < kFlood; ++i) sent = SentUnknown("flood") && sent;
    self.Tell();
    self.AwaitRelease();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    return SentUnknown("flood") && sent;
  });
  ASSERT_TRUE(flooder.AwaitTold());
  // Another caller's line is written at once, in the middle of the flood's budget.
  ASSERT_TRUE(SentUnknown("root_probe"));
  EXPECT_TRUE(WaitUntil([&] {
    return service.Log().find("handle communication type root_probe is unknown\n") !=
           std::string::npos;
  }));
  flooder.Release();
  ASSERT_TRUE(flooder.Succeeded());
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::string unknown = "handle communication type flood is unknown";
  int written = 0;
  int withheld = 0;
  std::string log;
  // Every command is either written or counted in a later line's note; the last note comes
  // with the flood's last command, so wait until it has been written.
  const auto countLines = [&] {
    log = service.Log();
    written = 0;
    withheld = 0;
    for (size_t at = log.find(unknown); at != std::string::npos; at = log.find(unknown, at + 1)) {
      ++written;
      const std::string rest = log.substr(at + unknown.size(), log.find('\n', at) - at);
      if (rest.rfind(" (", 0) == 0) withheld += std::stoi(rest.substr(2));
    }
    return written + withheld >= kFlood + 1;
  };
  EXPECT_TRUE(WaitUntil(countLines)) << log;
  EXPECT_EQ(written + withheld, kFlood + 1);
  // A burst of 50, then one a second over the time the flood took.
  EXPECT_LE(written, kCallerLineBurst + 1 + static_cast<int>(seconds)) << seconds << " s";
  EXPECT_LE(CountOf(log, "\n") - linesBefore, written + 1) << log;
}

// A connection to the service's socket that tells how much of what it sent the service has
// not read yet (SIOCOUTQ): 0 once the service's worker has read every frame.
class RawConnection {
 public:
  RawConnection() {
    const std::string path = TestRoot() + "run/" + kPipe;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof(address.sun_path)) return;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~RawConnection() {
    if (fd >= 0) close(fd);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool Send(const Json::Value& command) {
    const std::string frame = EncodeFrame(WriteCompactJson(command));
    sent += static_cast<int>(frame.size());
    const ssize_t count = fd >= 0 ? send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) : -1;
    return count == static_cast<ssize_t>(frame.size());
  }
  int Unread() const {
    int unread = -1;
    return fd >= 0 && ioctl(fd, SIOCOUTQ, &unread) == 0 ? unread : -1;
  }
  int Sent() const { return sent; }

 private:
  int fd = -1;
  int sent = 0;
};

Json::Value Check(const std::string& version) {
  Json::Value check;
  check["type"] = "is_update_needed";
  check["current_version"] = version;
  return check;
}

// The handler lock's turns through the real service. The store is a FIFO at first, so that
// the first command, a check of root's, holds the handler lock until the test writes the
// record into it. Meanwhile one caller (nobody, in the group) queues registrations on each of
// its 32 connections, and root, another caller, sends one more check. The log's received
// lines are written in the order the commands were handled.
class Turns : public Admission {};

TEST_F(Turns, AnotherCallersCommandIsHandledBeforeMostOfOneCallersQueue) {
  constexpr int kPerConnection = 4;
  constexpr int kQueue = kBound * kPerConnection;
  const std::string flood = "turns-queue-";
  // In the received lines only, not in the lines of the registrations themselves.
  const std::string received = "\"" + flood;
  const std::string store = service.Folder() + "state/updater.json";
  ASSERT_EQ(mkfifo(store.c_str(), 0600), 0);
  // Read and write: the service's open does not wait for a writer, its read waits for data.
  const int storeWriter = open(store.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(storeWriter, 0);
  IPCClient holder(false);
  ASSERT_TRUE(holder.Connect(kPipe, /*retry=*/true));
  ASSERT_TRUE(holder.SendJsonMessage(Check("turns-holder")));
  ASSERT_TRUE(WaitUntil([&] { return service.Log().find("turns-holder") != std::string::npos; }));

  Caller queuer(NobodyInGroup(), [&](Caller& self) {
    close(storeWriter);  // the held read ends when the test closes the last writer
    std::vector<std::unique_ptr<RawConnection>> connections;
    for (int c = 0; c < kBound; ++c) connections.push_back(std::make_unique<RawConnection>());
    bool sent = true;
    for (int i = 0; i < kPerConnection; ++i) {
      for (int c = 0; c < kBound; ++c) {
        Json::Value registration;
        registration["type"] = "new_install_package";
        registration["package_full_path"] = flood + std::to_string(c) + "-" + std::to_string(i);
        registration["package_target_version"] = "2.0";
        registration["package_sha256"] = std::string(64, 'a');
        sent = connections[c]->Send(registration) && sent;
      }
    }
    // Every connection's worker has read its first registration and waits for the lock.
    const bool waiting = WaitUntil([&] {
      for (const auto& connection : connections) {
        const int unread = connection->Unread();
        if (unread < 0 || unread == connection->Sent()) return false;
      }
      return true;
    });
    self.Tell();
    self.AwaitRelease();
    return sent && waiting;
  });
  ASSERT_TRUE(queuer.AwaitTold());
  RawConnection probe;
  ASSERT_TRUE(probe.Send(Check("turns-probe")));
  ASSERT_TRUE(WaitUntil([&] { return probe.Unread() == 0; }));

  // A regular store for the commands to come, then the held check's record.
  ASSERT_TRUE(WriteFile(store + ".new", "{}"));
  ASSERT_EQ(rename((store + ".new").c_str(), store.c_str()), 0);
  ASSERT_EQ(write(storeWriter, "{}", 2), 2);
  close(storeWriter);
  Json::Value reply;
  EXPECT_EQ(holder.ReadJsonMessage(&reply, 60000), IPCClient::ReadResult::kMessage);
  queuer.Release();
  ASSERT_TRUE(queuer.Succeeded());
  std::string log;
  ASSERT_TRUE(WaitUntil(
      [&] {
        log = service.Log();
        return CountOf(log, received) == kQueue && log.find("turns-probe") != std::string::npos;
      },
      std::chrono::seconds(120)))
      << CountOf(log, received) << " of " << kQueue << " registrations handled";
  const int before = CountOf(log.substr(0, log.find("turns-probe")), received);
  // It waits for about one command of the queue, not for a round of all its connections.
  EXPECT_LT(before, kBound / 4) << before << " of the queue's " << kQueue
                                << " registrations were handled before the check";
}

}  // namespace
}  // namespace tarnel::testing
