#include "command_support.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "command_channel/json_frame.h"
#include "fuzz_support.h"
#include "logging/logger.h"
#include "update/file_digest.h"

namespace tarnel::fuzzing {
namespace {

constexpr char kInstallerContent[] = "#!/bin/sh\nexit 0\n";
constexpr char kFifoName[] = "fifo";
constexpr char kFolderName[] = "folder";

constexpr auto kBlockedLimit = std::chrono::seconds(8);
std::atomic<int64_t> g_inputStart{0};  // steady-clock nanoseconds; 0 between inputs

int64_t Now() { return std::chrono::steady_clock::now().time_since_epoch().count(); }

}  // namespace

void PrepareInstaller() {
  WriteFileOrDie(kInstallerName, kInstallerContent);
  chmod(kInstallerName, 0644);
  if (mkfifo(kFifoName, 0644) != 0 || mkdir(kFolderName, 0755) != 0) {
    Fail("cannot create the fifo and the folder");
  }
  std::string digest;
  if (!ComputeFileSha256(kInstallerName, digest) || digest != kInstallerSha256) {
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
        DecodeFrameLength(reinterpret_cast<const unsigned char*>(bytes.data() + offset));
    if (length <= 0 || bytes.size() - offset - 4 < static_cast<size_t>(length)) {
      Fail("reply: bad or torn frame");
    }
    const std::string payload = bytes.substr(offset + 4, static_cast<size_t>(length));
    if (payload.back() != '\0') Fail("reply: frame without its closing NUL");
    Json::Value reply;
    if (!ParseJson(PayloadText(payload.data(), payload.size()), &reply) || !reply.isObject() ||
        reply.size() != 1) {
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

void InputStarted() { g_inputStart = Now(); }

void InputEnded() {
  GetLogger()->Flush();
  g_inputStart = 0;
}

}  // namespace tarnel::fuzzing
