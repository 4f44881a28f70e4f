#include "platform/pipe.h"

#include <windows.h>
// windows.h first: sddl.h needs its types.
#include <sddl.h>

#include <utility>

namespace tarnel::platform {
namespace {

constexpr DWORD kBufferSize = 65536;

HANDLE ToHandle(PipeHandle pipe) { return reinterpret_cast<HANDLE>(pipe); }
PipeHandle FromHandle(HANDLE handle) { return reinterpret_cast<PipeHandle>(handle); }

// Cancels the I/O of a pipe when the synchronous call made during its lifetime has not
// returned within a limit: a blocked WriteFile or FlushFileBuffers then fails with
// ERROR_OPERATION_ABORTED. A limit below 0 watches nothing, and so does a watchdog whose
// timer could not be made (the call is then unbounded, as without a limit).
class StallWatchdog {
 public:
  StallWatchdog(HANDLE handle, int32_t limitMs) : handle(handle) {
    if (limitMs < 0) return;
    timer = CreateThreadpoolTimer(&StallWatchdog::Expired, this, nullptr);
    if (timer == nullptr) return;
    // A negative due time is relative, in units of 100 ns.
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(limitMs) * 10000);
    FILETIME dueTime{due.LowPart, due.HighPart};
    SetThreadpoolTimer(timer, &dueTime, 0, 0);
  }
  // Once the call returned, a late expiry must not cancel the pipe's next call.
  ~StallWatchdog() {
    if (timer == nullptr) return;
    AcquireSRWLockExclusive(&lock);
    returned = true;
    ReleaseSRWLockExclusive(&lock);
    SetThreadpoolTimer(timer, nullptr, 0, 0);
    WaitForThreadpoolTimerCallbacks(timer, TRUE);
    CloseThreadpoolTimer(timer);
  }
  StallWatchdog(const StallWatchdog&) = delete;
  StallWatchdog& operator=(const StallWatchdog&) = delete;

 private:
  static void CALLBACK Expired(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
    auto* watchdog = static_cast<StallWatchdog*>(context);
    AcquireSRWLockExclusive(&watchdog->lock);
    if (!watchdog->returned) CancelIoEx(watchdog->handle, nullptr);
    ReleaseSRWLockExclusive(&watchdog->lock);
  }

  HANDLE handle;
  PTP_TIMER timer = nullptr;
  SRWLOCK lock = SRWLOCK_INIT;
  bool returned = false;
};

}  // namespace

std::string PipePath(const std::string& name) { return "\\\\.\\pipe\\" + name; }

PipeEndpoint::PipeEndpoint(const std::string& name, const std::string& sddl)
    : path(PipePath(name)) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                           &descriptor, nullptr)) {
    security = descriptor;
  }
}

PipeEndpoint::~PipeEndpoint() {
  pending.Close();
  if (security != nullptr) LocalFree(security);
}

bool PipeEndpoint::CreateInstance() {
  SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), security, FALSE};
  HANDLE instance =
      CreateNamedPipeA(path.c_str(), PIPE_ACCESS_DUPLEX,
                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_ACCEPT_REMOTE_CLIENTS,
                       PIPE_UNLIMITED_INSTANCES, kBufferSize, kBufferSize, 0,
                       security != nullptr ? &attributes : nullptr);
  if (instance == INVALID_HANDLE_VALUE) return false;
  pending.Reset(FromHandle(instance));
  return true;
}

bool PipeEndpoint::WaitForClient(ScopedPipe* connected) {
  ScopedPipe instance(pending.Release());
  if (!ConnectNamedPipe(ToHandle(instance.Get()), nullptr)) {
    const DWORD error = GetLastError();
    if (error != ERROR_PIPE_CONNECTED && error != ERROR_NO_DATA) return false;
  }
  *connected = std::move(instance);
  return true;
}

bool ReadPipe(PipeHandle pipe, void* buffer, uint32_t size, uint32_t* transferred) {
  DWORD count = 0;
  const BOOL ok = ReadFile(ToHandle(pipe), buffer, size, &count, nullptr);
  *transferred = count;
  return ok != 0;
}

bool WritePipe(PipeHandle pipe, const void* buffer, uint32_t size, uint32_t* transferred,
               int32_t stallLimitMs) {
  DWORD count = 0;
  BOOL ok;
  {
    StallWatchdog watchdog(ToHandle(pipe), stallLimitMs);
    ok = WriteFile(ToHandle(pipe), buffer, size, &count, nullptr);
  }
  *transferred = count;
  return ok != 0 && count == size;
}

bool WaitPipeReadable(PipeHandle pipe, int32_t timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(ToHandle(pipe), nullptr, 0, nullptr, &available, nullptr)) return true;
    if (available > 0) return true;
    if (timeout_ms >= 0 && GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

void CancelPipeIo(PipeHandle pipe) { CancelIoEx(ToHandle(pipe), nullptr); }

void DisconnectServerPipe(PipeHandle pipe, int32_t flushLimitMs) {
  HANDLE handle = ToHandle(pipe);
  {
    StallWatchdog watchdog(handle, flushLimitMs);
    FlushFileBuffers(handle);
  }
  DisconnectNamedPipe(handle);
}

bool ClosePipe(PipeHandle pipe) { return CloseHandle(ToHandle(pipe)) != 0; }

OpenResult OpenClientPipe(const std::string& name, ScopedPipe* pipe) {
  HANDLE handle = CreateFileA(PipePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    pipe->Reset(FromHandle(handle));
    return OpenResult::kOpened;
  }
  return GetLastError() == ERROR_PIPE_BUSY ? OpenResult::kBusy : OpenResult::kFailed;
}

bool WaitForFreeInstance(const std::string& name, uint32_t timeout_ms) {
  return WaitNamedPipeA(PipePath(name).c_str(), timeout_ms) != 0;
}

}  // namespace tarnel::platform
