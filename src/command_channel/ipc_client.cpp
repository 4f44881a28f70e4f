#include "command_channel/ipc_client.h"

#include <algorithm>
#include <chrono>
#include <thread>

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

bool IPCClient::SendText(const std::string& message) { return SendRaw(EncodeFrame(message)); }

bool IPCClient::SendJsonMessage(const Json::Value& message) {
  return SendText(WriteCompactJson(message));
}

IPCClient::ReadResult IPCClient::ReadExactly(char* buffer, uint32_t size, int64_t deadline_ms) {
  for (uint32_t done = 0; done < size;) {
    const int64_t remaining = deadline_ms - NowMs();
    if (remaining <= 0 ||
        !platform::WaitPipeReadable(handle.Get(), static_cast<int32_t>(remaining))) {
      return ReadResult::kTimedOut;
    }
    uint32_t count = 0;
    if (!platform::ReadPipe(handle.Get(), buffer + done, size - done, &count) || count == 0) {
      return ReadResult::kClosed;
    }
    done += count;
  }
  return ReadResult::kMessage;
}

IPCClient::ReadResult IPCClient::ReadText(std::string* message, int32_t timeout_ms) {
  if (!handle.IsValid()) return ReadResult::kClosed;
  const int64_t deadline = NowMs() + timeout_ms;
  unsigned char lengthBytes[4];
  ReadResult result = ReadExactly(reinterpret_cast<char*>(lengthBytes), 4, deadline);
  if (result != ReadResult::kMessage) return result;
  const int32_t length = DecodeFrameLength(lengthBytes);
  if (length <= 0 || length > kMaxMessageSize) return ReadResult::kInvalid;
  std::string payload(static_cast<size_t>(length), '\0');
  result = ReadExactly(&payload[0], static_cast<uint32_t>(length), deadline);
  if (result != ReadResult::kMessage) return result;
  *message = PayloadText(payload.data(), payload.size());
  return ReadResult::kMessage;
}

IPCClient::ReadResult IPCClient::ReadRaw(std::string* bytes, uint32_t size, int32_t timeout_ms) {
  if (!handle.IsValid()) return ReadResult::kClosed;
  std::string buffer(size, '\0');
  const ReadResult result = ReadExactly(&buffer[0], size, NowMs() + timeout_ms);
  if (result == ReadResult::kMessage) *bytes = std::move(buffer);
  return result;
}

IPCClient::ReadResult IPCClient::ReadJsonMessage(Json::Value* message, int32_t timeout_ms) {
  std::string body;
  const ReadResult result = ReadText(&body, timeout_ms);
  if (result != ReadResult::kMessage) return result;
  return ParseJson(body, message) ? ReadResult::kMessage : ReadResult::kInvalid;
}

}  // namespace tarnel
