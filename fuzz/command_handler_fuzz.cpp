// The command handler on arbitrary JSON texts, against a real store: a temporary
// STATE_DIRECTORY whose updater.json records a package ("installer.bin" in the working
// folder, with its true digest) and has no InstallPath, so an install attempt can get as far
// as the digest check but never starts anything (the file is not executable either). The
// working folder also holds a named pipe "fifo" and a folder "folder" to register.
//
// Input: up to kMaxCommands texts separated by NUL bytes, handled in turn on one connection
// the way the server does: a text that does not parse, or a handler result of false, closes
// the connection. Replies are read from the client end and checked; after the sequence the
// store must still hold its record.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "command_channel/json_frame.h"
#include "command_channel/updater_ipc_server.h"
#include "fuzz_support.h"
#include "service_host/updater_manager.h"
#include "update/file_digest.h"

namespace {

using tarnel::fuzzing::Fail;

constexpr size_t kMaxCommands = 8;
constexpr char kInstallerName[] = "installer.bin";
constexpr char kInstallerContent[] = "#!/bin/sh\nexit 0\n";
constexpr char kFifoName[] = "fifo";
constexpr char kFolderName[] = "folder";
// The digest of kInstallerContent; the seed corpus registers it too.
constexpr char kInstallerSha256[] =
    "306c6ca7407560340797866e077e053627ad409277d1b9da58106fce4cf717cb";

class CommandHandler : public tarnel::UpdaterIPCServer {
 public:
  using UpdaterIPCServer::UpdaterIPCServer;

  // One message as the server serves it: the handler, then its reply is written and what
  // it asked to run afterwards runs.
  bool Serve(tarnel::platform::PipeHandle pipe, const Json::Value& message) {
    Reply reply;
    const bool keep = HandleCommunication(pipe, message, &reply);
    const bool written = !reply.message || WriteJsonMessage(pipe, *reply.message);
    if (reply.afterWrite) reply.afterWrite();
    return keep && written;
  }
};

std::string InitialStore() {
  return std::string("{\"PendingUpdate\": 1, \"InstallerPath\": \"") + kInstallerName +
         "\", \"InstallerTargetVersion\": \"2.0.1\", \"InstallerSha256\": \"" + kInstallerSha256 +
         "\"}";
}

void PrepareInstaller() {
  tarnel::fuzzing::WriteFileOrDie(kInstallerName, kInstallerContent);
  chmod(kInstallerName, 0644);
  // Files an installer path may name that are no regular file: a named pipe with no writer
  // and a folder.
  if (mkfifo(kFifoName, 0644) != 0 || mkdir(kFolderName, 0755) != 0) {
    Fail("cannot create the fifo and the folder");
  }
  std::string digest;
  if (!tarnel::ComputeFileSha256(kInstallerName, digest) || digest != kInstallerSha256) {
    Fail("the test installer's digest is not the recorded one");
  }
}

std::vector<std::string> SplitCommands(const uint8_t* data, size_t size) {
  std::vector<std::string> commands(1);
  for (size_t i = 0; i < size && commands.size() <= kMaxCommands; ++i) {
    if (data[i] == 0) {
      commands.emplace_back();
    } else {
      commands.back() += static_cast<char>(data[i]);
    }
  }
  if (commands.size() > kMaxCommands) commands.resize(kMaxCommands);
  return commands;
}

// Every complete frame waiting on the client end, as parsed values; a torn or malformed
// reply fails the run.
std::vector<Json::Value> TakeReplies(int client) {
  std::string bytes;
  char buffer[4096];
  for (;;) {
    const ssize_t count = recv(client, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (count <= 0) break;
    bytes.append(buffer, static_cast<size_t>(count));
  }
  std::vector<Json::Value> replies;
  for (size_t offset = 0; offset < bytes.size();) {
    if (bytes.size() - offset < 4) Fail("reply: torn length");
    const int32_t length =
        tarnel::DecodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data() + offset));
    if (length <= 0 || bytes.size() - offset - 4 < static_cast<size_t>(length)) {
      Fail("reply: bad or torn frame");
    }
    const std::string payload = bytes.substr(offset + 4, static_cast<size_t>(length));
    if (payload.back() != '\0') Fail("reply: frame without its closing NUL");
    Json::Value reply;
    if (!tarnel::ParseJson(tarnel::PayloadText(payload.data(), payload.size()), &reply) ||
        !reply.isObject() || reply.size() != 1) {
      Fail("reply: not an object of one member");
    }
    replies.push_back(reply);
    offset += 4 + static_cast<size_t>(length);
  }
  return replies;
}

