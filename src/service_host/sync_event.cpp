#include "service_host/sync_event.h"

#include "logging/logger.h"

namespace tarnel {

bool SyncEvent::Init() {
  TARNEL_LOG(VERBOSE) << "SyncEvent: initialization of sync event";
  event.Reset(platform::MakeAutoResetEvent());
  return event.IsValid();
}

bool SyncEvent::Set() { return event.IsValid() && platform::SignalEvent(event.Get()); }

bool SyncEvent::Wait(int32_t milliseconds) {
  if (!event.IsValid()) return false;
  const platform::WaitResult result = platform::WaitEvent(event.Get(), milliseconds);
  if (milliseconds != -1 && result != platform::WaitResult::kSignalled) return false;
  return platform::ClearEvent(event.Get());
}

bool SyncEvent::Close() { return event.Close(); }

}  // namespace tarnel
