// A small auto-reset event object: the updater manager's stop event.
#pragma once

#include <cstdint>

#include "platform/event.h"

namespace tarnel {

class SyncEvent {
 public:
  SyncEvent() {}
  SyncEvent(const SyncEvent&) = delete;
  SyncEvent& operator=(const SyncEvent&) = delete;

  // Creates an unnamed auto-reset event, not signalled; returns whether it was created.
  bool Init();
  // Signals the event; false when there is no event or signalling failed.
  bool Set();
  // Waits (-1: without limit) and resets the event; true when the event was seen
  // signalled and the reset succeeded. With -1 the outcome of the wait is not examined.
  bool Wait(int32_t milliseconds);
  // Closes the event; false when there is none or closing failed.
  bool Close();

  bool IsValid() const { return event.IsValid(); }

 private:
  platform::ScopedEvent event;
};

}  // namespace tarnel
