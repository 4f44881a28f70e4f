#include "command_channel/ipc_client.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "command_channel/json_frame.h"
#include "logging/logger.h"

namespace tarnel {
namespace {

constexpr auto kConnectDeadline = std::chrono::seconds(5);
constexpr auto kRetryPause = std::chrono::milliseconds(20);
constexpr uint32_t kBusyWaitMs = 100;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Reads of `pipe` that wait for bytes no later than `deadline_ms`; a read that gives up at
// the deadline fails with *timedOut set.
FrameByteSource TimedPipeSource(platform::PipeHandle pipe, int64_t deadline_ms, bool* timedOut) {
  return [pipe, deadline_ms, timedOut](void* buffer, uint32_t size, uint32_t* transferred) {
    *transferred = 0;
    const int64_t remaining = deadline_ms - NowMs();
    if (remaining <= 0 || !platform::WaitPipeReadable(pipe, static_cast<int32_t>(remaining))) {
      *timedOut = true;
      return false;
    }
    return platform::ReadPipe(pipe, buffer, size, transferred);
  };
}

// What a read that ended before all its bytes came means for the caller.
IPCClient::ReadResult EndedRead(bool timedOut) {
  return timedOut ? IPCClient::ReadResult::kTimedOut : IPCClient::ReadResult::kClosed;
}

}  // namespace

IPCClient::IPCClient(bool verboseLines) : verbose(verboseLines), text("not connected") {}

IPCClient::~IPCClient() { Disconnect(); }

bool IPCClient::Connect(const std::string& name, bool retry) {
  Disconnect();
  text = name;
  const auto deadline = std::chrono::steady_clock::now() + kConnectDeadline;
  for (;;) {
    platform::OpenResult result = platform::OpenClientPipe(name, &handle);
    if (result == platform::OpenResult::kOpened) return true;
    if (result == platform::OpenResult::kBusy) {
      if (verbose) TARNEL_LOG(VERBOSE) << text << " IPCClient waiting, pipe is busy";
      if (platform::WaitForFreeInstance(name, kBusyWaitMs)) {
        if (platform::OpenClientPipe(name, &handle) == platform::OpenResult::kOpened) return true;
      } else if (verbose) {
        TARNEL_LOG(VERBOSE) << text << " IPCClient waiting is over, retrying to connect";
      }
    }
    if (!retry || std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kRetryPause);
  }
}

void IPCClient::Disconnect() {
  if (!handle.IsValid()) return;
  if (!handle.Close()) {
    text = "disconnected";
    if (verbose) TARNEL_LOG(ERROR) << text << " IPCClient send message: failed.";
  }
}

bool IPCClient::SendRaw(const std::string& bytes) {
  if (!handle.IsValid()) return false;
  return WriteInPieces(handle.Get(), bytes, platform::kNoStallLimit);
}

bool IPCClient::SendText(const std::string& message) {
  return handle.IsValid() && WriteFrame(handle.Get(), message, platform::kNoStallLimit);
}

bool IPCClient::SendJsonMessage(const Json::Value& message) {
  return SendText(WriteCompactJson(message));
}

IPCClient::ReadResult IPCClient::ReadText(std::string* message, int32_t timeout_ms) {
  if (!handle.IsValid()) return ReadResult::kClosed;
  bool timedOut = false;
  std::unique_ptr<char[]> payload;
  int32_t length = 0;
  const FrameReadResult result =
      ReadFrame(TimedPipeSource(handle.Get(), NowMs() + timeout_ms, &timedOut), &payload, &length);
  if (result == FrameReadResult::kSourceEnded) return EndedRead(timedOut);
  // A frame that cannot be held is a failed read.
  if (result == FrameReadResult::kOutOfMemory) return ReadResult::kClosed;
  if (result != FrameReadResult::kFrame) return ReadResult::kInvalid;
  *message = PayloadText(payload.get(), static_cast<size_t>(length));
  return ReadResult::kMessage;
}

IPCClient::ReadResult IPCClient::ReadRaw(std::string* bytes, uint32_t size, int32_t timeout_ms) {
  if (!handle.IsValid()) return ReadResult::kClosed;
  std::string buffer(size, '\0');
  bool timedOut = false;
  if (!ReadExactly(TimedPipeSource(handle.Get(), NowMs() + timeout_ms, &timedOut), &buffer[0],
                   size)) {
    return EndedRead(timedOut);
  }
  *bytes = std::move(buffer);
  return ReadResult::kMessage;
}

IPCClient::ReadResult IPCClient::ReadJsonMessage(Json::Value* message, int32_t timeout_ms) {
  std::string body;
  const ReadResult result = ReadText(&body, timeout_ms);
  if (result != ReadResult::kMessage) return result;
  return ParseJson(body, message) ? ReadResult::kMessage : ReadResult::kInvalid;
}

}  // namespace tarnel
