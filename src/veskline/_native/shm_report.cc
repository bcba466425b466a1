#include "veskline/_native/shm_report.h"

#include <linux/futex.h>
#include <pthread.h>

#include <algorithm>
#include <cstring>

#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/segment.h"

namespace veskline::native {

namespace {

using vesk::kHeaderRegionSize;
using vesk::kPlainSegmentSize;
using vesk::RingHeader;

// glibc's x86-64 mutex: the futex word first, the kind at 16 (robust_mutex.cc
// pins the same offsets). The kind bits for robust and process-shared are
// glibc's PTHREAD_MUTEX_ROBUST_NORMAL_NP and PTHREAD_MUTEX_PSHARED_BIT.
static_assert(offsetof(__pthread_mutex_s, __lock) == 0);
static_assert(offsetof(__pthread_mutex_s, __kind) == 16);
constexpr int32_t kKindRobust = 16;
constexpr int32_t kKindProcessShared = 128;
constexpr uint64_t kPrefixSize = sizeof(uint32_t);
// The bytes of RingHeader up to its last reserved block: an all-zero run of
// them is a header nobody has initialised yet.
constexpr size_t kHeaderFieldsSize = offsetof(RingHeader, reserved3);

MutexReport read_mutex(const pthread_mutex_t* mutex) {
  MutexReport out;
  out.word = static_cast<uint32_t>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE));
  out.kind = __atomic_load_n(&mutex->__data.__kind, __ATOMIC_ACQUIRE);
  out.holder_tid = out.word & FUTEX_TID_MASK;
  out.owner_died = (out.word & FUTEX_OWNER_DIED) != 0;
  out.waiters = (out.word & FUTEX_WAITERS) != 0;
  const int32_t wanted = kKindRobust | kKindProcessShared;
  out.robust_shared = (out.kind & wanted) == wanted;
  return out;
}

bool all_zero(const std::byte* begin, size_t length) {
  return std::all_of(begin, begin + length, [](std::byte b) { return b == std::byte{0}; });
}

std::string num(uint64_t value) {
  return std::to_string(value);
}

void examine_lock(const std::byte* base, ObjectReport& out) {
  const auto* mutex = reinterpret_cast<const pthread_mutex_t*>(base);
  out.mutex = read_mutex(mutex);
  const bool rest_zero =
      all_zero(base + sizeof(pthread_mutex_t), kPlainSegmentSize - sizeof(pthread_mutex_t));
  if (!rest_zero) return;  // a lock record stores nothing after its mutex
  out.format = ObjectFormat::Lock;
  if (out.mutex.robust_shared) {
    out.state = ObjectState::Ready;
  } else if (all_zero(base, sizeof(pthread_mutex_t))) {
    out.state = ObjectState::HalfMade;
    out.problem = "the mutex was never initialised";
  } else {
    out.state = ObjectState::Damaged;
    out.problem =
        "mutex kind " + std::to_string(out.mutex.kind) + " is not robust and process-shared";
  }
}

// Walks the records from read_pos to write_pos; false (with the problem set)
// at a length prefix that does not fit.
bool walk_records(const std::byte* data, RingReport& ring, size_t max_sizes, std::string& problem) {
  const uint64_t capacity = ring.capacity;
  uint64_t pos = ring.read_pos;
  while (pos != ring.write_pos) {
    if (ring.messages == kMaxRecordsWalked) return true;  // counted in part
    const uint64_t left = ring.write_pos - pos;
    if (left < kPrefixSize) {
      problem = "a partial length prefix at position " + num(pos) + " (" + num(left) +
                " bytes before the write position)";
      return false;
    }
    // The prefix may wrap around the end of the data region.
    unsigned char prefix[kPrefixSize];
    for (uint64_t i = 0; i < kPrefixSize; ++i)
      prefix[i] = static_cast<unsigned char>(data[(pos + i) % capacity]);
    const uint32_t length =
        static_cast<uint32_t>(prefix[0]) | static_cast<uint32_t>(prefix[1]) << 8 |
        static_cast<uint32_t>(prefix[2]) << 16 | static_cast<uint32_t>(prefix[3]) << 24;
    if (length > left - kPrefixSize) {
      problem = "length prefix " + num(length) + " at position " + num(pos) +
                " runs past the write position " + num(ring.write_pos);
      return false;
    }
    if (ring.first_sizes.size() < max_sizes) ring.first_sizes.push_back(length);
    ++ring.messages;
    pos += kPrefixSize + length;
  }
  ring.messages_counted = true;
  return true;
}

