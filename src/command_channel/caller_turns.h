// The lock that lets one command at a time reach the handler, handed to the callers in
// turn: while commands of several callers wait for it, it goes to each caller with a waiting
// command in rotation, and the commands of one caller get it in the order they began to
// wait. The caller that holds the lock has had its turn: when it lets go, its next waiter
// goes to the end of the rotation, behind callers that began to wait meanwhile. So a caller
// with many connections, or a long queue, makes another caller wait for the rest of the
// command being handled, not for its queue. A caller is a user as the peer identity names it
// ("uid 1000", "user S-1-5-21-...", "an unknown user"); root and administrators take turns
// like everyone else.
//
// The lock runs on the threads that use it: a release hands the lock directly to the next
// waiter. It allocates nothing, so taking it cannot fail.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>

namespace tarnel {

class CallerTurns {
 public:
  CallerTurns() = default;
  CallerTurns(const CallerTurns&) = delete;
  CallerTurns& operator=(const CallerTurns&) = delete;

  // Waits until the lock is free and it is `caller`'s turn, then holds the lock. `caller`
  // must stay alive until the matching Unlock.
  void Lock(const std::string& caller);
  // Hands the lock to the next waiter in turn, or frees it when nobody waits. Only the
  // holder may call it.
  void Unlock();

  // How many threads wait for the lock now (not counting the holder).
  size_t Waiting() const;

 private:
  // A thread waiting in Lock, on its own stack. The first waiter of each caller stands in
  // the rotation and carries its caller's queue.
  struct Waiter {
    explicit Waiter(const std::string& caller) : caller(caller) {}
    const std::string& caller;
    // The next waiter of the same caller.
    Waiter* behind = nullptr;
    // While it is its caller's first waiter: the last one of its caller, and the first
    // waiter of the caller whose turn comes next.
    Waiter* last = this;
    Waiter* nextCaller = nullptr;
    bool granted = false;
    std::condition_variable wake;
  };

  void Enqueue(Waiter* waiter);
  static void AppendToQueue(Waiter* first, Waiter* waiter);
  void AppendCaller(Waiter* first);

  mutable std::mutex mutex;
  // The caller of the thread that holds the lock; none while the lock is free, and then
  // nobody waits: a release with waiters hands the lock on instead of freeing it.
  const std::string* holder = nullptr;
  // The first waiter of the holder's caller: out of the rotation until the holder lets go.
  Waiter* holderQueue = nullptr;
  // The other callers with waiting threads, by their first waiters, in the order of their
  // turns.
  Waiter* rotationFirst = nullptr;
  Waiter* rotationLast = nullptr;
  size_t waiting = 0;
};

// Holds a caller's turn of a CallerTurns for its scope; `caller` must outlive it.
class CallerTurn {
 public:
  CallerTurn(CallerTurns& turns, const std::string& caller) : turns(turns) { turns.Lock(caller); }
  ~CallerTurn() { turns.Unlock(); }
  CallerTurn(const CallerTurn&) = delete;
  CallerTurn& operator=(const CallerTurn&) = delete;

 private:
  CallerTurns& turns;
};

}  // namespace tarnel
