#include "veskline_core/shm/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/spinner.h"

namespace vesk {

namespace {

// The futex word must be the sequence itself, aligned and exactly 32 bits.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
static_assert(alignof(WakeWord) >= 4);

uint32_t* futex_word(WakeWord* word) {
  // std::atomic<uint32_t> is a plain uint32_t in memory (pinned above); the
  // kernel reads it as one.
  return reinterpret_cast<uint32_t*>(&word->sequence);
}

// Shared futex (no FUTEX_PRIVATE_FLAG): the word lives in a mapping that
// other processes share, and the kernel must key it by the object, not by
// this process's address space.
long futex_wake_all(uint32_t* addr) {
  return ::syscall(SYS_futex, addr, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// True once the sequence moved away from `seen` within the spin budget.
bool spin_until_changed(const WakeWord* word, uint32_t seen) {
  Spinner spinner;
  do {
    if (word->sequence.load(std::memory_order_acquire) != seen) return true;
  } while (spinner.wait());
  return false;
}

}  // namespace

Result<WaitEnd, LockError> wake_wait(WakeWord* word, pthread_mutex_t* mutex, Deadline deadline,
                                     StopQuery& stop) {
  // Relaxed: the mutex we hold orders this read against every broadcaster,
  // which bumps the sequence under the same mutex.
  const uint32_t seen = word->sequence.load(std::memory_order_relaxed);
  if (auto unlocked = unlock_robust(mutex); !unlocked) return Err{unlocked.error()};
  // A caller that may not wait (a passed deadline) does not spin either.
  if (deadline.passed(monotonic_ns())) return WaitEnd::TimedOut;

  // The flag is raised only by a waiter about to sleep, so a broadcaster
  // whose partner is still spinning makes no system call. Raising it outside
  // the mutex is safe: the flag store and the sequence check below are both
  // sequentially consistent, as are the broadcaster's bump and flag load, so
  // either the broadcaster sees the flag and wakes us, or we see the new
  // sequence (here or in FUTEX_WAIT's own check) and do not sleep. (No
  // separate fence: the thread sanitizer cannot model one; on x86-64 the
  // seq_cst store is the same locked exchange.)
  //
  // A thread that slept a whole slice on this word without it moving is
  // waiting on an idle queue: it goes back to sleep at once, rather than
  // spinning at every slice end.
  thread_local const WakeWord* quiet_word = nullptr;
  const bool spin = quiet_word != word;
  quiet_word = nullptr;
  if (!spin || !spin_until_changed(word, seen)) {
    word->waiting.store(1, std::memory_order_seq_cst);
    if (word->sequence.load(std::memory_order_seq_cst) == seen) {
      const WaitEnd slept = futex_sleep(futex_word(word), seen, deadline, stop);
      if (slept != WaitEnd::Again) return slept;
      if (word->sequence.load(std::memory_order_relaxed) == seen) quiet_word = word;
    }
  }

  // A holder that died while we slept is taken over silently: the ring's
  // positions are only ever stored whole, so its state is consistent.
  auto relocked = lock_robust_until(mutex, deadline, stop);
  if (relocked) return WaitEnd::Again;
  if (relocked.error().code() == kLockTimedOut) return WaitEnd::TimedOut;
  if (relocked.error().code() == kLockStopped) return WaitEnd::Stopped;
  return Err{relocked.error()};
}

Result<void, CondError> wake_broadcast(WakeWord* word) {
  // Sequentially consistent (a locked add on x86-64): the bump is visible to
  // spinners and FUTEX_WAIT's check before we look at the flag, pairing with
  // the waiter's seq_cst flag store and sequence load.
  word->sequence.fetch_add(1, std::memory_order_seq_cst);
  if (word->waiting.load(std::memory_order_seq_cst) == 0) return {};
  word->waiting.store(0, std::memory_order_relaxed);
  if (futex_wake_all(futex_word(word)) < 0) return Err{CondError::pthread(errno)};
  return {};
}

}  // namespace vesk