void examine_ring(const std::byte* base, uint64_t length, size_t max_sizes, ObjectReport& out) {
  const auto* header = reinterpret_cast<const RingHeader*>(base);
  RingReport& ring = out.ring;
  out.mutex = read_mutex(&header->mutex);
  ring.data_size = length - kHeaderRegionSize;
  ring.capacity = __atomic_load_n(&header->capacity, __ATOMIC_RELAXED);
  ring.initialized = header->initialized.load(std::memory_order_acquire);
  ring.read_pos = header->read_pos.load(std::memory_order_acquire);
  ring.write_pos = header->write_pos.load(std::memory_order_acquire);
  ring.data_sequence = header->data_available.sequence.load(std::memory_order_relaxed);
  ring.data_waiting = header->data_available.waiting.load(std::memory_order_relaxed) != 0;
  ring.space_sequence = header->space_available.sequence.load(std::memory_order_relaxed);
  ring.space_waiting = header->space_available.waiting.load(std::memory_order_relaxed) != 0;

  const bool blank = all_zero(base, kHeaderFieldsSize);
  const bool right_capacity = ring.capacity == ring.data_size;
  if (!blank && !out.mutex.robust_shared && ring.initialized != 1 && !right_capacity)
    return;  // nothing of ours in it
  out.format = ObjectFormat::Ring;

  if (ring.initialized == 0) {
    out.state = ObjectState::HalfMade;
    out.problem = "its creator never finished initialising it";
    return;
  }
  out.state = ObjectState::Damaged;
  if (ring.initialized != 1) {
    out.problem = "initialized flag is " + num(ring.initialized);
  } else if (!out.mutex.robust_shared) {
    out.problem =
        "mutex kind " + std::to_string(out.mutex.kind) + " is not robust and process-shared";
  } else if (!right_capacity) {
    out.problem = "capacity " + num(ring.capacity) + " is not the data size " + num(ring.data_size);
  } else if (ring.read_pos > ring.write_pos) {
    out.problem = "read position " + num(ring.read_pos) + " is past the write position " +
                  num(ring.write_pos);
  } else if (ring.write_pos - ring.read_pos > ring.capacity) {
    out.problem = num(ring.write_pos - ring.read_pos) + " bytes queued exceed the capacity " +
                  num(ring.capacity);
  } else {
    ring.queued_bytes = ring.write_pos - ring.read_pos;
    if (walk_records(base + kHeaderRegionSize, ring, max_sizes, out.problem))
      out.state = ObjectState::Ready;
  }
}

}  // namespace

ObjectReport examine_object(const std::byte* base, uint64_t length, uint64_t page_size,
                            size_t max_sizes) {
  ObjectReport out;
  if (length == 0) {
    out.format = ObjectFormat::Empty;
    out.state = ObjectState::HalfMade;
    out.problem = "its creator never set its size";
  } else if (length == kPlainSegmentSize) {
    examine_lock(base, out);
  } else if (length >= kHeaderRegionSize && (length - kHeaderRegionSize) % page_size == 0) {
    examine_ring(base, length, max_sizes, out);
  }
  return out;
}

const char* format_name(ObjectFormat format) {
  switch (format) {
    case ObjectFormat::Empty:
      return "empty";
    case ObjectFormat::Lock:
      return "lock";
    case ObjectFormat::Ring:
      return "ring";
    case ObjectFormat::Foreign:
      break;
  }
  return "foreign";
}

const char* state_name(ObjectState state) {
  switch (state) {
    case ObjectState::Ready:
      return "ready";
    case ObjectState::HalfMade:
      return "half-made";
    case ObjectState::Damaged:
      break;
  }
  return "damaged";
}

}  // namespace veskline::native
