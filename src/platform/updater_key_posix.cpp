#include "platform/updater_key.h"

#include "platform/state_folder_posix.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <utility>

namespace tarnel::platform {
namespace {

constexpr char kStoreFileName[] = "updater.json";
constexpr char kTemporarySuffix[] = ".tmp";
constexpr char kDefaultStateFolder[] = "/var/lib/tarnel/";

struct OpenStore {
  std::string folder;
  std::string path;
  KeyAccess access;
  Json::Value document;
};

int32_t StatusForErrno(int error) {
  if (error == ENOENT || error == ENOTDIR) return kRegistryFileNotFound;
  if (error == EACCES || error == EPERM || error == EROFS) return kRegistryAccessDenied;
  return kRegistryWriteFault;
}

int32_t ReadWholeFile(const std::string& path, std::string* text) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return StatusForErrno(errno);
  char chunk[4096];
  ssize_t count = 0;
  while ((count = read(fd, chunk, sizeof(chunk))) != 0) {
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) break;
    text->append(chunk, static_cast<size_t>(count));
  }
  const int error = errno;
  close(fd);
  return count == 0 ? kRegistrySuccess : StatusForErrno(error);
}

int32_t LoadDocument(const std::string& path, Json::Value* document) {
  std::string text;
  const int32_t status = ReadWholeFile(path, &text);
  if (status != kRegistrySuccess) return status;
  // Every read of the record parses with the same settings: each thread builds its reader
  // once (building one costs more than parsing the small document).
  thread_local const std::unique_ptr<Json::CharReader> reader(
      Json::CharReaderBuilder().newCharReader());
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), document, &errors)) {
      return kRegistryBadDatabase;
    }
  } catch (const std::exception&) {  // nesting beyond the reader's limit
    return kRegistryBadDatabase;
  }
  return document->isObject() ? kRegistrySuccess : kRegistryBadDatabase;
}

bool WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t result = write(fd, text.data() + written, text.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) return false;
    written += static_cast<size_t>(result);
  }
  return true;
}

void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

// Writes the document to a temporary file beside the store, flushes it to disk and renames
// it over the store, so that readers see either the old or the new store, never a torn one.
int32_t ReplaceStore(const std::string& folder, const std::string& path,
                     const Json::Value& document) {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  const std::string text = Json::writeString(builder, document) + "\n";
  // One fixed name: a write cut short by a crash leaves at most this one file behind, and
  // the next write replaces it. Writes never overlap (one command at a time). A leftover is
  // removed rather than reused, so nothing planted under the name (a link) is written through.
  const std::string temporary = path + kTemporarySuffix;
  unlink(temporary.c_str());
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return StatusForErrno(errno);
  struct stat current {};
  if (stat(path.c_str(), &current) == 0) fchmod(fd, current.st_mode & 07777);
  bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const int writeError = errno;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = written ? errno : writeError;
    unlink(temporary.c_str());
    return StatusForErrno(error);
  }
  SyncFolder(folder);
  return kRegistrySuccess;
}

int32_t ReadMember(void* handle, const std::string& name, const Json::Value** member) {
  if (handle == nullptr) return kRegistryFileNotFound;
  const auto* store = static_cast<OpenStore*>(handle);
  *member = store->document.find(name.data(), name.data() + name.size());
  return *member != nullptr ? kRegistrySuccess : kRegistryFileNotFound;
}

int32_t WriteMember(void* handle, const std::string& name, const Json::Value& value) {
  if (handle == nullptr) return kRegistryFileNotFound;
  auto* store = static_cast<OpenStore*>(handle);
  if (store->access != KeyAccess::kWrite) return kRegistryAccessDenied;
  Json::Value updated = store->document;
  updated[name] = value;
  const int32_t status = ReplaceStore(store->folder, store->path, updated);
  if (status == kRegistrySuccess) store->document = std::move(updated);
  return status;
}

// A 32-bit value: negative numbers down to INT32_MIN are kept as their two's complement.
bool IsDword(const Json::Value& value) {
  if (value.type() == Json::intValue) {
    return value.asLargestInt() >= INT32_MIN && value.asLargestInt() <= UINT32_MAX;
  }
  if (value.type() == Json::uintValue) return value.asLargestUInt() <= UINT32_MAX;
  return false;
}

}  // namespace

// The first entry of $STATE_DIRECTORY (systemd lists several separated by colons).
std::string StateFolder() {
  const char* variable = std::getenv("STATE_DIRECTORY");
  std::string folder = variable != nullptr ? variable : "";
  folder = folder.substr(0, folder.find(':'));
  if (folder.empty()) return kDefaultStateFolder;
  if (folder.back() != '/') folder += '/';
  return folder;
}

UpdaterKey::~UpdaterKey() { Close(); }

int32_t UpdaterKey::Open(KeyAccess access) {
  Close();
  auto store = std::make_unique<OpenStore>();
  store->folder = StateFolder();
  store->path = store->folder + kStoreFileName;
  store->access = access;
  const int32_t status = LoadDocument(store->path, &store->document);
  if (status == kRegistrySuccess) handle = store.release();
  return status;
}

int32_t UpdaterKey::ReadDword(const std::string& name, uint32_t* value) {
  const Json::Value* member = nullptr;
  const int32_t status = ReadMember(handle, name, &member);
  if (status != kRegistrySuccess) return status;
  if (!IsDword(*member)) return kRegistryUnsupportedType;
  *value = static_cast<uint32_t>(member->asLargestInt());
  return kRegistrySuccess;
}

int32_t UpdaterKey::ReadString(const std::string& name, char* buffer, uint32_t* size) {
  const Json::Value* member = nullptr;
  const int32_t status = ReadMember(handle, name, &member);
  if (status != kRegistrySuccess) return status;
  if (!member->isString()) return kRegistryUnsupportedType;
  const char* begin = nullptr;
  const char* end = nullptr;
  member->getString(&begin, &end);
  const size_t needed = static_cast<size_t>(end - begin) + 1;
  if (needed > *size) {
    *size = static_cast<uint32_t>(needed);
    return kRegistryMoreData;
  }
  std::memcpy(buffer, begin, needed - 1);
  buffer[needed - 1] = '\0';
  *size = static_cast<uint32_t>(needed);
  return kRegistrySuccess;
}

int32_t UpdaterKey::WriteDword(const std::string& name, uint32_t value) {
  return WriteMember(handle, name, Json::Value(static_cast<Json::UInt>(value)));
}

int32_t UpdaterKey::WriteString(const std::string& name, const char* data, uint32_t size) {
  // The registry keeps the bytes as given; the store keeps the text before the terminator.
  const size_t length = size > 0 && data[size - 1] == '\0' ? size - 1 : size;
  return WriteMember(handle, name, Json::Value(data, data + length));
}

void UpdaterKey::Close() {
  delete static_cast<OpenStore*>(handle);
  handle = nullptr;
}

}  // namespace tarnel::platform
