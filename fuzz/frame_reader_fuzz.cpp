// The server's frame reader on an arbitrary byte stream that arrives in arbitrary chunks: a
// writer thread feeds one end of a connected socket pair, ReadMessage or ReadJsonMessage
// reads frames from the other until a read fails. Each read is checked against the frames
// the stream really holds.
//
// Input: byte 0 picks the reader (bit 0: raw frames, else JSON) and the number of chunk
// sizes (bits 1 to 4); then come that many chunk sizes (byte + 1 each, used in turn); the
// rest is the stream, after which the writer closes its end.
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "command_channel/ipc_server.h"
#include "command_channel/json_frame.h"
#include "fuzz_support.h"

namespace {

using tarnel::fuzzing::Fail;

class FrameReader : public tarnel::IPCServer {
 public:
  using IPCServer::ReadJsonMessage;
  using IPCServer::ReadMessage;

 protected:
  bool HandleCommunication(tarnel::platform::PipeHandle, const Json::Value&, Reply*) override {
    return false;
  }
};

struct Layout {
  bool raw = false;
  std::vector<size_t> chunkSizes;
  std::string stream;
};

Layout ParseInput(const uint8_t* data, size_t size) {
  Layout layout;
  if (size == 0) return layout;
  layout.raw = (data[0] & 1) != 0;
  size_t count = (data[0] >> 1) & 0xF;
  size_t offset = 1;
  for (; count > 0 && offset < size; --count, ++offset)
    layout.chunkSizes.push_back(data[offset] + 1u);
  layout.stream.assign(reinterpret_cast<const char*>(data) + offset, size - offset);
  return layout;
}

void FeedStream(int fd, const Layout& layout) {
  size_t offset = 0;
  for (size_t turn = 0; offset < layout.stream.size(); ++turn) {
    size_t piece = layout.stream.size() - offset;
    if (!layout.chunkSizes.empty()) {
      piece = std::min(piece, layout.chunkSizes[turn % layout.chunkSizes.size()]);
    }
    const ssize_t sent = send(fd, layout.stream.data() + offset, piece, MSG_NOSIGNAL);
    if (sent <= 0) break;  // the reader gave up and closed its end
    offset += static_cast<size_t>(sent);
    sched_yield();  // lets the reader take this chunk on its own
  }
  shutdown(fd, SHUT_WR);
}

// What the stream holds at `offset`: a complete, acceptable frame (its payload in *payload),
// or nothing a read may accept.
bool ExpectedFrame(const std::string& stream, size_t offset, std::string* payload) {
  if (stream.size() - offset < 4) return false;
  const int32_t length =
      tarnel::DecodeFrameLength(reinterpret_cast<const unsigned char*>(stream.data() + offset));
  if (length <= 0 || length > tarnel::kMaxMessageSize) return false;
  if (stream.size() - offset - 4 < static_cast<size_t>(length)) return false;
  payload->assign(stream, offset + 4, static_cast<size_t>(length));
  return true;
}

void ReadAllFrames(FrameReader& reader, int fd, const Layout& layout) {
  size_t offset = 0;
  for (;;) {
    std::string expected;
    const bool complete = ExpectedFrame(layout.stream, offset, &expected);
    if (layout.raw) {
      std::unique_ptr<char[]> message;
      int32_t size = -1;
      const bool read = reader.ReadMessage(fd, &message, &size);
      if (read != complete) Fail("ReadMessage: result differs from the frames of the stream");
      if (!read) {
        if (message || size != 0) Fail("ReadMessage: failed read left a buffer or size");
        return;
      }
      if (static_cast<size_t>(size) != expected.size() ||
          std::memcmp(message.get(), expected.data(), expected.size()) != 0) {
        Fail("ReadMessage: payload differs from the frame sent");
      }
    } else {
      Json::Value message;
      const bool read = reader.ReadJsonMessage(fd, &message);
      if (read && !complete) Fail("ReadJsonMessage: accepted an incomplete or invalid frame");
      Json::Value direct;
      const std::string text = tarnel::PayloadText(expected.data(), expected.size());
      const bool parses = complete && tarnel::ParseJson(text, &direct);
      if (read != parses) Fail("ReadJsonMessage: result differs from parsing the frame's text");
      if (!read) return;
      if (!(direct == message)) Fail("ReadJsonMessage: value differs from the frame's text");
    }
    offset += 4 + expected.size();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "none");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Layout layout = ParseInput(data, size);
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) Fail("socketpair");
  std::thread writer(FeedStream, ends[1], std::cref(layout));
  {
    FrameReader reader;
    ReadAllFrames(reader, ends[0], layout);
  }
  // Unblocks a writer still sending what the reader no longer wants.
  shutdown(ends[0], SHUT_RDWR);
  writer.join();
  close(ends[0]);
  close(ends[1]);
  return 0;
}
