// An unnamed auto-reset event: a kernel event on Windows, a mutex and condition variable
// on POSIX. One waiter is released per signal; a signal given while nobody waits stays
// pending until the next wait consumes it, and several such signals count as one.
#pragma once

#include <cstdint>

#include "platform/scoped_generic.h"

namespace tarnel::platform {

// Opaque event handle; null means "no event".
using EventHandle = void*;

// Creates an unnamed auto-reset event, not signalled, with default security.
// Returns null when the event cannot be created.
EventHandle MakeAutoResetEvent();

// Signals the event. Returns false for a null handle or when signalling fails.
bool SignalEvent(EventHandle event);

// Clears the event. Returns false for a null handle or when the reset fails.
bool ClearEvent(EventHandle event);

enum class WaitResult { kSignalled, kTimedOut, kFailed };

// Waits for the event; timeout_ms of -1 waits without limit. A wait that sees the event
// signalled consumes the signal (auto-reset).
WaitResult WaitEvent(EventHandle event, int32_t timeout_ms);

// Closes the event. Returns false for a null handle or when closing fails. Code outside this
// layer holds events in a ScopedEvent, which calls it.
bool CloseEvent(EventHandle event);

struct EventHandleTraits {
  using Handle = EventHandle;
  static constexpr EventHandle InvalidValue() { return nullptr; }
  static bool Close(EventHandle event) { return CloseEvent(event); }
};

// Owns an event; closes it when it goes away.
using ScopedEvent = ScopedGeneric<EventHandleTraits>;

}  // namespace tarnel::platform
