// NamedLock: one process's handle on a named, robust, cross-process lock.
//
// The lock record is a 4096-byte shared object whose first 40 bytes are a
// process-shared robust pthread mutex; nothing else is stored. Opening a name
// attaches to an existing record or creates and initialises a new one:
//   - a record is used only once it is fully there: an object shorter than
//     4096 bytes, or one whose mutex is not initialised yet (another process
//     is between its create and its init), is waited for, up to 10 s;
//   - of several processes creating one new name at once, the losers of the
//     exclusive create go back to attaching instead of failing;
//   - a record that another user owns is refused (EACCES) and never mapped;
//   - a new record has its memory reserved, and a create that fails after
//     the exclusive open (no memory, a failed init) removes its name again.
// Ownership is per thread. Acquiring a lock the calling thread already holds
// fails at once with EDEADLK instead of waiting for ever. While a thread of
// this process holds a lock, the mapping it was taken through stays mapped
// even after every NamedLock of it is gone: glibc's robust-list entry of that
// thread points into it, and the kernel needs it there to mark the lock
// owner-dead when the thread ends.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <string_view>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/segment.h"

namespace vesk {

// Why a lock could not be opened: the create attempt's SegmentError, or the
// failed initialisation of a newly created record's mutex.
struct LockOpenError {
  bool init_failed = false;
  SegmentError segment;
  LockError lock;
  std::string text() const { return init_failed ? lock.text() : segment.text(); }
};

class NamedLock {
 public:
  static Result<NamedLock, LockOpenError> open(std::string_view name);

  // Non-blocking attempt: EBUSY when another thread holds it, EDEADLK when the
  // calling thread does. On success the lock is held (Locked::OwnerDied: the
  // previous holder died and the mutex was made consistent).
  Result<Locked, LockError> try_acquire() const;
  // Blocks until `deadline` (LockError kLockTimedOut) or until `stop` says so
  // (kLockStopped); neither leaves the lock held. May be called without the
  // interpreter lock.
  Result<Locked, LockError> acquire(Deadline deadline = Deadline::never(),
                                    StopQuery& stop = never_stop()) const;
  Result<void, LockError> release() const;

  pthread_mutex_t* mutex() const { return reinterpret_cast<pthread_mutex_t*>(segment_->address()); }

 private:
  NamedLock(std::shared_ptr<PlainSegment> segment, dev_t device, ino_t inode)
      : segment_(std::move(segment)), device_(device), inode_(inode) {}
  void note_acquired() const;

  std::shared_ptr<PlainSegment> segment_;
  dev_t device_;
  ino_t inode_;
};

}  // namespace vesk
