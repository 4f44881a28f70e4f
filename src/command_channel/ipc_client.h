// The client end of the command channel: connects to a server's pipe and moves frames.
// The server uses it to wake its own listening thread at stop; the client tool and the
// tests use it to talk to the service.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <string>

#include "platform/pipe.h"

namespace tarnel {

class IPCClient {
 public:
  explicit IPCClient(bool verbose);
  ~IPCClient();  // disconnects
  IPCClient(const IPCClient&) = delete;
  IPCClient& operator=(const IPCClient&) = delete;

  // Opens the pipe `name`. With `retry`, keeps trying every 20 ms (waiting up to 100 ms
  // for an instance when all are busy) until 5 seconds have passed.
  bool Connect(const std::string& name, bool retry);
  // Closes the pipe when it is open.
  void Disconnect();
  bool IsConnected() const { return handle.IsValid(); }

  // Writes bytes as they are (for malformed or split frames); true when all went out.
  bool SendRaw(const std::string& bytes);
  // Writes `text` as one frame (length, text, NUL).
  bool SendText(const std::string& text);
  // Writes the value's compact text as one frame.
  bool SendJsonMessage(const Json::Value& message);

  enum class ReadResult { kMessage, kClosed, kTimedOut, kInvalid };
  // Reads one frame within `timeout_ms` and gives its text (up to the first NUL).
  // kClosed: the server ended the connection (or the read failed); kInvalid: a length of
  // 0 or less or above the bound.
  ReadResult ReadText(std::string* text, int32_t timeout_ms);
  // Reads exactly `size` bytes as they come, frame or not.
  ReadResult ReadRaw(std::string* bytes, uint32_t size, int32_t timeout_ms);
  // Reads one frame and parses it; kInvalid also for text that is not JSON.
  ReadResult ReadJsonMessage(Json::Value* message, int32_t timeout_ms);

 private:
  platform::ScopedPipe handle;
  bool verbose;
  std::string text;
};

}  // namespace tarnel
