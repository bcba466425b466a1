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

// The ring's mutex, held from take() until release() or destruction. The
// destructor's unlock covers every early return; release() is the one place
// whose unlock failure is reported.
class HeldMutex {
 public:
  static Result<HeldMutex, RingError> take(pthread_mutex_t* mutex) {
    // A dead holder's mutex is taken over silently: positions are stored
    // whole, after the copy, so the ring is consistent whatever it did.
    if (auto locked = lock_robust_adaptive(mutex); !locked)
      return Err{RingError::mutex(locked.error())};
    return HeldMutex(mutex);
  }

  HeldMutex(HeldMutex&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  HeldMutex& operator=(HeldMutex&&) = delete;
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;
  ~HeldMutex() {
    if (mutex_ != nullptr) (void)unlock_robust(mutex_);
  }

  // Waits one slice on `word`. On failure the mutex is no longer held.
  Result<void, RingError> wait(WakeWord* word) {
    if (auto waited = wake_wait(word, mutex_); !waited) {
      mutex_ = nullptr;
      return Err{RingError::mutex(waited.error())};
    }
    return {};
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

// The capacity the operations may use: the header's, if it is the data size
// this process mapped. Any other value is damage and reads as 0, which every
// operation refuses as too small for a record, instead of indexing past the
// mapping.
uint64_t checked_capacity(const RingHandle& ring) {
  const uint64_t capacity = ring.header->capacity;
  return capacity == ring.data_size ? capacity : 0;
}

// Bytes queued; a ring that claims more than its capacity (damaged) counts as
// full, never as having room.
uint64_t used_bytes(const RingHeader& header, uint64_t capacity) {
  const uint64_t read = load_pos(header.read_pos);
  const uint64_t write = load_pos(header.write_pos);
  if (write < read || write - read > capacity) return capacity;
  return write - read;
}

bool is_empty(const RingHeader& header) {
  return load_pos(header.write_pos) <= load_pos(header.read_pos);
}

// The prefix may run past the end of the data region; the mirror makes the
// four bytes contiguous.
uint32_t read_prefix(const std::byte* data, uint64_t pos, uint64_t capacity) {
  uint32_t length = 0;
  std::memcpy(&length, data + pos % capacity, kPrefixSize);
  return length;
}

// The oldest record, located under the mutex on a non-empty ring.
struct Oldest {
  uint64_t read_pos;
  uint32_t length;
};

// Refuses a ring too small for any record and a prefix that cannot be a
// record: longer than the ring, or running past what was written (only a
// damaged ring has either). Nothing is consumed either way.
Result<Oldest, RingError> locate_oldest(const RingHandle& ring) {
  const uint64_t capacity = checked_capacity(ring);
  if (capacity < kPrefixSize) return Err{RingError::buffer_too_small()};
  const uint64_t read = load_pos(ring.header->read_pos);
  const uint64_t queued = load_pos(ring.header->write_pos) - read;
  const uint32_t length = read_prefix(ring.data, read, capacity);
  if (length > capacity || kPrefixSize + length > queued) return Err{RingError::buffer_too_small()};
  return Oldest{read, length};
}

// Waits until the ring holds a message; the mutex is held throughout except
// inside the waits.
Result<void, RingError> wait_for_data(const RingHandle& ring, HeldMutex& held) {
  while (is_empty(*ring.header)) {
    if (auto waited = held.wait(ring.data_available); !waited) return waited;
  }
  return {};
}

}  // namespace

Result<void, RingError> ring_put(const RingHandle& ring, const void* payload, uint64_t length) {
  auto held = HeldMutex::take(ring.mutex);
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);

  // Never fits, so never wait: a prefix cannot hold the length, or the
  // record is longer than the whole ring.
  if (length > std::numeric_limits<uint32_t>::max() || capacity < kPrefixSize ||
      length > capacity - kPrefixSize)
    return Err{RingError::buffer_too_small()};
  const uint64_t record = kPrefixSize + length;

  while (capacity - used_bytes(header, capacity) < record) {
    if (auto waited = held->wait(ring.space_available); !waited) return waited;
  }

  const uint64_t write = load_pos(header.write_pos);
  const auto prefix = static_cast<uint32_t>(length);
  std::memcpy(ring.data + write % capacity, &prefix, kPrefixSize);
  if (length > 0) std::memcpy(ring.data + (write + kPrefixSize) % capacity, payload, length);
  store_pos(header.write_pos, write + record);

  // The message is in the ring even if the wake-up fails.
  if (auto woke = wake_broadcast(ring.data_available); !woke)
    return Err{RingError::cond(woke.error())};
  return held->release();
}

Result<OwnedBytes, RingError> ring_get(const RingHandle& ring) {
  auto got = ring_get_or_locate(ring, std::numeric_limits<uint64_t>::max());
  if (!got) return Err{got.error()};
  return std::move(got->bytes);
}

Result<GetOrLocate, RingError> ring_get_or_locate(const RingHandle& ring, uint64_t copy_limit) {
  auto held = HeldMutex::take(ring.mutex);
  if (!held) return Err{held.error()};
  if (auto ready = wait_for_data(ring, held.value()); !ready) return Err{ready.error()};
  auto oldest = locate_oldest(ring);
  if (!oldest) return Err{oldest.error()};

  const uint64_t capacity = checked_capacity(ring);
  const uint64_t start = oldest->read_pos + kPrefixSize;
  GetOrLocate out;
  if (oldest->length > copy_limit) {
    out.located = MessageView{ring.data + start % capacity, oldest->length, start + oldest->length};
    if (auto released = held->release(); !released) return Err{released.error()};
    return out;
  }
  out.bytes.size = oldest->length;
  if (out.bytes.size > 0) {
    out.bytes.data.reset(new std::byte[out.bytes.size]);
    std::memcpy(out.bytes.data.get(), ring.data + start % capacity, out.bytes.size);
  }
  store_pos(ring.header->read_pos, start + out.bytes.size);

  // The message counts as consumed even if the wake-up fails.
  if (auto woke = wake_broadcast(ring.space_available); !woke)
    return Err{RingError::cond(woke.error())};
  if (auto released = held->release(); !released) return Err{released.error()};
  return out;
}

Result<bool, RingError> ring_take(const RingHandle& ring, const MessageView& message,
                                  std::byte* destination) {
  auto held = HeldMutex::take(ring.mutex);
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);
  if (capacity < kPrefixSize) return Err{RingError::buffer_too_small()};
  const uint64_t read = load_pos(header.read_pos);
  // Positions never repeat, so an unchanged read_pos with this record's end
  // means the located message is still the oldest and still intact.
  if (read < load_pos(header.write_pos) &&
      message.next_pos == read + kPrefixSize + message.length &&
      read_prefix(ring.data, read, capacity) == message.length) {
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

Result<MessageView, ViewError> ring_get_view(const RingHandle& ring) {
  auto held = HeldMutex::take(ring.mutex);
  if (!held) return Err{ViewError{false, held.error()}};
  if (auto ready = wait_for_data(ring, held.value()); !ready)
    return Err{ViewError{false, ready.error()}};
  auto oldest = locate_oldest(ring);
  if (!oldest) return Err{ViewError{false, oldest.error()}};

  // The payload stays put until a commit moves read_pos past it, because free
  // space is measured from read_pos; it is read with the mutex free.
  const uint64_t start = oldest->read_pos + kPrefixSize;
  const MessageView view{ring.data + start % checked_capacity(ring), oldest->length,
                         start + oldest->length};
  if (auto released = held->release(); !released) return Err{ViewError{true, released.error()}};
  return view;
}

Result<void, RingError> ring_commit(const RingHandle& ring, uint64_t next_pos) {
  auto held = HeldMutex::take(ring.mutex);
  if (!held) return Err{held.error()};
  RingHeader& header = *ring.header;
  const uint64_t capacity = checked_capacity(ring);
  const uint64_t read = load_pos(header.read_pos);
  const uint64_t write = load_pos(header.write_pos);

  // Only the end of the oldest record moves read_pos. Anything else is either
  // a late commit of a message another reader already took, or a position
  // that would make later reads take payload bytes for a length prefix.
  const bool moves = capacity >= kPrefixSize && read < write && next_pos > read &&
                     next_pos <= write &&
                     next_pos - read == kPrefixSize + read_prefix(ring.data, read, capacity);
  if (moves) {
    store_pos(header.read_pos, next_pos);
    if (auto woke = wake_broadcast(ring.space_available); !woke)
      return Err{RingError::cond(woke.error())};
  }
  return held->release();
}

}  // namespace vesk
