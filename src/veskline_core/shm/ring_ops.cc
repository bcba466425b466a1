#include "veskline_core/shm/ring_ops.h"

#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/wake_word.h"

namespace vesk {

// The length prefix is stored in native byte order, which must be the
// format's little-endian.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr uint64_t kPrefixSize = sizeof(uint32_t);

RingError from_lock_error(LockError error) {
  if (error.code() == kLockTimedOut) return RingError::timed_out();
  if (error.code() == kLockStopped) return RingError::stopped();
  return RingError::mutex(error);
}

// The ring's mutex, held from take() until release() or destruction. The
// destructor's unlock covers every early return; release() is the one place
// whose unlock failure is reported.
class HeldMutex {
 public:
  static Result<HeldMutex, RingError> take(pthread_mutex_t* mutex, Deadline deadline,
                                           StopQuery& stop) {
    // Bytes that are plainly not a robust process-shared mutex (damage) are
    // refused as EINVAL there, where the C library could abort on them.
    // A dead holder's mutex is taken over silently: positions are stored
    // whole, after the copy, so the ring is consistent whatever it did.
    if (auto locked = lock_robust_until(mutex, deadline, stop); !locked)
      return Err{from_lock_error(locked.error())};
    return HeldMutex(mutex);
  }

  HeldMutex(HeldMutex&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  HeldMutex& operator=(HeldMutex&&) = delete;
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;
  ~HeldMutex() {
    if (mutex_ != nullptr) (void)unlock_robust(mutex_);
  }

  // Waits on `word` once (see wake_wait). On failure the mutex is no longer
  // held.
  Result<void, RingError> wait(WakeWord* word, Deadline deadline, StopQuery& stop) {
    auto waited = wake_wait(word, mutex_, deadline, stop);
    if (waited && waited.value() == WaitEnd::Again) return {};
    mutex_ = nullptr;
    if (!waited) return Err{RingError::mutex(waited.error())};
    return Err{waited.value() == WaitEnd::TimedOut ? RingError::timed_out() : RingError::stopped()};
  }

  Result<void, RingError> release() {
    if (auto unlocked = unlock_robust(std::exchange(mutex_, nullptr)); !unlocked)
      return Err{RingError::mutex(unlocked.error())};
    return {};
  }

 private:
  explicit HeldMutex(pthread_mutex_t* mutex) : mutex_(mutex) {}
  pthread_mutex_t* mutex_;
};

// Positions are only written under the mutex, so these loads need no
// ordering of their own; acquire costs nothing on x86-64 and keeps them
// correct for a reader that polls without the mutex.
uint64_t load_pos(const std::atomic<uint64_t>& pos) {
  return pos.load(std::memory_order_acquire);
}

// Seq_cst: the position is the commit point of a put or get, stored after
// the copy; a process killed before it leaves nothing visible.
void store_pos(std::atomic<uint64_t>& pos, uint64_t value) {
  pos.store(value, std::memory_order_seq_cst);
}

// The capacity an operation may use: the data size this process mapped, if
// the header (read once, here) agrees; any other value is damage and reads as
// 0, which every operation refuses as too small for a record.
uint64_t checked_capacity(const RingHandle& ring) {
  const uint64_t capacity = __atomic_load_n(&ring.header->capacity, __ATOMIC_RELAXED);
  return capacity == ring.data_size ? ring.data_size : 0;
}

// One reading of both positions.
struct Positions {
  uint64_t read;
  uint64_t write;

