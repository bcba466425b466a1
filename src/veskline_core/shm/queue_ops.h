// The object queue's operations over a ring and its queue state
// (queue_state.h): counted, bounded, batched, loss-free puts and gets, tasks,
// shutdown.
//
// Records keep the ring's format (a 32-bit little-endian length, then the
// payload), so plain ring users on the same name interoperate. Every
// operation takes the ring's robust mutex and repairs the queue state first
// if a killed process or a plain ring user left it behind. Waits end at
// `deadline` (RingError TimedOut) or when `stop` says so (RingError Stopped),
// in both cases having changed nothing.
//
// A get either copies its records out with the mutex held (small records,
// into a RecordSink) or, for a record over `copy_limit`, only claims them: the
// caller copies from Claim::data with the mutex free, then calls queue_finish
// (or queue_give_back). A claimed record leaves the queue only in
// queue_finish; if its claimer dies first, a waiting process hands it to the
// next get. The same claim serves a reader that wants the records in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/error.h"
#include "veskline_core/shm/queue_state.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/wait.h"

namespace vesk {

class QueueError {
 public:
  enum class Kind {
    Ring,          // ring() says why: TimedOut, Stopped, Mutex, Cond, OutOfMemory, BufferTooSmall
    TooLarge,      // the message or batch can never fit (bytes or maxsize)
    ShutDown,      // the queue was shut down
    Busy,          // try-lock mode: the mutex was taken or a wait was needed
    Incompatible,  // the header holds another version of the queue state
    TooManyTaskDone,
  };
  QueueError() = default;
  QueueError(RingError ring) : kind_(Kind::Ring), ring_(ring) {}  // NOLINT: implicit by design
  static QueueError of(Kind kind) {
    QueueError e;
    e.kind_ = kind;
    return e;
  }
  Kind kind() const { return kind_; }
  const RingError& ring() const { return ring_; }
  bool is(RingError::Kind kind) const { return kind_ == Kind::Ring && ring_.kind() == kind; }
  std::string text() const;

 private:
  Kind kind_ = Kind::Ring;
  RingError ring_;
};

// A ring with its queue state. Owns nothing.
struct QueueRef {
  RingHandle ring;
  QueueState* state = nullptr;
};
QueueRef queue_ref(const RingHandle& ring);

// Initialises the queue state on first use (with `maxsize`, in items) or
// checks its version; returns the maxsize in effect, the first user's.
Result<uint64_t, QueueError> queue_open(const QueueRef& q, uint64_t maxsize);

struct Part {
  const void* data = nullptr;
  uint64_t size = 0;
};

struct Mode {
  bool task = false;      // puts add unfinished tasks; gets take tasks on
  bool try_lock = false;  // trylock; Busy instead of waiting for the mutex or a condition
};

// Puts one record made of `parts` laid end to end.
Result<void, QueueError> queue_put(const QueueRef& q, const Part* parts, size_t count, Mode mode,
                                   Deadline deadline, StopQuery& stop);

// Puts each part as one record, all or none, under one hold of the mutex with
// one wake-up. TooLarge at once when the batch could never fit.
Result<void, QueueError> queue_put_many(const QueueRef& q, const Part* parts, size_t count,
                                        Mode mode, Deadline deadline, StopQuery& stop);

// Receives the records a get copies out with the mutex held.
class RecordSink {
 public:
  // Room for a record of `length` bytes, or nullptr: then nothing is
  // consumed and the get fails with OutOfMemory. Must not block.
  virtual std::byte* reserve(uint32_t length) = 0;
  // Drops every record reserved by this get.
  virtual void discard() = 0;

