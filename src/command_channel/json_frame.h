// The frame format shared by both ends of the command pipe: a little-endian signed 32-bit
// length L, then L bytes: the JSON text and one NUL byte.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pipe.h"

namespace tarnel {

// Commands and replies are tiny; a longer frame is refused before anything is allocated.
constexpr int32_t kMaxMessageSize = 1024 * 1024;
// Frames are written in pieces of at most the pipe's buffer size.
constexpr uint32_t kWritePieceSize = 65536;

// The value as compact text: no spaces, no line breaks, members sorted by name.
std::string WriteCompactJson(const Json::Value& value);

// Parses `text` with the command reader's settings (comments and trailing commas allowed,
// any root value, text after the first value ignored, nesting limited to 256 levels).
// False for invalid JSON and for anything the library rejects by throwing.
bool ParseJson(const std::string& text, Json::Value* value);

// The whole frame for `text`: its length + 1, the text, a NUL.
std::string EncodeFrame(const std::string& text);

// Writes the frame for `text` with WriteInPieces.
bool WriteFrame(platform::PipeHandle pipe, const std::string& text, int32_t stallLimitMs);

// Writes `bytes` in pieces of kWritePieceSize, each one write call that must move exactly
// its own size; false on a failed or short write, or one that moved nothing for
// `stallLimitMs` (platform::kNoStallLimit: no bound).
bool WriteInPieces(platform::PipeHandle pipe, const std::string& bytes, int32_t stallLimitMs);

// The 4 length bytes of a frame, little-endian.
std::string EncodeFrameLength(int32_t length);
int32_t DecodeFrameLength(const unsigned char* bytes);

// One read from wherever frames come from: up to `size` bytes into `buffer`. False when the
// read failed; true with *transferred 0 at the end of the stream.
using FrameByteSource = std::function<bool(void* buffer, uint32_t size, uint32_t* transferred)>;

// A source that makes one ReadPipe call on `pipe` per read, blocking until bytes arrive.
FrameByteSource PipeByteSource(platform::PipeHandle pipe);

// Fills `buffer` with exactly `size` bytes from `source`, asking for all still-missing bytes
// in every read; false when a read failed or the stream ended first.
bool ReadExactly(const FrameByteSource& source, char* buffer, uint32_t size);

enum class FrameReadResult {
  kFrame,              // a whole frame was read
  kSourceEnded,        // a read failed or the stream ended before the frame was complete
  kLengthNotPositive,  // the length was 0 or negative
  kLengthAboveLimit,   // the length was above kMaxMessageSize
  kOutOfMemory,        // no buffer for the payload could be allocated
};

// Reads one frame from `source`: the 4 length bytes, then the payload, each part asked for
// with all its still-missing bytes in every read. On kFrame *payload holds exactly *length
// bytes; otherwise *payload is empty and *length holds the decoded length (0 when the length
// did not arrive whole), so the caller can log it.
FrameReadResult ReadFrame(const FrameByteSource& source, std::unique_ptr<char[]>* payload,
                          int32_t* length);

// The text of a payload: the bytes before the first NUL (all of them when there is none).
std::string PayloadText(const char* payload, size_t size);

}  // namespace tarnel
