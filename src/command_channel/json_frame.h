// The frame format shared by both ends of the command pipe: a little-endian signed 32-bit
// length L, then L bytes: the JSON text and one NUL byte.
#pragma once

#include <json/json.h>

#include <cstdint>
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

// Writes `bytes` in pieces of kWritePieceSize, each one write call that must move exactly
// its own size; false on a failed or short write, or one that moved nothing for
// `stallLimitMs` (platform::kNoStallLimit: no bound).
bool WriteInPieces(platform::PipeHandle pipe, const std::string& bytes, int32_t stallLimitMs);

// The 4 length bytes of a frame, little-endian.
std::string EncodeFrameLength(int32_t length);
int32_t DecodeFrameLength(const unsigned char* bytes);

// The text of a payload: the bytes before the first NUL (all of them when there is none).
std::string PayloadText(const char* payload, size_t size);

}  // namespace tarnel
