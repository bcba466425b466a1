#include "veskline_core/shm/wake_word.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "veskline_core/shm/robust_mutex.h"

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

// Shared futexes (no FUTEX_PRIVATE_FLAG): the word lives in a mapping that
// other processes share, and the kernel must key it by the object, not by
// this process's address space.
long futex_wait(uint32_t* addr, uint32_t expected, const timespec* relative) {
  return ::syscall(SYS_futex, addr, FUTEX_WAIT, expected, relative, nullptr, 0);
}

long futex_wake_all(uint32_t* addr) {
  return ::syscall(SYS_futex, addr, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

}  // namespace

Result<void, LockError> wake_wait(WakeWord* word, pthread_mutex_t* mutex, int64_t slice_ns) {
  // Relaxed is enough for both: the mutex we hold orders them against every
  // broadcaster, which must take the same mutex to bump the sequence.
  const uint32_t seen = word->sequence.load(std::memory_order_relaxed);
  word->waiting.store(1, std::memory_order_relaxed);

  if (auto unlocked = unlock_robust(mutex); !unlocked) return Err{unlocked.error()};

  // A broadcast between the unlock and the sleep has changed the sequence, so
  // FUTEX_WAIT returns at once (EAGAIN) instead of missing it. Every outcome
  // (woken, EAGAIN, ETIMEDOUT, EINTR, anything else) is a return to the
  // caller's loop, which re-checks its condition; the slice bounds the sleep.
  if (slice_ns > 0) {
    const timespec relative{static_cast<time_t>(slice_ns / 1'000'000'000),
                            static_cast<long>(slice_ns % 1'000'000'000)};
    (void)futex_wait(futex_word(word), seen, &relative);
  }

  // A holder that died while we slept is taken over silently: the ring's
  // positions are only ever stored whole, so its state is consistent.
  if (auto relocked = lock_robust(mutex); !relocked) return Err{relocked.error()};
  return {};
}

Result<void, CondError> wake_broadcast(WakeWord* word) {
  // Release: a sleeper the kernel compares against the new value, or that
  // wakes and reads it, sees it after the data this broadcast announces.
  word->sequence.fetch_add(1, std::memory_order_release);
  // The plain load keeps the common case (nobody waiting) free of a locked
  // instruction and of any system call. The flag is written only under the
  // mutex we hold, so the load and exchange cannot race with a waiter.
  if (word->waiting.load(std::memory_order_relaxed) == 0) return {};
  word->waiting.store(0, std::memory_order_relaxed);
  if (futex_wake_all(futex_word(word)) < 0) return Err{CondError::pthread(errno)};
  return {};
}

}  // namespace vesk
