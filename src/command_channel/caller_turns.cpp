#include "command_channel/caller_turns.h"

namespace tarnel {

void CallerTurns::Lock(const std::string& caller) {
  std::unique_lock<std::mutex> lock(mutex);
  if (holder == nullptr) {
    holder = &caller;
    return;
  }
  Waiter self(caller);
  Enqueue(&self);
  self.wake.wait(lock, [&self] { return self.granted; });
}

void CallerTurns::Unlock() {
  std::lock_guard<std::mutex> lock(mutex);
  if (holderQueue != nullptr) AppendCaller(holderQueue);
  holderQueue = nullptr;
  Waiter* next = rotationFirst;
  if (next == nullptr) {
    holder = nullptr;
    return;
  }
  rotationFirst = next->nextCaller;
  if (rotationFirst == nullptr) rotationLast = nullptr;
  holder = &next->caller;
  if (Waiter* successor = next->behind) {
    successor->last = next->last;
    holderQueue = successor;
  }
  --waiting;
  next->granted = true;
  // Under the mutex: the waiter's record lives on its stack until it sees `granted`.
  next->wake.notify_one();
}

size_t CallerTurns::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex);
  return waiting;
}

// The rotation holds one waiter per caller, so the walk is as long as the number of
// distinct callers waiting.
void CallerTurns::Enqueue(Waiter* waiter) {
  ++waiting;
  if (waiter->caller == *holder) {
    if (holderQueue == nullptr) {
      holderQueue = waiter;
    } else {
      AppendToQueue(holderQueue, waiter);
    }
    return;
  }
  for (Waiter* first = rotationFirst; first != nullptr; first = first->nextCaller) {
    if (first->caller == waiter->caller) {
      AppendToQueue(first, waiter);
      return;
    }
  }
  AppendCaller(waiter);
}

void CallerTurns::AppendToQueue(Waiter* first, Waiter* waiter) {
  first->last->behind = waiter;
  first->last = waiter;
}

void CallerTurns::AppendCaller(Waiter* first) {
  first->nextCaller = nullptr;
  if (rotationLast == nullptr) {
    rotationFirst = first;
  } else {
    rotationLast->nextCaller = first;
  }
  rotationLast = first;
}

}  // namespace tarnel
