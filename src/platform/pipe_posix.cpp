// Named pipes stand in as Unix stream sockets in the runtime folder.
#include "platform/pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

namespace tarnel::platform {
namespace {

constexpr int kBacklog = 64;
constexpr auto kExhaustedRetryDelay = std::chrono::milliseconds(100);
// Changes of the socket's folder that can remove or replace the socket file.
constexpr uint32_t kFolderChanges =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;

std::string RuntimeFolder() {
  const char* value = std::getenv("RUNTIME_DIRECTORY");
  std::string folder = value != nullptr ? value : "";
  folder = folder.substr(0, folder.find(':'));
  if (folder.empty()) folder = "/run/tarnel";
  if (folder.back() != '/') folder += '/';
  return folder;
}

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

int ConnectSocket(const std::string& path) {
  sockaddr_un address;
  if (!MakeAddress(path, &address)) return -1;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsValid()) return -1;
  int result;
  do {
    result = connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return -1;
  return fd.Release();
}

// A socket file that accepts connections belongs to a live server.
bool IsLiveSocket(const std::string& path) { return ScopedFd(ConnectSocket(path)).IsValid(); }

int Listen(const std::string& path) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  if (IsLiveSocket(path)) return -1;
  unlink(path.c_str());
  sockaddr_un address;
  if (!MakeAddress(path, &address)) return -1;
  ScopedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd.IsValid()) return -1;
  if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      chmod(path.c_str(), 0666) != 0 || listen(fd.Get(), kBacklog) != 0) {
    return -1;
  }
  return fd.Release();
}

// The device and inode of the socket file at `path`; false when there is no socket file.
bool SocketFileIdentity(const std::string& path, uint64_t* device, uint64_t* inode) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) return false;
  *device = static_cast<uint64_t>(info.st_dev);
  *inode = static_cast<uint64_t>(info.st_ino);
  return true;
}

bool IsSameSocketFile(const std::string& path, uint64_t device, uint64_t inode) {
  uint64_t currentDevice = 0;
  uint64_t currentInode = 0;
  return SocketFileIdentity(path, &currentDevice, &currentInode) && currentDevice == device &&
         currentInode == inode;
}

// Reads away every queued folder event; what matters is only that something changed.
void DrainEvents(int watch) {
  alignas(inotify_event) char buffer[4096];
  while (read(watch, buffer, sizeof buffer) > 0) {
  }
}

// Waits until a send can move bytes again, or the socket was shut down or failed (the next
// send then tells which); false when `limitMs` (negative: no limit) passed first or poll()
// failed.
bool WaitWritable(int fd, int32_t limitMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    int timeout = -1;
    if (limitMs >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeout = static_cast<int>(std::max<int64_t>(0, left.count()));
    }
    pollfd entry{fd, POLLOUT, 0};
    const int ready = poll(&entry, 1, timeout);
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

}  // namespace

std::string PipePath(const std::string& name) { return RuntimeFolder() + name; }

PipeEndpoint::PipeEndpoint(const std::string& name, const std::string& /*sddl*/)
    : path(PipePath(name)) {
  // The one listening socket exists before the server reports that it runs, so that a client
  // told the service is ready can connect at once. A failure here is met again, and logged,
  // by the first CreateInstance.
  CreateInstance();
}

PipeEndpoint::~PipeEndpoint() {
  folderWatch.Close();
  if (!pending.IsValid()) return;
  pending.Close();
  // A file that replaced this endpoint's socket is not this endpoint's to remove.
  if (IsSameSocketFile(path, boundDevice, boundInode)) unlink(path.c_str());
}

bool PipeEndpoint::CreateInstance() {
  if (pending.IsValid()) return true;
  pending.Reset(Listen(path));
  if (!pending.IsValid()) return false;
  SocketFileIdentity(path, &boundDevice, &boundInode);
  if (!folderWatch.IsValid()) {
    ScopedFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    const std::string folder = std::filesystem::path(path).parent_path().string();
    if (watch.IsValid() && inotify_add_watch(watch.Get(), folder.c_str(), kFolderChanges) >= 0) {
      folderWatch = std::move(watch);
    }
  }
  return true;
}

