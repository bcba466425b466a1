#include "veskline_core/shm/named_lock.h"

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/named_object.h"

namespace vesk {

namespace {

// Exclusive-create races lost before giving up with EEXIST: each lost race
// means the record now exists, so one more open normally succeeds.
constexpr int kCreateRounds = 5;
// How long an attacher waits for a record that is still being created.
constexpr int64_t kReadyTimeoutNs = 10'000'000'000;
constexpr int64_t kReadyPollNs = 1'000'000;

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

Result<Opened, SegmentError> map_record(int fd) {
  Opened opened{};
  if (::fstat(fd, &opened.status) != 0) return Err{last_errno()};
  void* address = ::mmap(nullptr, kPlainSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return Err{last_errno()};
  opened.segment = std::make_shared<PlainSegment>(Mapping(address, kPlainSegmentSize));
  return opened;
}

}  // namespace

Result<NamedLock, LockOpenError> NamedLock::open(std::string_view name) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{LockOpenError{false, system_name.error(), {}}};
  SegmentError create_error = SegmentError::from_errno(EEXIST);

  for (int round = 0; round < kCreateRounds; ++round) {
    auto existing = open_object(system_name.value());
    if (existing) {
      const UniqueFd& fd = existing.value();
      // Attach, but never touch a record that is short or not initialised.
      // A record whose name goes away meanwhile was given up by its creator:
      // start over.
      const int64_t deadline = monotonic_ns() + kReadyTimeoutNs;
      bool removed = false;
      const bool long_enough = wait_until(deadline, [&] {
        if (object_size(fd.get()) >= int64_t{kPlainSegmentSize}) return true;
        return removed = object_removed(fd.get());
      });
      if (removed) continue;
      if (!long_enough) break;
      auto opened = map_record(fd.get());
      if (!opened) return Err{LockOpenError{false, opened.error(), {}}};
      auto* mutex = reinterpret_cast<pthread_mutex_t*>(opened->segment->address());
      const bool ready = wait_until(deadline, [&] {
        if (robust_mutex_initialised(mutex)) return true;
        return removed = object_removed(fd.get());
      });
      if (removed) continue;
      if (!ready) break;
      return NamedLock(std::move(opened->segment), opened->status.st_dev, opened->status.st_ino);
    }
    // Another user's record is refused, never attached or raced for.
    if (existing.error().err() == EACCES) return Err{LockOpenError{false, existing.error(), {}}};

    auto created = create_object(system_name.value(), kPlainSegmentSize);
    if (!created) {
      create_error = created.error();
      if (create_error.err() == EEXIST) continue;  // created by another process just now: attach
      return Err{LockOpenError{false, create_error, {}}};
    }
    // From here on, a failure removes the new name again (NewObject).
    auto opened = map_record(created.value().fd());
    if (!opened) return Err{LockOpenError{false, opened.error(), {}}};
    auto* mutex = reinterpret_cast<pthread_mutex_t*>(opened->segment->address());
    if (auto init = init_robust_mutex(mutex); !init) {
      return Err{LockOpenError{true, {}, init.error()}};
    }
    created.value().keep();
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
