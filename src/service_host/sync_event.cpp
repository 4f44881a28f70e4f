#include "service_host/sync_event.h"

#include "logging/logger.h"

namespace tarnel {

SyncEvent::~SyncEvent() {
  if (valid) Close();
}

bool SyncEvent::Init() {
  TARNEL_LOG(VERBOSE) << "SyncEvent: initialization of sync event";
  event = platform::MakeAutoResetEvent();
  valid = event != nullptr;
  return valid;
}

bool SyncEvent::Set() { return valid && platform::SignalEvent(event); }

bool SyncEvent::Wait(int32_t milliseconds) {
  if (!valid) return false;
  const platform::WaitResult result = platform::WaitEvent(event, milliseconds);
  if (milliseconds != -1 && result != platform::WaitResult::kSignalled) return false;
  return platform::ClearEvent(event);
}

bool SyncEvent::Close() {
  if (!valid) return false;
  valid = false;
  platform::EventHandle closing = event;
  event = nullptr;
  return platform::CloseEvent(closing);
}

}  // namespace tarnel
