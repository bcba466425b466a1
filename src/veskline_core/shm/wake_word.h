// WakeWord: a condition-variable replacement that survives killed waiters.
//
// A 32-bit sequence used as a shared futex plus a "somebody may be waiting"
// flag, in a 48-byte slot of shared memory. All calls are made with the
// associated mutex held:
//   - wait: read the sequence, unlock the mutex, watch the sequence for a
//     short while (yielding the core to anything runnable), then set the flag
//     and sleep on the value read (see wait.h); finally re-lock the mutex
//     (taking it over silently if its holder died);
//   - broadcast: bump the sequence; only if the flag is set, clear it and
//     FUTEX_WAKE all sleepers. A broadcast with nobody asleep makes no system
//     call.
// A waiter killed at any point leaves nothing behind but possibly a set flag,
// which costs one spare wake-up at the next broadcast.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/wait.h"

namespace vesk {

struct WakeWord {
  std::atomic<uint32_t> sequence;
  std::atomic<uint32_t> waiting;
  std::byte reserved[40];
};
static_assert(sizeof(WakeWord) == 48);
static_assert(offsetof(WakeWord, waiting) == 4);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Called with `mutex` held. WaitEnd::Again: returns with it held again (a dead
// holder's mutex is taken over silently) after a wake-up, the end of a slice
// or a spurious return; the caller re-checks its condition. TimedOut and
// Stopped (the deadline passed, or `stop` said so, while sleeping or while
// re-locking) and every error return with the mutex NOT held. Error: the
// unlock or the re-lock failed.
Result<WaitEnd, LockError> wake_wait(WakeWord* word, pthread_mutex_t* mutex, Deadline deadline,
                                     StopQuery& stop);

// Called with the mutex held. Error: FUTEX_WAKE failed (CondError with errno).
Result<void, CondError> wake_broadcast(WakeWord* word);

}  // namespace vesk
