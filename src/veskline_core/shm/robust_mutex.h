// Process-shared robust mutexes used in place in shared memory.
//
// A robust mutex whose holder died is handed to the next locker with
// EOWNERDEAD; these helpers mark it consistent at once and report the takeover
// as Locked::OwnerDied, so no mutex of ours ever becomes unrecoverable.
// Codes are the pthread return values (never errno).
#pragma once

#include <pthread.h>

#include <cerrno>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/wait.h"

namespace vesk {

enum class Locked { Clean, OwnerDied };

// pthread_mutex_init with PTHREAD_PROCESS_SHARED and PTHREAD_MUTEX_ROBUST (type
// left at its default). The attribute object is destroyed on every path once
// it was initialised; the first nonzero code is the error.
Result<void, LockError> init_robust_mutex(pthread_mutex_t* mutex);

// The codes lock_robust_until fails with when it gave up without the mutex.
inline constexpr int kLockTimedOut = ETIMEDOUT;
inline constexpr int kLockStopped = EINTR;

// Blocking lock, ended by `deadline` (LockError kLockTimedOut) or by `stop`
// (kLockStopped), neither of which leaves the mutex held. It first retries
// the non-blocking lock for a bounded while (see spinner.h), since a holder
// running on another core releases sooner than a futex wake-up takes, then
// sleeps on the mutex word (see wait.h), cooperating with glibc's own
// lockers: it marks the word as having waiters before it sleeps, and after a
// sleep it takes the mutex with that mark, so its own unlock wakes whoever
// still sleeps. On EOWNERDEAD the mutex is made consistent and held.
Result<Locked, LockError> lock_robust_until(pthread_mutex_t* mutex, Deadline deadline,
                                            StopQuery& stop);

// lock_robust_until without a deadline or a way to stop.
Result<Locked, LockError> lock_robust(pthread_mutex_t* mutex);

// Non-blocking lock; EBUSY comes back as LockError::pthread(EBUSY). Like
// lock_robust_until, it refuses (EINVAL) a mutex whose kind is not the one
// init_robust_mutex makes: damaged bytes would make the C library abort.
Result<Locked, LockError> trylock_robust(pthread_mutex_t* mutex);

Result<void, LockError> unlock_robust(pthread_mutex_t* mutex);

// True when the calling thread holds `mutex` (read from the futex word, whose
// owner id the kernel clears when a holder dies, so a recycled thread id never
// matches a dead holder).
bool held_by_calling_thread(const pthread_mutex_t* mutex);

// True when the mutex's kind word is the one init_robust_mutex makes (robust,
// process-shared, default type): anything else is damage, or not ours.
bool robust_mutex_plausible(const pthread_mutex_t* mutex);

// True once pthread_mutex_init has run on `mutex`: glibc stores the mutex kind
// last, and an initialised robust process-shared mutex never has kind 0.
bool robust_mutex_initialised(const pthread_mutex_t* mutex);

}  // namespace vesk
