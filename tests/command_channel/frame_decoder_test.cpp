// The frame decoder on streams held in memory, handed out in chunks of a given size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "command_channel/json_frame.h"

namespace tarnel {
namespace {

struct Case {
  const char* name;
  std::string stream;
  size_t chunk;    // bytes per read at most
  bool failAtEnd;  // the last read fails instead of reporting the end of the stream
  FrameReadResult result;
  int32_t length;
  std::string payload;
};

FrameReadResult Decode(const Case& c, std::unique_ptr<char[]>* payload, int32_t* length,
                       size_t* consumed) {
  *consumed = 0;
  return ReadFrame(
      [&](void* buffer, uint32_t size, uint32_t* transferred) {
        const size_t piece =
            std::min({static_cast<size_t>(size), c.chunk, c.stream.size() - *consumed});
        std::memcpy(buffer, c.stream.data() + *consumed, piece);
        *consumed += piece;
        *transferred = static_cast<uint32_t>(piece);
        return piece > 0 || !c.failAtEnd;
      },
      payload, length);
}

TEST(FrameDecoder, DecidesEachStreamByItsBytes) {
  const std::string json = EncodeFrame("{}");
  const Case cases[] = {
      {"whole frame", json, 64, false, FrameReadResult::kFrame, 3, std::string("{}\0", 3)},
      {"one byte per read", json, 1, false, FrameReadResult::kFrame, 3, std::string("{}\0", 3)},
      {"second frame left unread", json + json, 64, false, FrameReadResult::kFrame, 3,
       std::string("{}\0", 3)},
      {"empty stream", "", 64, false, FrameReadResult::kSourceEnded, 0, ""},
      {"torn length", std::string("\x03\x00", 2), 1, false, FrameReadResult::kSourceEnded, 0, ""},
      {"torn payload", json.substr(0, 5), 2, false, FrameReadResult::kSourceEnded, 3, ""},
      {"failing read", json.substr(0, 5), 64, true, FrameReadResult::kSourceEnded, 3, ""},
      {"length zero", EncodeFrameLength(0) + "x", 64, false, FrameReadResult::kLengthNotPositive, 0,
       ""},
      {"negative length", EncodeFrameLength(-5), 64, false, FrameReadResult::kLengthNotPositive, -5,
       ""},
      {"above the limit", EncodeFrameLength(kMaxMessageSize + 1), 64, false,
       FrameReadResult::kLengthAboveLimit, kMaxMessageSize + 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<char[]> payload(new char[1]);
    int32_t length = 99;
    size_t consumed = 0;
    EXPECT_EQ(Decode(c, &payload, &length, &consumed), c.result);
    EXPECT_EQ(length, c.length);
    if (c.result == FrameReadResult::kFrame) {
      ASSERT_TRUE(payload);
      EXPECT_EQ(std::string(payload.get(), static_cast<size_t>(length)), c.payload);
      EXPECT_EQ(consumed, 4 + c.payload.size());
    } else {
      EXPECT_FALSE(payload);
    }
  }
}

}  // namespace
}  // namespace tarnel
