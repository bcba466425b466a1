// The four operations that move messages through a ready ring.
//
// Every operation takes the ring's robust mutex (silently taking it over from
// a dead holder), works, and releases it on every path. put, get and get_view
// block while the ring is full or empty (see wait.h), until `deadline`
// (RingError TimedOut) or until `stop` says so (RingError Stopped); both
// default to never. An operation that ends that way, or with any error, has
// changed nothing: no message added, none consumed. A process killed inside
// an operation leaves either the whole message or nothing: positions are
// stored once, after the copy.
//
// Shared state is not trusted: another process may change the header while
// an operation runs. Each operation reads each shared value once and computes
// offsets only with the data size this process mapped, so damage makes an
// operation fail (BufferTooSmall, or a Mutex error for a mutex that is not a
// robust process-shared one) but never reach outside the mapping.
// Nothing here touches Python; any thread of any process may call these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/wait.h"

namespace vesk {

// A payload copied out of the ring.
struct OwnedBytes {
  std::unique_ptr<std::byte[]> data;  // null when size == 0
  uint64_t size = 0;
};

// The oldest message, in place: [data, data + length) is contiguous inside the
// caller's mapping; next_pos is the read position that consumes it.
struct MessageView {
  const std::byte* data = nullptr;
  uint32_t length = 0;
  uint64_t next_pos = 0;
};

// ring_get_view's failure: `after_locate` is true when only the final unlock
// failed (the caller reports it with a different prefix; no view is made).
struct ViewError {
  bool after_locate = false;
  RingError error;
};

// Fails with BufferTooSmall when 4 + length > capacity or length > 2^32 - 1.
Result<void, RingError> ring_put(const RingHandle& ring, const void* payload, uint64_t length,
                                 Deadline deadline = Deadline::never(),
                                 StopQuery& stop = never_stop());

// get and get_view fail with BufferTooSmall, consuming nothing, when the
// oldest length prefix cannot be a record (longer than the ring, or than the
// bytes queued): only a damaged ring has one, and the other operations still
// work on it.
Result<OwnedBytes, RingError> ring_get(const RingHandle& ring,
                                       Deadline deadline = Deadline::never(),
                                       StopQuery& stop = never_stop());

// ring_get for callers that want to allocate the destination of a large
// message themselves: a message of at most `copy_limit` bytes is copied and
// consumed as by ring_get; a longer one is only located (`located` set,
// nothing consumed) for a later ring_take.
struct GetOrLocate {
  OwnedBytes bytes;
  std::optional<MessageView> located;
};
Result<GetOrLocate, RingError> ring_get_or_locate(const RingHandle& ring, uint64_t copy_limit,
                                                  Deadline deadline = Deadline::never(),
                                                  StopQuery& stop = never_stop());

// Copies a located message into `destination` (message.length bytes) and
// consumes it, if it is still the oldest message; false (nothing done) when
// another reader took it in the meantime. Waits only for the mutex.
Result<bool, RingError> ring_take(const RingHandle& ring, const MessageView& message,
                                  std::byte* destination, Deadline deadline = Deadline::never(),
                                  StopQuery& stop = never_stop());

Result<MessageView, ViewError> ring_get_view(const RingHandle& ring,
                                             Deadline deadline = Deadline::never(),
                                             StopQuery& stop = never_stop());

// Consumes the oldest message when next_pos is exactly its end. A next_pos at
// or behind read_pos (already consumed), beyond write_pos, or inside the queued
// range but not the end of the oldest record leaves read_pos unchanged and
// still succeeds: a late commit of a view whose message another reader took
// is not an error.
Result<void, RingError> ring_commit(const RingHandle& ring, uint64_t next_pos);

}  // namespace vesk
