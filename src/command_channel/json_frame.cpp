#include "command_channel/json_frame.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <sstream>

namespace tarnel {

namespace {

// Readers and writers keep no state between two messages, and building one with its
// settings costs more than parsing or writing a command: the process builds one of each and
// lends it out under a lock (a parse or a write takes a microsecond). They live as long as
// the process; thread-local objects with destructors are unreliable at the end of a thread
// with the MinGW runtime.
struct SharedJson {
  std::mutex mutex;
  std::unique_ptr<Json::CharReader> reader;
  std::unique_ptr<Json::StreamWriter> writer;
  std::ostringstream output;  // the writer only inserts text: emptying it is enough
};

SharedJson& Shared() {
  static SharedJson* shared = [] {
    auto* made = new SharedJson();
    Json::CharReaderBuilder reader;
    reader["collectComments"] = true;
    reader["allowComments"] = true;
    reader["allowTrailingCommas"] = true;
    reader["strictRoot"] = false;
    reader["allowDroppedNullPlaceholders"] = false;
    reader["allowNumericKeys"] = false;
    reader["allowSingleQuotes"] = false;
    reader["stackLimit"] = 256;
    reader["failIfExtra"] = false;
    reader["rejectDupKeys"] = false;
    reader["allowSpecialFloats"] = false;
    reader["skipBom"] = true;
    made->reader.reset(reader.newCharReader());
    Json::StreamWriterBuilder writer;
    writer["commentStyle"] = "None";
    writer["indentation"] = "";
    made->writer.reset(writer.newStreamWriter());
    return made;
  }();
  return *shared;
}

}  // namespace

std::string WriteCompactJson(const Json::Value& value) {
  SharedJson& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  shared.output.str(std::string());
  shared.output.clear();
  shared.writer->write(value, &shared.output);
  return shared.output.str();
}

bool ParseJson(const std::string& text, Json::Value* value) {
  SharedJson& shared = Shared();
  std::lock_guard<std::mutex> lock(shared.mutex);
  try {
    return shared.reader->parse(text.data(), text.data() + text.size(), value, nullptr);
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

FrameByteSource PipeByteSource(platform::PipeHandle pipe) {
  return [pipe](void* buffer, uint32_t size, uint32_t* transferred) {
    return platform::ReadPipe(pipe, buffer, size, transferred);
  };
}

bool ReadExactly(const FrameByteSource& source, char* buffer, uint32_t size) {
  for (uint32_t done = 0; done < size;) {
    uint32_t count = 0;
    if (!source(buffer + done, size - done, &count) || count == 0) return false;
    done += count;
  }
  return true;
}

FrameReadResult ReadFrame(const FrameByteSource& source, std::unique_ptr<char[]>* payload,
                          int32_t* length) {
  payload->reset();
  *length = 0;
  unsigned char lengthBytes[4];
  if (!ReadExactly(source, reinterpret_cast<char*>(lengthBytes), 4)) {
    return FrameReadResult::kSourceEnded;
  }
  *length = DecodeFrameLength(lengthBytes);
  if (*length <= 0) return FrameReadResult::kLengthNotPositive;
  if (*length > kMaxMessageSize) return FrameReadResult::kLengthAboveLimit;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[*length]);
  if (!buffer) return FrameReadResult::kOutOfMemory;
  if (!ReadExactly(source, buffer.get(), static_cast<uint32_t>(*length))) {
    return FrameReadResult::kSourceEnded;
  }
  *payload = std::move(buffer);
  return FrameReadResult::kFrame;
}

std::string PayloadText(const char* payload, size_t size) {
  return std::string(payload, std::find(payload, payload + size, '\0'));
}

bool WriteInPieces(platform::PipeHandle pipe, const std::string& bytes, int32_t stallLimitMs) {
  for (size_t offset = 0; offset < bytes.size(); offset += kWritePieceSize) {
    const uint32_t piece =
        static_cast<uint32_t>(std::min<size_t>(kWritePieceSize, bytes.size() - offset));
    uint32_t written = 0;
    if (!platform::WritePipe(pipe, bytes.data() + offset, piece, &written, stallLimitMs) ||
        written != piece) {
      return false;
    }
  }
  return true;
}

bool WriteFrame(platform::PipeHandle pipe, const std::string& text, int32_t stallLimitMs) {
  return WriteInPieces(pipe, EncodeFrame(text), stallLimitMs);
}

}  // namespace tarnel
