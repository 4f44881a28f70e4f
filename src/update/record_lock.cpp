#include "update/record_lock.h"

namespace tarnel {
namespace {

thread_local RecordLock* g_heldRecordLock = nullptr;

}  // namespace

RecordLockScope::RecordLockScope(RecordLock& lock) : previous(g_heldRecordLock) {
  g_heldRecordLock = &lock;
}

RecordLockScope::~RecordLockScope() { g_heldRecordLock = previous; }

RecordLockReleased::RecordLockReleased() : released(g_heldRecordLock) {
  if (released != nullptr) released->Unlock();
}

RecordLockReleased::~RecordLockReleased() {
  if (released != nullptr) released->Lock();
}

}  // namespace tarnel
