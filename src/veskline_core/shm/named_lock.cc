#include "veskline_core/shm/named_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/unique_fd.h"

namespace vesk {

namespace {

// Exclusive-create races lost before giving up with EEXIST: each lost race
// means the record now exists, so one more open normally succeeds.
constexpr int kCreateRounds = 5;
// How long an attacher waits for a record that is still being created.
constexpr int64_t kReadyTimeoutNs = 10'000'000'000;
constexpr int64_t kReadyPollNs = 1'000'000;

SegmentError saved_errno() {
  return SegmentError::from_errno(errno);
}



// Polls `ready` until it holds or the deadline passes.
template <class F>
bool wait_until(int64_t deadline, F&& ready) {
  while (!ready()) {
    if (monotonic_ns() > deadline) return false;
    sleep_ns(kReadyPollNs);
  }
  return true;
}

// Locks of this process that one of its threads holds, by object identity,
// with the mapping they were taken through. Never destroyed: unmapping these
// at exit would keep the kernel from marking them owner-dead.
struct HeldLocks {
  std::mutex mutex;
  std::map<std::pair<dev_t, ino_t>, std::shared_ptr<PlainSegment>> mappings;
};

HeldLocks& held_locks() {
  static HeldLocks* const held = [] {
    auto* created = new HeldLocks;
    // A fork() in the middle of an update would leave the child's copy of
    // the mutex locked for ever.
    pthread_atfork([] { held_locks().mutex.lock(); }, [] { held_locks().mutex.unlock(); },
                   [] { held_locks().mutex.unlock(); });
    return created;
  }();
  return *held;
}

struct Opened {
  std::shared_ptr<PlainSegment> segment;
  struct stat status;
};

Result<Opened, SegmentError> map_record(const UniqueFd& fd) {
  Opened opened{};
  if (::fstat(fd.get(), &opened.status) != 0) return Err{saved_errno()};
  void* address =
      ::mmap(nullptr, kPlainSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (address == MAP_FAILED) return Err{saved_errno()};
  opened.segment = std::make_shared<PlainSegment>(Mapping(address, kPlainSegmentSize));
  return opened;
}

}  // namespace

Result<NamedLock, LockOpenError> NamedLock::open(std::string_view name) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{LockOpenError{false, system_name.error(), {}}};
  const char* path = system_name->c_str();
  SegmentError create_error = SegmentError::from_errno(EEXIST);

  for (int round = 0; round < kCreateRounds; ++round) {
    UniqueFd fd(::shm_open(path, O_RDWR, kSegmentMode));
    if (fd.valid()) {
      // Attach, but never touch a record that is short or not initialised.
      const int64_t deadline = monotonic_ns() + kReadyTimeoutNs;
      const bool long_enough = wait_until(deadline, [&] {
        struct stat status {};
        return ::fstat(fd.get(), &status) == 0 && status.st_size >= off_t{kPlainSegmentSize};
      });
      if (!long_enough) break;
      auto opened = map_record(fd);
      if (!opened) return Err{LockOpenError{false, opened.error(), {}}};
      auto* mutex = reinterpret_cast<pthread_mutex_t*>(opened->segment->address());
      if (!wait_until(deadline, [&] { return robust_mutex_initialised(mutex); })) break;
      return NamedLock(std::move(opened->segment), opened->status.st_dev, opened->status.st_ino);
    }

    UniqueFd created(::shm_open(path, O_RDWR | O_CREAT | O_EXCL, kSegmentMode));
    if (!created.valid()) {
      create_error = saved_errno();
      if (create_error.err() == EEXIST) continue;  // created by another process just now: attach
      return Err{LockOpenError{false, create_error, {}}};
    }
    if (::ftruncate(created.get(), off_t{kPlainSegmentSize}) != 0) {
      return Err{LockOpenError{false, saved_errno(), {}}};
    }
    auto opened = map_record(created);
    if (!opened) return Err{LockOpenError{false, opened.error(), {}}};
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(opened->segment->address());
    if (auto init = init_robust_mutex(mutex); !init) {
      return Err{LockOpenError{true, {}, init.error()}};
    }
    return NamedLock(std::move(opened->segment), opened->status.st_dev, opened->status.st_ino);
  }
  return Err{LockOpenError{false, create_error, {}}};
}

Result<Locked, LockError> NamedLock::try_acquire() const {
  auto locked = trylock_robust(mutex());
  if (locked) {
    note_acquired();
  } else if (locked.error().code() == EBUSY && held_by_calling_thread(mutex())) {
    return Err{LockError::pthread(EDEADLK)};
  }
  return locked;
}

Result<Locked, LockError> NamedLock::acquire(Deadline deadline, StopQuery& stop) const {
  if (held_by_calling_thread(mutex())) return Err{LockError::pthread(EDEADLK)};
  auto locked = lock_robust_until(mutex(), deadline, stop);
  if (locked) note_acquired();
  return locked;
}

Result<void, LockError> NamedLock::release() const {
  auto released = unlock_robust(mutex());
  if (released) {
    HeldLocks& held = held_locks();
    std::lock_guard guard(held.mutex);
    held.mappings.erase({device_, inode_});
  }
  return released;
}

void NamedLock::note_acquired() const {
  HeldLocks& held = held_locks();
  std::lock_guard guard(held.mutex);
  held.mappings[{device_, inode_}] = segment_;
}

}  // namespace vesk
