// What a shared-memory object holds, read from a read-only mapping without
// ever taking its mutex, for the operator's command (python -m veskline ls,
// inspect, clean): a ring whose mutex holder is stopped or dead must never
// make it wait. No Python here.
//
// The object's size tells what it can be: 0 bytes is a name whose creator has
// not set its size yet; 4096 bytes a lock record (a robust process-shared
// mutex, then zeros); 16384 + S bytes, S a multiple of the page size, a ring
// (RingHeader, then S bytes of data). Within that, the content decides: a
// header of ours carries a robust process-shared mutex, or `initialized`, or
// the right capacity; an all-zero one is half-made. Anything else is foreign.
// Everything is a snapshot: other processes may be writing while we read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veskline::native {

enum class ObjectFormat { Foreign, Empty, Lock, Ring };
enum class ObjectState { Ready, HalfMade, Damaged };

// The glibc mutex words as the holder left them.
struct MutexReport {
  uint32_t word = 0;           // the futex word: holder's thread id and flag bits
  int32_t kind = 0;            // glibc's mutex kind; 0 before pthread_mutex_init
  uint32_t holder_tid = 0;     // 0 when free (or its holder died)
  bool owner_died = false;     // the kernel found the holder dead; the next locker recovers it
  bool waiters = false;        // somebody sleeps on the mutex word
  bool robust_shared = false;  // kind says robust and process-shared, as we make them
};

struct RingReport {
  uint64_t data_size = 0;  // from the object's size
  uint64_t capacity = 0;   // from the header
  uint64_t initialized = 0;
  uint64_t read_pos = 0;
  uint64_t write_pos = 0;
  uint32_t data_sequence = 0;
  bool data_waiting = false;  // a consumer sleeps until a message arrives
  uint32_t space_sequence = 0;
  bool space_waiting = false;         // a producer sleeps until room is freed
  uint64_t queued_bytes = 0;          // write_pos - read_pos, when that is sane
  uint64_t messages = 0;              // records walked from read_pos
  bool messages_counted = false;      // the walk reached write_pos (no damage, not cut short)
  std::vector<uint32_t> first_sizes;  // payload sizes of the oldest messages
};

struct ObjectReport {
  ObjectFormat format = ObjectFormat::Foreign;
  ObjectState state = ObjectState::Damaged;
  std::string problem;  // why it is damaged or half-made, for a person
  MutexReport mutex;
  RingReport ring;
};

// Records walked at most, so that listing a big ring of tiny messages stays quick.
inline constexpr uint64_t kMaxRecordsWalked = uint64_t{1} << 20;

// Examines the `length` bytes of one whole object mapped at `base`, listing
// the payload sizes of up to `max_sizes` of the oldest messages.
ObjectReport examine_object(const std::byte* base, uint64_t length, uint64_t page_size,
                            size_t max_sizes);

const char* format_name(ObjectFormat format);
const char* state_name(ObjectState state);

}  // namespace veskline::native
