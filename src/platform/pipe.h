// Local named pipes, the transport of the command channel.
//
// Windows: "\\.\pipe\" + name, byte-stream instances created with CreateNamedPipeA.
// POSIX stand-in: the pipe named N is the Unix stream socket $RUNTIME_DIRECTORY/N (the
// first entry when several are separated by colons; /run/tarnel/ when unset), mode 0666
// so that every local user can connect (the server then applies the access rule to each
// connection, see peer_identity.h); the folder is created when missing.
#pragma once

#include <cstdint>
#include <string>

#include "platform/descriptor.h"
#include "platform/scoped_generic.h"

namespace tarnel::platform {

// A connected pipe end: a HANDLE on Windows, a socket descriptor on POSIX.
using PipeHandle = std::intptr_t;
constexpr PipeHandle kInvalidPipe = -1;  // INVALID_HANDLE_VALUE on Windows

// Closes a pipe end (CloseHandle / close); false when closing failed. Code outside this
// layer holds pipe ends in a ScopedPipe, which calls it.
bool ClosePipe(PipeHandle pipe);

struct PipeHandleTraits {
  using Handle = PipeHandle;
  static constexpr PipeHandle InvalidValue() { return kInvalidPipe; }
  static bool Close(PipeHandle pipe) { return ClosePipe(pipe); }
};

// Owns a pipe end; closes it when it goes away.
using ScopedPipe = ScopedGeneric<PipeHandleTraits>;

// The server side of one pipe name. Not thread-safe: one listening thread uses it.
class PipeEndpoint {
 public:
  // Windows: converts `sddl` (revision 1) into the security descriptor of every instance;
  // when the conversion fails the instances get the default descriptor; no instance exists
  // yet. POSIX: `sddl` is not used (the socket file is always 0666); the socket is created,
  // bound and listening when the constructor returns, unless that failed (then the first
  // CreateInstance tries again).
  PipeEndpoint(const std::string& name, const std::string& sddl);
  // Closes a pending instance. POSIX: also closes the listening socket and removes its file.
  ~PipeEndpoint();
  PipeEndpoint(const PipeEndpoint&) = delete;
  PipeEndpoint& operator=(const PipeEndpoint&) = delete;

  // Makes one instance ready for the next client. Windows: CreateNamedPipeA (duplex, byte
  // stream, blocking, 255 instances, 64 KiB buffers, default time-out). POSIX: when no socket
  // listens (construction failed, or WaitForClient gave it up) the call creates, binds and
  // listens on it; a stale socket file is replaced, a live one (a connect to it succeeds)
  // makes the call fail. False when no instance exists.
  bool CreateInstance();

  // Blocks until a client connects to the instance made by CreateInstance. True: the
  // connection is owned by *connected. False: the wait failed and the
  // instance was closed. Windows: ConnectNamedPipe; ERROR_PIPE_CONNECTED and ERROR_NO_DATA
  // count as connected. POSIX: also false, with the listening socket closed, when the socket
  // file was removed or replaced (the folder is watched, nothing is polled), so that the next
  // CreateInstance binds it anew; and false after a pause of 100 ms when the process is out of
  // descriptors (the client stays queued), so that retrying at once does not spin.
  bool WaitForClient(ScopedPipe* connected);

 private:
  std::string path;
  [[maybe_unused]] void* security = nullptr;  // Windows: the converted security descriptor
  ScopedPipe pending;
  // POSIX: the socket file bound by CreateInstance, to tell whether the path still leads here.
  uint64_t boundDevice = 0;
  uint64_t boundInode = 0;
  // POSIX: an inotify descriptor watching the socket's folder.
  ScopedFd folderWatch;
};

// The full path of a pipe name: "\\.\pipe\NAME" or the socket path.
std::string PipePath(const std::string& name);

// One read call: up to `size` bytes into `buffer`. False when the call failed; a closed
// peer gives true with *transferred 0.
bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* transferred);

// No bound on how long a write or a flush may wait for the peer to read.
constexpr int32_t kNoStallLimit = -1;

// Writes all `size` bytes; false when the write failed or stalled, *transferred telling how
// much went out. A write that moves no byte for `stallLimitMs` (kNoStallLimit: no bound)
// fails, and so does one whose I/O CancelPipeIo released. POSIX: non-blocking sends, with
// poll() for writability between them, so every byte the peer reads restarts the limit.
// Windows: one WriteFile, cancelled with CancelIoEx when it has not returned within the
// limit (a synchronous pipe write shows no progress before it returns).
bool WritePipe(PipeHandle pipe, const void* buffer, uint32_t size, uint32_t* transferred,
               int32_t stallLimitMs);

// Waits up to `timeout_ms` until a read would not block (data, end of stream or error).
bool WaitPipeReadable(PipeHandle pipe, int32_t timeout_ms);

// Releases a read, write or flush of another thread blocked on `pipe`; such a call then
// fails. Windows: CancelIoEx (a call begun afterwards is not affected). POSIX: shutdown() of
// the socket, which also fails later reads and writes.
void CancelPipeIo(PipeHandle pipe);

// Ends the server side of a connection but keeps the handle open: lets the client read
// what was written, then disconnects. Windows: FlushFileBuffers, which waits until the
// client has read everything, cancelled with CancelIoEx after `flushLimitMs` (kNoStallLimit:
// no bound) or by CancelPipeIo; then DisconnectNamedPipe, which drops what is still unread.
// POSIX: shutdown() for writing (the written bytes stay readable for the client, nothing
// waits), then unread input is discarded; `flushLimitMs` is not used.
void DisconnectServerPipe(PipeHandle pipe, int32_t flushLimitMs);

// Client side.
enum class OpenResult { kOpened, kBusy, kFailed };

// Opens an existing pipe for reading and writing (CreateFileA, no sharing, OPEN_EXISTING).
// kBusy when every instance is connected (ERROR_PIPE_BUSY). On kOpened *pipe owns the end.
OpenResult OpenClientPipe(const std::string& name, ScopedPipe* pipe);

// Waits up to `timeout_ms` for a free instance (WaitNamedPipeA). POSIX: never busy, false.
bool WaitForFreeInstance(const std::string& name, uint32_t timeout_ms);

}  // namespace tarnel::platform
