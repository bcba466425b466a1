// The ring's shared header, its byte-exact format, and create-or-attach.
//
// A ring lives in a MirroredSegment: the 16384-byte header region starts with
// RingHeader, the data region of `capacity` bytes follows, mirrored. Records
// are a 32-bit little-endian length followed by the payload, packed, starting
// at running positions (read_pos/write_pos only grow; offset = pos % capacity).
//
// Wake-ups do not use pthread condition variables: those hang for every
// process once a waiter is killed inside a wait. Each 48-byte condition slot
// holds a WakeWord instead (see wake_word.h), which survives killed waiters.
//
// The format is native to x86-64 Linux with glibc; every process attached to a
// ring must share that ABI.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/segment.h"
#include "veskline_core/shm/wake_word.h"

namespace vesk {

struct RingHeader {
  pthread_mutex_t mutex;  // robust, process-shared; guards positions and data
  std::byte reserved0[88];
  WakeWord data_available;  // bumped after a message was added
  std::byte reserved1[80];
  WakeWord space_available;  // bumped after space was freed
  std::byte reserved2[80];
  std::atomic<uint64_t> read_pos;     // bytes consumed since creation
  std::atomic<uint64_t> write_pos;    // bytes produced since creation
  uint64_t capacity;                  // data size S, written once before `initialized`
  std::atomic<uint64_t> initialized;  // 0 until the creator finished, then 1
  std::byte reserved3[15968];
};

static_assert(sizeof(pthread_mutex_t) == 40);
static_assert(sizeof(WakeWord) == 48);
static_assert(offsetof(RingHeader, mutex) == 0);
static_assert(offsetof(RingHeader, data_available) == 128);
static_assert(offsetof(RingHeader, space_available) == 256);
static_assert(offsetof(RingHeader, read_pos) == 384);
static_assert(offsetof(RingHeader, write_pos) == 392);
static_assert(offsetof(RingHeader, capacity) == 400);
static_assert(offsetof(RingHeader, initialized) == 408);
static_assert(offsetof(RingHeader, reserved3) == 416);
static_assert(sizeof(RingHeader) == kHeaderRegionSize);
static_assert(std::atomic<uint64_t>::is_always_lock_free);

inline constexpr int64_t kAttachTimeoutNs = 10'000'000'000;
inline constexpr int64_t kAttachPollIntervalNs = 10'000'000;

// One process's pointers into a mapped ring, and the size of the data region
// it mapped. Owns nothing: the MirroredSegment holding the mapping must
// outlive it. The operations trust the header's capacity only when it equals
// data_size, so a damaged header can never send a copy past the mapping.
struct RingHandle {
  pthread_mutex_t* mutex = nullptr;
  WakeWord* data_available = nullptr;
  WakeWord* space_available = nullptr;
  RingHeader* header = nullptr;
  std::byte* data = nullptr;
  uint64_t data_size = 0;
};

// Initialises the header of a freshly created (all-zero) mirrored segment.
// Fails with BufferTooSmall when mapping_length <= 16384, or Mutex on a
// pthread failure; on failure `initialized` stays 0.
Result<RingHandle, RingError> init_ring_header(std::byte* base, uint64_t mapping_length);

// The handle of a ring mapped at `base` with `mapping_length` bytes
// (16384 + 2 * data size); cannot fail.
RingHandle ring_handle(std::byte* base, uint64_t mapping_length);

struct AttachedRing {
  MirroredSegment segment;
  RingHandle ring;
};

// Where opening or creating a ring failed, so the caller can choose its
// message prefix: Creation for the object (its name, open, create, reserve or
// mapping: a SegmentError), Initialisation for a new header, Opening for an
// existing ring that is not usable (a RingError).
enum class AttachStage { Creation, Initialisation, Opening };

struct AttachError {
  AttachStage stage = AttachStage::Creation;
  SegmentError segment;  // meaningful for Creation
  RingError ring;        // meaningful for Initialisation and Opening
  std::string text() const { return stage == AttachStage::Creation ? segment.text() : ring.text(); }
};

// Attaches to the existing ring `name`; never creates. The data size is the
// one the ready header gives. Errors at Creation: the name (NulInName, or
// shm_open's errno: ENOENT when missing), EACCES when another user owns the
// object (it is never mapped), ENOENT as well when the name is removed while
// waiting for its creator, and the mapping's errno (ENOMEM when this process
// has no address space for it, reported at once). At Opening: InitTimeout
// when the header is not ready within 10 s (polled every 10 ms), and
// HeaderMismatch(capacity, data bytes of the object) when the header's
// capacity is not a page multiple or the object is shorter than it says.
// Only the header region is mapped while waiting, and only once the object
// is that long. Nothing is left mapped on failure.
Result<AttachedRing, AttachError> open_ring(std::string_view name);

// Creates the ring `name` exclusively, for `data_size` bytes of data, with
// all of its memory reserved, and initialises its header. Errors at Creation:
// Unaligned when data_size is not a page multiple (checked before the name),
// the name (NulInName, EINVAL, ENAMETOOLONG), EEXIST when the name exists,
// ENOSPC (or the reservation's errno) when /dev/shm cannot back it, EINVAL
// for a data size of 0 or beyond off_t, ENOMEM when it cannot be mapped; at
// Initialisation: the mutex's error. Any failure after the exclusive create
// removes the name again (only if it still names the object this call made).
Result<AttachedRing, AttachError> create_ring(std::string_view name, uint64_t data_size);

// Create-or-attach: open_ring with an expected size, else create_ring. Opening
// a name that does not exist (or is removed while its creator's header is
// waited for) goes on to create it; an EEXIST from a concurrent creator goes
// back to opening, a bounded number of times. Errors are open_ring's and
// create_ring's, with these differences: a ready header that disagrees on the
// size fails at once with HeaderMismatch(data_size, capacity); a data size of
// 0 or of partial pages is never opened, so the create reports it (or EEXIST
// for a name that exists); and an open that fails for another reason than
// EACCES goes on to the create, whose error is reported.
Result<AttachedRing, AttachError> attach_ring(std::string_view name, uint64_t data_size);

}  // namespace vesk