  static Positions of(const RingHeader& header) {
    return {load_pos(header.read_pos), load_pos(header.write_pos)};
  }
  bool empty() const { return write <= read; }
  // Bytes queued; positions that claim more than the capacity (damage) count
  // as full, never as having room.
  uint64_t used(uint64_t capacity) const {
    if (write < read || write - read > capacity) return capacity;
    return write - read;
  }
};

// The prefix may run past the end of the data region; the mirror makes the
// four bytes contiguous. `capacity` is never 0 here.
uint32_t read_prefix(const std::byte* data, uint64_t pos, uint64_t capacity) {
  uint32_t length = 0;
  std::memcpy(&length, data + pos % capacity, kPrefixSize);
  return length;
}

// The oldest record, located under the mutex on a non-empty ring: where its
// payload starts (a running position) and how long it is.
struct Oldest {
  uint64_t read_pos;
  uint32_t length;
  uint64_t payload_pos() const { return read_pos + kPrefixSize; }
  uint64_t end_pos() const { return payload_pos() + length; }
};

// Refuses a ring too small for any record and a prefix that cannot be a
// record: longer than the ring, or running past what was written (only a
// damaged ring has either). Nothing is consumed either way.
Result<Oldest, RingError> locate_oldest(const RingHandle& ring, uint64_t capacity, Positions at) {
  if (capacity < kPrefixSize) return Err{RingError::buffer_too_small()};
  const uint64_t queued = at.write - at.read;
  const uint32_t length = read_prefix(ring.data, at.read, capacity);
  if (length > capacity || kPrefixSize + length > queued) return Err{RingError::buffer_too_small()};
  return Oldest{at.read, length};
}

// Waits until the ring holds a message and returns the positions seen then;
// the mutex is held throughout except inside the waits.
Result<Positions, RingError> wait_for_data(const RingHandle& ring, HeldMutex& held,
                                           Deadline deadline, StopQuery& stop) {
  for (;;) {
    const Positions at = Positions::of(*ring.header);
    if (!at.empty()) return at;
    if (auto waited = held.wait(ring.data_available, deadline, stop); !waited)
      return Err{waited.error()};
  }
}

}  // namespace

Result<void, RingError> ring_put(const RingHandle& ring, const void* payload, uint64_t length,
                                 Deadline deadline, StopQuery& stop) {
  auto held = HeldMutex::take(ring.mutex, deadline, stop);
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);

  // Never fits, so never wait: a prefix cannot hold the length, or the
  // record is longer than the whole ring.
  if (length > std::numeric_limits<uint32_t>::max() || capacity < kPrefixSize ||
      length > capacity - kPrefixSize)
    return Err{RingError::buffer_too_small()};
  const uint64_t record = kPrefixSize + length;

  Positions at = Positions::of(header);
  while (capacity - at.used(capacity) < record) {
    if (auto waited = held->wait(ring.space_available, deadline, stop); !waited) return waited;
    at = Positions::of(header);
  }

  // Offsets come from the one reading above, reduced by our own capacity, so
  // the copy stays inside the mapping whatever the header says meanwhile.
  const auto prefix = static_cast<uint32_t>(length);
  std::memcpy(ring.data + at.write % capacity, &prefix, kPrefixSize);
  if (length > 0) std::memcpy(ring.data + (at.write + kPrefixSize) % capacity, payload, length);
  store_pos(header.write_pos, at.write + record);

  // The message is in the ring even if the wake-up fails.
  if (auto woke = wake_broadcast(ring.data_available); !woke)
    return Err{RingError::cond(woke.error())};
  return held->release();
}

Result<OwnedBytes, RingError> ring_get(const RingHandle& ring, Deadline deadline, StopQuery& stop) {
  auto got = ring_get_or_locate(ring, std::numeric_limits<uint64_t>::max(), deadline, stop);
  if (!got) return Err{got.error()};
  return std::move(got->bytes);
}

