#include "veskline_core/shm/robust_mutex.h"

#include "veskline_core/shm/spinner.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace vesk {

// The checks below read glibc's x86-64 mutex words; pin where they live.
static_assert(sizeof(pthread_mutex_t) == 40);
static_assert(offsetof(__pthread_mutex_s, __lock) == 0);
static_assert(offsetof(__pthread_mutex_s, __kind) == 16);

namespace {

class MutexAttr {
 public:
  MutexAttr() : code_(pthread_mutexattr_init(&attr_)) {}
  ~MutexAttr() {
    if (code_ == 0) pthread_mutexattr_destroy(&attr_);
  }
  MutexAttr(const MutexAttr&) = delete;
  MutexAttr& operator=(const MutexAttr&) = delete;
  int init_code() const { return code_; }
  pthread_mutexattr_t* get() { return &attr_; }

 private:
  pthread_mutexattr_t attr_{};
  int code_;
};

Result<Locked, LockError> after_lock(pthread_mutex_t* mutex, int code) {
  if (code == 0) return Locked::Clean;
  if (code == EOWNERDEAD) {
    // We hold it now; make it usable again before anything else.
    (void)pthread_mutex_consistent(mutex);
    return Locked::OwnerDied;
  }
  return Err{LockError::pthread(code)};
}

// The kind word init_robust_mutex produces, read once from a local mutex so
// no glibc constant is repeated here.
int expected_kind() {
  static const int kind = [] {
    pthread_mutex_t probe;
    if (!init_robust_mutex(&probe).ok()) return -1;
    const int value = probe.__data.__kind;
    pthread_mutex_destroy(&probe);
    return value;
  }();
  return kind;
}

}  // namespace

Result<void, LockError> init_robust_mutex(pthread_mutex_t* mutex) {
  MutexAttr attr;
  int code = attr.init_code();
  if (code == 0) code = pthread_mutexattr_setpshared(attr.get(), PTHREAD_PROCESS_SHARED);
  if (code == 0) code = pthread_mutexattr_setrobust(attr.get(), PTHREAD_MUTEX_ROBUST);
  if (code == 0) code = pthread_mutex_init(mutex, attr.get());
  if (code != 0) return Err{LockError::pthread(code)};
  return {};
}

Result<Locked, LockError> lock_robust_until(pthread_mutex_t* mutex, Deadline deadline,
                                            StopQuery& stop) {
  if (!robust_mutex_plausible(mutex)) return Err{LockError::pthread(EINVAL)};
  Spinner spinner;
  do {
    const int code = pthread_mutex_trylock(mutex);
    if (code != EBUSY) return after_lock(mutex, code);
  } while (spinner.wait());

  // glibc's robust mutex word: the holder's thread id, FUTEX_WAITERS while
  // somebody sleeps on it, FUTEX_OWNER_DIED once the kernel found the holder
  // dead. An unlock that finds FUTEX_WAITERS wakes one sleeper, which is not
  // necessarily us: whoever is woken takes the mutex with the bit set again,
  // so the next unlock wakes the next sleeper. glibc's lockers do the same.
  auto* word = reinterpret_cast<uint32_t*>(&mutex->__data.__lock);
  bool slept = false;
  for (;;) {
    const int code = pthread_mutex_trylock(mutex);
    if (code != EBUSY) {
      if (slept && (code == 0 || code == EOWNERDEAD))
        __atomic_fetch_or(word, FUTEX_WAITERS, __ATOMIC_RELAXED);
      return after_lock(mutex, code);
    }
    uint32_t seen = __atomic_load_n(word, __ATOMIC_RELAXED);
    // Free, or its holder died, since the trylock: try again at once.
    if ((seen & FUTEX_TID_MASK) == 0 || (seen & FUTEX_OWNER_DIED) != 0) continue;
    if ((seen & FUTEX_WAITERS) == 0) {
      // Announce a sleeper; if the word moved meanwhile, start over.
      if (!__atomic_compare_exchange_n(word, &seen, seen | FUTEX_WAITERS, false, __ATOMIC_RELAXED,
                                       __ATOMIC_RELAXED))
        continue;
      seen |= FUTEX_WAITERS;
    }
    switch (futex_sleep(word, seen, deadline, stop)) {
      case WaitEnd::Again:
        slept = true;
        break;
      case WaitEnd::TimedOut:
        return Err{LockError::pthread(kLockTimedOut)};
      case WaitEnd::Stopped:
        return Err{LockError::pthread(kLockStopped)};
    }
  }
}

Result<Locked, LockError> lock_robust(pthread_mutex_t* mutex) {
  return lock_robust_until(mutex, Deadline::never(), never_stop());
}

Result<Locked, LockError> trylock_robust(pthread_mutex_t* mutex) {
  if (!robust_mutex_plausible(mutex)) return Err{LockError::pthread(EINVAL)};
  return after_lock(mutex, pthread_mutex_trylock(mutex));
}

Result<void, LockError> unlock_robust(pthread_mutex_t* mutex) {
  // Damaged while held: leave it to the kernel's owner-died handling rather
  // than let the C library act on a kind it never set.
  if (!robust_mutex_plausible(mutex)) return Err{LockError::pthread(EINVAL)};
  int code = pthread_mutex_unlock(mutex);
  if (code != 0) return Err{LockError::pthread(code)};
  return {};
}

bool held_by_calling_thread(const pthread_mutex_t* mutex) {
  const int* word = &mutex->__data.__lock;
  const auto value = static_cast<unsigned>(__atomic_load_n(word, __ATOMIC_ACQUIRE));
  // Not cached: a fork()ed child's thread has a new id. The system call
  // itself: glibc wraps it only from 2.30 on, newer than the wheels target.
  const auto tid = static_cast<unsigned>(::syscall(SYS_gettid));
  // A dead holder's word carries FUTEX_OWNER_DIED and no thread id.
  return (value & FUTEX_TID_MASK) == tid && (value & FUTEX_OWNER_DIED) == 0;
}

bool robust_mutex_plausible(const pthread_mutex_t* mutex) {
  return __atomic_load_n(&mutex->__data.__kind, __ATOMIC_ACQUIRE) == expected_kind();
}

bool robust_mutex_initialised(const pthread_mutex_t* mutex) {
  return __atomic_load_n(&mutex->__data.__kind, __ATOMIC_ACQUIRE) != 0;
}

}  // namespace vesk