bool PipeEndpoint::WaitForClient(ScopedPipe* connected) {
  // Watching the folder lets the endpoint notice that its socket file was removed or
  // replaced: nobody could reach the server any more, not even the wake-up connection of a
  // stop. Without a watch (inotify unavailable) the wait is on the socket alone.
  for (;;) {
    pollfd entries[2] = {{static_cast<int>(pending.Get()), POLLIN, 0},
                         {folderWatch.Get(), POLLIN, 0}};
    const nfds_t count = folderWatch.IsValid() ? 2 : 1;
    const int ready = poll(entries, count, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (count == 2 && (entries[1].revents & POLLIN) != 0) {
      DrainEvents(folderWatch.Get());
      if (!IsSameSocketFile(path, boundDevice, boundInode)) {
        // The next CreateInstance binds the path anew (unless a live server holds it now).
        pending.Close();
        // The folder itself may be gone: the next CreateInstance watches it anew.
        folderWatch.Close();
        return false;
      }
    }
    if (entries[0].revents != 0) break;
  }
  int fd;
  do {
    fd = accept4(static_cast<int>(pending.Get()), nullptr, nullptr, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // Out of descriptors or memory: the client stays queued, and retrying at once would
    // only spin until some connection closes.
    if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
      std::this_thread::sleep_for(kExhaustedRetryDelay);
    }
    return false;
  }
  connected->Reset(fd);
  return true;
}

bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* transferred) {
  ssize_t count;
  do {
    count = recv(static_cast<int>(pipe), buffer, size, 0);
  } while (count < 0 && errno == EINTR);
  *transferred = count > 0 ? static_cast<uint32_t>(count) : 0;
  return count >= 0;
}

bool WritePipe(PipeHandle pipe, const void* buffer, uint32_t size, uint32_t* transferred,
               int32_t stallLimitMs) {
  // A socket may take a large buffer in several parts; a pipe write moves it whole. The
  // sends never block, so that a peer that reads nothing holds the writer only as long as
  // the limit allows.
  const int fd = static_cast<int>(pipe);
  const char* bytes = static_cast<const char*>(buffer);
  uint32_t done = 0;
  while (done < size) {
    const ssize_t count = send(fd, bytes + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (count > 0) {
      done += static_cast<uint32_t>(count);
      continue;
    }
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable(fd, stallLimitMs)) {
      continue;
    }
    break;
  }
  *transferred = done;
  return done == size;
}

bool WaitPipeReadable(PipeHandle pipe, int32_t timeout_ms) {
  pollfd entry{static_cast<int>(pipe), POLLIN, 0};
  int result;
  do {
    result = poll(&entry, 1, timeout_ms);
  } while (result < 0 && errno == EINTR);
  return result != 0;
}

void CancelPipeIo(PipeHandle pipe) { shutdown(static_cast<int>(pipe), SHUT_RDWR); }

void DisconnectServerPipe(PipeHandle pipe, int32_t /*flushLimitMs*/) {
  const int fd = static_cast<int>(pipe);
  shutdown(fd, SHUT_WR);
  // Unread input would make the close reset the connection under the client's last reply.
  char discard[4096];
  while (recv(fd, discard, sizeof discard, MSG_DONTWAIT) > 0) {
  }
}

bool ClosePipe(PipeHandle pipe) { return close(static_cast<int>(pipe)) == 0; }

OpenResult OpenClientPipe(const std::string& name, ScopedPipe* pipe) {
  const int fd = ConnectSocket(PipePath(name));
  if (fd < 0) return OpenResult::kFailed;
  pipe->Reset(fd);
  return OpenResult::kOpened;
}

bool WaitForFreeInstance(const std::string& /*name*/, uint32_t /*timeout_ms*/) { return false; }

}  // namespace tarnel::platform