std::string TypeOf(const Json::Value& message) {
  if (!message.isObject() || !message["type"].isString()) return "";
  return message["type"].asString();
}

void CheckReplies(const Json::Value& message, bool keep, const std::vector<Json::Value>& replies) {
  const std::string type = TypeOf(message);
  if (type == "is_update_needed" && keep) {
    if (replies.size() != 1 || !replies[0]["update_needed"].isBool()) {
      Fail("is_update_needed: no {\"update_needed\": boolean} reply");
    }
  } else if (type == "stop_service") {
    if (replies.size() > 1) Fail("stop_service: more than one reply");
    if (replies.size() == 1 && replies[0]["status"] != "ok") Fail("stop_service: reply not ok");
  } else if (!replies.empty()) {
    Fail("a reply to a command that has none");
  }
}

// The record survives whatever the commands did: the store is still a JSON object whose
// values have their types.
void CheckStore() {
  Json::Value store;
  if (!tarnel::ParseJson(tarnel::fuzzing::ReadFileOrEmpty(tarnel::fuzzing::StoreFilePath()),
                         &store) ||
      !store.isObject()) {
    Fail("store: no longer a JSON object");
  }
  if (!store["PendingUpdate"].isIntegral()) Fail("store: PendingUpdate lost its number");
  for (const char* name : {"InstallerPath", "InstallerTargetVersion", "InstallerSha256"}) {
    if (!store[name].isString()) Fail("store: a string value was lost");
  }
  if (store.isMember("InstallPath")) Fail("store: InstallPath appeared");
}

CommandHandler* g_handler = nullptr;

// The handler serialises all connections, so a command that blocks is a denial of service.
// libFuzzer's own time-out cannot show it: its alarm (SIGALRM) interrupts the blocked system
// call, which then fails and hides the block. So the alarm is kept away from this thread
// (the logger's writer thread, started earlier, takes it and libFuzzer ignores it there),
// and a watchdog thread aborts when one input runs longer than kBlockedLimit; libFuzzer then
// saves that input like any crash.
constexpr auto kBlockedLimit = std::chrono::seconds(8);
std::atomic<int64_t> g_inputStart{0};  // steady-clock nanoseconds; 0 between inputs

int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

void StartWatchdog() {
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_BLOCK, &alarm, nullptr);
  std::thread([] {
    const int64_t limit = std::chrono::nanoseconds(kBlockedLimit).count();
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const int64_t start = g_inputStart.load();
      if (start != 0 && Now() - start > limit) Fail("one input blocked the handler for 8 s");
    }
  }).detach();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "sensitive");
  StartWatchdog();
  PrepareInstaller();
  g_handler = new CommandHandler(tarnel::UpdaterManager::GetInstance());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_inputStart = Now();
  tarnel::fuzzing::WriteFileOrDie(tarnel::fuzzing::StoreFilePath(), InitialStore());
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair");
  for (const std::string& text : SplitCommands(data, size)) {
    Json::Value message;
    if (!tarnel::ParseJson(text, &message)) break;
    const bool keep = g_handler->Serve(ends[0], message);
    CheckReplies(message, keep, TakeReplies(ends[1]));
    if (!keep) break;
  }
  close(ends[0]);
  close(ends[1]);
  CheckStore();
  g_inputStart = 0;
  return 0;
}
