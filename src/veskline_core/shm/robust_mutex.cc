#include "veskline_core/shm/robust_mutex.h"

#include "veskline_core/shm/spinner.h"

#include <linux/futex.h>
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

Result<Locked, LockError> lock_robust(pthread_mutex_t* mutex) {
  return after_lock(mutex, pthread_mutex_lock(mutex));
}

Result<Locked, LockError> lock_robust_adaptive(pthread_mutex_t* mutex) {
  Spinner spinner;
  do {
    const int code = pthread_mutex_trylock(mutex);
    if (code != EBUSY) return after_lock(mutex, code);
  } while (spinner.wait());
  return lock_robust(mutex);
}

Result<Locked, LockError> trylock_robust(pthread_mutex_t* mutex) {
  return after_lock(mutex, pthread_mutex_trylock(mutex));
}

Result<void, LockError> unlock_robust(pthread_mutex_t* mutex) {
  int code = pthread_mutex_unlock(mutex);
  if (code != 0) return Err{LockError::pthread(code)};
  return {};
}

bool held_by_calling_thread(const pthread_mutex_t* mutex) {
  const int* word = &mutex->__data.__lock;
  const auto value = static_cast<unsigned>(__atomic_load_n(word, __ATOMIC_ACQUIRE));
  // Not cached: a fork()ed child's thread has a new id.
  const auto tid = static_cast<unsigned>(::gettid());
  // A dead holder's word carries FUTEX_OWNER_DIED and no thread id.
  return (value & FUTEX_TID_MASK) == tid && (value & FUTEX_OWNER_DIED) == 0;
}

bool robust_mutex_initialised(const pthread_mutex_t* mutex) {
  return __atomic_load_n(&mutex->__data.__kind, __ATOMIC_ACQUIRE) != 0;
}

}  // namespace vesk
