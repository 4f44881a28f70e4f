#include "command_channel/json_frame.h"

#include <algorithm>
#include <memory>

namespace tarnel {

std::string WriteCompactJson(const Json::Value& value) {
  Json::StreamWriterBuilder builder;
  builder["commentStyle"] = "None";
  builder["indentation"] = "";
  return Json::writeString(builder, value);
}

bool ParseJson(const std::string& text, Json::Value* value) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = true;
  builder["allowComments"] = true;
  builder["allowTrailingCommas"] = true;
  builder["strictRoot"] = false;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["allowSingleQuotes"] = false;
  builder["stackLimit"] = 256;
  builder["failIfExtra"] = false;
  builder["rejectDupKeys"] = false;
  builder["allowSpecialFloats"] = false;
  builder["skipBom"] = true;
  try {
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    return reader->parse(text.data(), text.data() + text.size(), value, nullptr);
  } catch (const std::exception&) {
    // Nesting beyond the stack limit is thrown, not reported.
    *value = Json::Value();
    return false;
  }
}

std::string EncodeFrameLength(int32_t length) {
  const uint32_t bits = static_cast<uint32_t>(length);
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((bits >> (8 * i)) & 0xFF);
  return bytes;
}

int32_t DecodeFrameLength(const unsigned char* bytes) {
  uint32_t bits = 0;
  for (int i = 3; i >= 0; --i) bits = (bits << 8) | bytes[i];
  return static_cast<int32_t>(bits);
}

std::string EncodeFrame(const std::string& text) {
  return EncodeFrameLength(static_cast<int32_t>(text.size() + 1)) + text + std::string(1, '\0');
}

std::string PayloadText(const char* payload, size_t size) {
  return std::string(payload, std::find(payload, payload + size, '\0'));
}

}  // namespace tarnel