Result<GetOrLocate, RingError> ring_get_or_locate(const RingHandle& ring, uint64_t copy_limit,
                                                  Deadline deadline, StopQuery& stop) {
  auto held = HeldMutex::take(ring.mutex, deadline, stop);
  if (!held) return Err{held.error()};
  auto ready = wait_for_data(ring, held.value(), deadline, stop);
  if (!ready) return Err{ready.error()};
  const uint64_t capacity = checked_capacity(ring);
  auto oldest = locate_oldest(ring, capacity, *ready);
  if (!oldest) return Err{oldest.error()};

  const std::byte* payload = ring.data + oldest->payload_pos() % capacity;
  GetOrLocate out;
  if (oldest->length > copy_limit) {
    out.located = MessageView{payload, oldest->length, oldest->end_pos()};
    if (auto released = held->release(); !released) return Err{released.error()};
    return out;
  }
  out.bytes.size = oldest->length;
  if (out.bytes.size > 0) {
    // nothrow: an allocation failure leaves the message where it is.
    out.bytes.data.reset(new (std::nothrow) std::byte[out.bytes.size]);
    if (!out.bytes.data) return Err{RingError::out_of_memory()};
    std::memcpy(out.bytes.data.get(), payload, out.bytes.size);
  }
  store_pos(ring.header->read_pos, oldest->end_pos());

  // The message counts as consumed even if the wake-up fails.
  if (auto woke = wake_broadcast(ring.space_available); !woke)
    return Err{RingError::cond(woke.error())};
  if (auto released = held->release(); !released) return Err{released.error()};
  return out;
}

Result<bool, RingError> ring_take(const RingHandle& ring, const MessageView& message,
                                  std::byte* destination, Deadline deadline, StopQuery& stop) {
  auto held = HeldMutex::take(ring.mutex, deadline, stop);
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);
  if (capacity < kPrefixSize) return Err{RingError::buffer_too_small()};
  const Positions at = Positions::of(header);
  // Positions never repeat, so an unchanged read_pos with this record's end
  // means the located message is still the oldest and still intact. The copy
  // uses the located pointer and length, both checked against our mapping
  // when they were located, never a value read from the header again.
  const bool still_oldest = !at.empty() && message.length <= capacity - kPrefixSize &&
                            message.next_pos == at.read + kPrefixSize + message.length &&
                            message.data == ring.data + (at.read + kPrefixSize) % capacity &&
                            read_prefix(ring.data, at.read, capacity) == message.length;
  if (still_oldest) {
    if (message.length > 0) std::memcpy(destination, message.data, message.length);
    store_pos(header.read_pos, message.next_pos);
    if (auto woke = wake_broadcast(ring.space_available); !woke)
      return Err{RingError::cond(woke.error())};
    if (auto released = held->release(); !released) return Err{released.error()};
    return true;
  }
  if (auto released = held->release(); !released) return Err{released.error()};
  return false;
}

Result<MessageView, ViewError> ring_get_view(const RingHandle& ring, Deadline deadline,
                                             StopQuery& stop) {
  auto held = HeldMutex::take(ring.mutex, deadline, stop);
  if (!held) return Err{ViewError{false, held.error()}};
  auto ready = wait_for_data(ring, held.value(), deadline, stop);
  if (!ready) return Err{ViewError{false, ready.error()}};
  const uint64_t capacity = checked_capacity(ring);
  auto oldest = locate_oldest(ring, capacity, *ready);
  if (!oldest) return Err{ViewError{false, oldest.error()}};

  // The payload stays put until a commit moves read_pos past it, because free
  // space is measured from read_pos; it is read with the mutex free.
  const MessageView view{ring.data + oldest->payload_pos() % capacity, oldest->length,
                         oldest->end_pos()};
  if (auto released = held->release(); !released) return Err{ViewError{true, released.error()}};
  return view;
}

Result<void, RingError> ring_commit(const RingHandle& ring, uint64_t next_pos) {
  auto held = HeldMutex::take(ring.mutex, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);
  const Positions at = Positions::of(header);

  // Only the end of the oldest record moves read_pos. Anything else is either
  // a late commit of a message another reader already took, or a position
  // that would make later reads take payload bytes for a length prefix.
  const bool moves = capacity >= kPrefixSize && at.read < at.write && next_pos > at.read &&
                     next_pos <= at.write &&
                     next_pos - at.read == kPrefixSize + read_prefix(ring.data, at.read, capacity);
  if (moves) {
    store_pos(header.read_pos, next_pos);
    if (auto woke = wake_broadcast(ring.space_available); !woke)
      return Err{RingError::cond(woke.error())};
  }
  return held->release();
}

}  // namespace vesk
