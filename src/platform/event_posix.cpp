#include "platform/event.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace tarnel::platform {
namespace {

struct PosixEvent {
  std::mutex mutex;
  std::condition_variable signalled_cv;
  bool signalled = false;
};

PosixEvent* FromHandle(EventHandle event) { return static_cast<PosixEvent*>(event); }

}  // namespace

EventHandle MakeAutoResetEvent() { return new (std::nothrow) PosixEvent; }

bool SignalEvent(EventHandle event) {
  PosixEvent* e = FromHandle(event);
  if (e == nullptr) return false;
  // Notify under the lock: the waiter may close the event as soon as its wait returns,
  // which it cannot do before the lock is released.
  std::lock_guard<std::mutex> lock(e->mutex);
  e->signalled = true;
  e->signalled_cv.notify_one();
  return true;
}

bool ClearEvent(EventHandle event) {
  PosixEvent* e = FromHandle(event);
  if (e == nullptr) return false;
  std::lock_guard<std::mutex> lock(e->mutex);
  e->signalled = false;
  return true;
}

WaitResult WaitEvent(EventHandle event, int32_t timeout_ms) {
  PosixEvent* e = FromHandle(event);
  if (e == nullptr) return WaitResult::kFailed;
  std::unique_lock<std::mutex> lock(e->mutex);
  auto is_signalled = [e] { return e->signalled; };
  if (timeout_ms < 0) {
    e->signalled_cv.wait(lock, is_signalled);
  } else if (!e->signalled_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), is_signalled)) {
    return WaitResult::kTimedOut;
  }
  e->signalled = false;
  return WaitResult::kSignalled;
}

bool CloseEvent(EventHandle event) {
  PosixEvent* e = FromHandle(event);
  if (e == nullptr) return false;
  delete e;
  return true;
}

}  // namespace tarnel::platform
