#include "platform/event.h"

#include <windows.h>

namespace tarnel::platform {

EventHandle MakeAutoResetEvent() {
  return CreateEventW(nullptr, /*bManualReset=*/FALSE, /*bInitialState=*/FALSE, nullptr);
}

bool SignalEvent(EventHandle event) { return event != nullptr && SetEvent(event) != 0; }

bool ClearEvent(EventHandle event) { return event != nullptr && ResetEvent(event) != 0; }

WaitResult WaitEvent(EventHandle event, int32_t timeout_ms) {
  if (event == nullptr) return WaitResult::kFailed;
  const DWORD timeout = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  switch (WaitForSingleObject(event, timeout)) {
    case WAIT_OBJECT_0:
      return WaitResult::kSignalled;
    case WAIT_TIMEOUT:
      return WaitResult::kTimedOut;
    default:
      return WaitResult::kFailed;
  }
}

bool CloseEvent(EventHandle event) { return event != nullptr && CloseHandle(event) != 0; }

}  // namespace tarnel::platform