 protected:
  ~RecordSink() = default;
};

struct GetLimits {
  uint64_t max_records = 1;         // >= 1
  uint64_t max_bytes = UINT64_MAX;  // payload bytes; the first record is taken whatever its size
  uint64_t copy_limit = 32 * 1024;  // a first record longer than this is claimed, not copied
  // A first record whose payload starts with this byte (0-255; -1: none) is
  // claimed alone whatever its length, and a batch stops before one: its
  // payload names storage outside the ring that the claimer reads before it
  // finishes the claim, so a claimer killed meanwhile loses nothing.
  int claim_tag = -1;
};

// Records taken but not yet copied: [data, data + (end - begin)) holds them,
// prefixes included, contiguous in this process's mapping.
struct Claim {
  uint32_t slot = 0;
  uint64_t ticket = 0;
  uint64_t begin = 0;
  uint64_t end = 0;
  uint64_t records = 0;
  const std::byte* data = nullptr;
};

struct GetResult {
  uint64_t copied = 0;  // records given to the sink (and consumed)
  bool claimed = false;
  Claim claim;
};

Result<GetResult, QueueError> queue_get(const QueueRef& q, GetLimits limits, RecordSink& sink,
                                        Mode mode, Deadline deadline, StopQuery& stop);

// Ends a claim: its records leave the queue (true), or the claim was taken
// from this process meanwhile (false: nothing delivered; get again). Waits
// only for the mutex.
Result<bool, QueueError> queue_finish(const QueueRef& q, const Claim& claim, bool task);

// Returns claimed records to the queue, to be taken first by the next get.
Result<void, QueueError> queue_give_back(const QueueRef& q, const Claim& claim);

// --- writing in place (reservations, queue_state.h) ---------------------------

// A record reserved for this process: `size` payload bytes at `data`,
// contiguous in this process's mapping (the mirror), writable until it is
// published or abandoned. Nobody reads it, and nothing overwrites it, before.
struct Reservation {
  uint32_t slot = 0;
  uint64_t ticket = 0;
  uint64_t begin = 0;
  uint64_t end = 0;
  std::byte* data = nullptr;
  uint64_t size = 0;
};

// Reserves a record of `size` payload bytes at the ring's end, waiting for
// room (bytes, maxsize, a free reservation slot) as a put does. TooLarge at
// once when it can never fit; ShutDown once the queue is shut down.
Result<Reservation, QueueError> queue_reserve(const QueueRef& q, uint64_t size, Mode mode,
                                              Deadline deadline, StopQuery& stop);

// Makes the reserved record readable (one more unfinished task when `task`).
// False: the reservation was taken from this process meanwhile (a plain ring
// consumer read past it), nothing published. ShutDown: the queue was shut
// down meanwhile; the record is dropped. Waits only for the mutex.
Result<bool, QueueError> queue_publish(const QueueRef& q, const Reservation& reservation,
                                       bool task);

// Drops the reserved record: taken back off the ring's end when nothing
// follows it, else left for the next get to consume unseen.
Result<void, QueueError> queue_abandon(const QueueRef& q, const Reservation& reservation);

struct QueueStats {
  uint64_t size = 0;  // records queued and not yet delivered
  uint64_t maxsize = 0;
  uint64_t unfinished = 0;
  uint64_t free_bytes = 0;
  Shutdown shutdown = Shutdown::Open;
};
Result<QueueStats, QueueError> queue_stats(const QueueRef& q);

// Sets the limit in items for every user of the queue (0: none). Producers
// waiting for room re-check at once; records already queued stay, as in
// queue.Queue when its maxsize shrinks.
Result<void, QueueError> queue_set_maxsize(const QueueRef& q, uint64_t maxsize);

Result<void, QueueError> queue_task_done(const QueueRef& q);

// Waits until no task is unfinished; a dead process's taken tasks count as
// done.
Result<void, QueueError> queue_join(const QueueRef& q, Deadline deadline, StopQuery& stop);

// Hands on what dead processes left: records they claimed go to the next
// get, their reservations are skipped, the tasks they took count as done;
// the waiters concerned are woken. True if anything changed. For processes
// that wait without calling a get, a put or a join (awaitable calls).
Result<bool, QueueError> queue_reap(const QueueRef& q, StopQuery& stop);

// Shuts the queue down; `immediate` also takes every queued record out (into
// `drained`, which may be null) and counts each as a finished task.
Result<uint64_t, QueueError> queue_shutdown(const QueueRef& q, bool immediate, RecordSink* drained);

}  // namespace vesk
