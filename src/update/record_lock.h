// The lock that keeps the manager's operations on the pending-update record from overlapping.
// Whoever calls those operations holding it (the command channel, for each command) announces
// it to the calling thread with RecordLockScope; an operation that works a long time without
// the record (Install, while it copies, checks and starts an installer) lets go of it meanwhile
// with RecordLockReleased, so that other commands are handled in the meantime. Nothing here
// knows how the lock is handed out.
#pragma once

namespace tarnel {

class RecordLock {
 public:
  // Lets go of the lock, which the calling thread holds.
  virtual void Unlock() = 0;
  // Takes it again; waits for its turn.
  virtual void Lock() = 0;

 protected:
  ~RecordLock() = default;
};

// Announces, for its scope, that the calling thread holds `lock`.
class RecordLockScope {
 public:
  explicit RecordLockScope(RecordLock& lock);
  ~RecordLockScope();
  RecordLockScope(const RecordLockScope&) = delete;
  RecordLockScope& operator=(const RecordLockScope&) = delete;

 private:
  RecordLock* previous;
};

// Lets go, for its scope, of the record lock the calling thread announced, and takes it again
// at the end. Does nothing on a thread that announced none (a direct call, as in tests).
class RecordLockReleased {
 public:
  RecordLockReleased();
  ~RecordLockReleased();
  RecordLockReleased(const RecordLockReleased&) = delete;
  RecordLockReleased& operator=(const RecordLockReleased&) = delete;

 private:
  RecordLock* released;
};

}  // namespace tarnel
