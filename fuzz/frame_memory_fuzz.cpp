// The frame decoder the server reads with (ReadFrame) and the command reader's JSON parsing
// on an arbitrary byte stream held in memory and handed out in arbitrary chunks: no socket,
// no thread, so it runs thousands of times faster than frame_reader_fuzz.cpp, which keeps
// the socket path under test. Each decision is checked against the frames the stream holds.
//
// Input: byte 0 picks the reader (bit 0: raw frames, else JSON), the number of chunk sizes
// (bits 1 to 4) and how the stream ends (bit 5: a failed read, else the end of the stream);
// then come that many chunk sizes (byte + 1 each, used in turn); the rest is the stream. The
// layout is the one of frame_reader_fuzz.cpp, so inputs carry over between the two.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "command_channel/json_frame.h"
#include "fuzz_support.h"

namespace {

using tarnel::FrameReadResult;
using tarnel::fuzzing::Fail;

// The reader's stack limit (see ParseJson).
constexpr int kNestingLimit = 256;

struct Layout {
  bool raw = false;
  bool endsInError = false;
  std::vector<size_t> chunkSizes;
  std::string_view stream;  // the rest of the input; nothing is copied
};

Layout ParseInput(const uint8_t* data, size_t size) {
  Layout layout;
  if (size == 0) return layout;
  layout.raw = (data[0] & 1) != 0;
  layout.endsInError = (data[0] & 0x20) != 0;
  size_t count = (data[0] >> 1) & 0xF;
  size_t offset = 1;
  for (; count > 0 && offset < size; --count, ++offset)
    layout.chunkSizes.push_back(data[offset] + 1u);
  layout.stream = std::string_view(reinterpret_cast<const char*>(data) + offset, size - offset);
  return layout;
}

// Hands the stream out the way a socket would: each chunk arrives on its own, and a read
// takes at most what is left of the current chunk.
class ChunkedStream {
 public:
  explicit ChunkedStream(const Layout& layout) : layout(layout) {}

  bool Read(void* buffer, uint32_t size, uint32_t* transferred) {
    *transferred = 0;
    if (size == 0) Fail("ReadFrame: asked for no bytes");
    if (offset == layout.stream.size()) return !layout.endsInError;
    if (leftInChunk == 0) leftInChunk = NextChunkSize();
    const size_t piece = std::min<size_t>(size, leftInChunk);
    std::memcpy(buffer, layout.stream.data() + offset, piece);
    offset += piece;
    leftInChunk -= piece;
    *transferred = static_cast<uint32_t>(piece);
    return true;
  }

  size_t Offset() const { return offset; }

 private:
  size_t NextChunkSize() {
    const size_t rest = layout.stream.size() - offset;
    if (layout.chunkSizes.empty()) return rest;
    return std::min(rest, layout.chunkSizes[turn++ % layout.chunkSizes.size()]);
  }

  const Layout& layout;
  size_t offset = 0;
  size_t leftInChunk = 0;
  size_t turn = 0;
};

// What a read at `offset` must decide, from the stream's bytes alone.
struct Expected {
  FrameReadResult result = FrameReadResult::kSourceEnded;
  int32_t length = 0;
  std::string_view payload;
};

Expected ExpectedFrame(std::string_view stream, size_t offset) {
  Expected expected;
  if (stream.size() - offset < 4) return expected;
  expected.length =
      tarnel::DecodeFrameLength(reinterpret_cast<const unsigned char*>(stream.data() + offset));
  if (expected.length <= 0) {
    expected.result = FrameReadResult::kLengthNotPositive;
  } else if (expected.length > tarnel::kMaxMessageSize) {
    expected.result = FrameReadResult::kLengthAboveLimit;
  } else if (stream.size() - offset - 4 >= static_cast<size_t>(expected.length)) {
    expected.result = FrameReadResult::kFrame;
    expected.payload = stream.substr(offset + 4, static_cast<size_t>(expected.length));
  }
  return expected;
}

void CheckRead(const Expected& expected, FrameReadResult result,
               const std::unique_ptr<char[]>& payload, int32_t length) {
  if (result != expected.result) Fail("ReadFrame: result differs from the frames of the stream");
  if (length != expected.length) Fail("ReadFrame: length differs from the frame's length bytes");
  if (result != FrameReadResult::kFrame) {
    if (payload) Fail("ReadFrame: a failed read left a buffer");
    return;
  }
  if (std::memcmp(payload.get(), expected.payload.data(), expected.payload.size()) != 0) {
    Fail("ReadFrame: payload differs from the frame sent");
  }
}

// How deep values nest: 1 for a scalar or an empty container at the root.
int Depth(const Json::Value& value) {
  int deepest = 0;
  if (value.isArray() || value.isObject()) {
    for (const Json::Value& member : value) deepest = std::max(deepest, Depth(member));
  }
  return deepest + 1;
}

// The command reader's decision on one frame's payload, as the server makes it: the text up
// to the first NUL, parsed with the reader's settings. What it accepts nests no deeper than
// its limit, which keeps the recursive code that later walks the value (logging, the
// handler's member checks, destruction) off the end of the stack.
bool CheckJson(const std::unique_ptr<char[]>& payload, int32_t length) {
  Json::Value value;
  const std::string text = tarnel::PayloadText(payload.get(), static_cast<size_t>(length));
  if (!tarnel::ParseJson(text, &value)) return false;
  if (Depth(value) > kNestingLimit) Fail("ParseJson: accepted a value nested beyond the limit");
  return true;
}

void ReadAllFrames(const Layout& layout) {
  ChunkedStream stream(layout);
  const tarnel::FrameByteSource source = [&stream](void* buffer, uint32_t size,
                                                   uint32_t* transferred) {
    return stream.Read(buffer, size, transferred);
  };
  for (;;) {
    const size_t start = stream.Offset();
    const Expected expected = ExpectedFrame(layout.stream, start);
    std::unique_ptr<char[]> payload;
    int32_t length = -1;
    const FrameReadResult result = tarnel::ReadFrame(source, &payload, &length);
    CheckRead(expected, result, payload, length);
    if (result != FrameReadResult::kFrame) return;
    if (stream.Offset() != start + 4 + static_cast<size_t>(length)) {
      Fail("ReadFrame: took more or less than one frame from the stream");
    }
    if (!layout.raw && !CheckJson(payload, length)) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  tarnel::fuzzing::PrepareProcess(argc, argv, "none");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ReadAllFrames(ParseInput(data, size));
  return 0;
}
