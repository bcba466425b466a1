// The object queue's shared state: what a veskline queue keeps beyond the
// ring's own positions, byte by byte, and what a killed process leaves of it.
//
// It lives inside the ring header's reserved bytes (RingHeader::reserved3,
// header offset 416), which the ring's creator zero-fills and the core never
// touches, so a queue is still one name, and a plain ring user on the same
// name and size (veskline_core.VeskQueue) still reads and writes the same
// records. The first queue user initialises it under the ring mutex and sets
// `magic` last.
//
// Every field is read and written with the ring mutex held. Stores go out in
// program order (release stores), so a process killed at any instruction
// leaves a prefix of its stores. Each section that changes more than one
// field raises `dirty` first and clears it last; whoever next takes the mutex
// and finds it raised repairs the state (queue_ops.cc, repair()):
//   - derived fields are recomputed from the ring and the claim slots:
//     `count` by walking the records in [read_pos, write_pos) (always whole:
//     the ring publishes a record only by storing write_pos after the copy),
//     `claim_pos` as the end of the furthest claim, slots that the read
//     position has passed are freed, and read_pos moves over a finished
//     prefix;
//   - counters that cannot be derived (`unfinished`, a task entry's
//     `pending`) are redone from `journal`: before its commit store a section
//     writes the values these counters must have once it commits, and a
//     condition that tells from the ring whether the commit store happened
//     (write_pos reached a value, read_pos reached a value, a slot was marked
//     done with a given ticket, or always). Repair applies the journal when
//     the condition holds and drops it otherwise, so the counters match the
//     ring whichever instruction the kill hit.
// Records added by plain ring producers move write_pos without touching this
// state: `count_write` then lags write_pos, and the records in between are
// walked and counted. A plain ring consumer moves read_pos: `count_read` then
// differs, and the whole state is repaired as after a kill.
//
// Taking a message (claims): records in [read_pos, claim_pos) are each covered
// by exactly one claim slot, in one of three states:
//   Claimed   a consumer is copying them out (the mutex free meanwhile; the
//             bytes stay put because free space is measured from read_pos);
//   Done      delivered, waiting for an earlier claim to finish so read_pos
//             can move over them;
//   Orphaned  their consumer died (or gave them back): the next get takes
//             them before anything at claim_pos.
// A claim names its owner by pid and start time; a waiter that finds claims
// in the way (a producer without space, a consumer without messages) checks
// their owners and orphans the claims of dead ones.
//
// Reservations (writing a message in place): a producer reserves a record
// whole, prefix and all, and moves write_pos over it at once, so the ring's
// own accounting (and every plain ring producer) treats its bytes as taken;
// a reservation slot marks the record as not yet readable. Records in
// [claim_pos, write_pos) are readable up to the first reservation, which is
// in one of two states:
//   Writing   its producer is filling it (the mutex free meanwhile);
//   Void      abandoned (an exception, or its producer died): the next get
//             consumes it without delivering it.
// Publishing frees the slot: the record, already in place, becomes readable
// with no copy. Readers of earlier records never wait for a writer; records
// after a reservation wait for it, as a FIFO must. Reservations never lie
// below claim_pos (claims only ever cover published records). What a kill
// leaves (see reserve, publish and abandon in queue_ops.cc):
//   - during reserve, before write_pos moved: the slot's end is past
//     write_pos, and repair frees it; after: a Writing slot whose owner is
//     dead, which a waiter turns Void;
//   - during publish: the slot is either Free (published) or Writing (its
//     owner dead: turned Void); a JoinableQueue's count follows the slot
//     through the journal (Commit::Published);
//   - during abandon: Void, or the record taken back off the ring's end
//     (write_pos moved back below the slot's end: repair frees the slot).
// Plain ring consumers know nothing of reservations and read a Writing
// record as it stands: they do not mix with producers that reserve.
#pragma once

#include <cstddef>
#include <cstdint>

#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/wake_word.h"

namespace vesk {

// "VKLQUEUE" in little-endian byte order.
inline constexpr uint64_t kQueueMagic = 0x4555455551'4C4B56ULL;
inline constexpr uint32_t kQueueVersion = 1;
inline constexpr uint32_t kClaimSlots = 64;
inline constexpr uint32_t kTaskEntries = 128;
inline constexpr uint32_t kNoEntry = 0xFFFFFFFFu;

enum class SlotState : uint32_t { Free = 0, Claimed = 1, Done = 2, Orphaned = 3 };

// One claimed range of whole records, [begin, end), `records` of them.
struct ClaimSlot {
  uint32_t state;        // 0  SlotState
  uint32_t owner_pid;    // 4  Claimed: the consumer copying; else 0
  uint64_t owner_start;  // 8  its start time (process_identity.h)
  uint64_t ticket;       // 16 unique per claim; kept when the slot is freed
  uint64_t begin;        // 24 running position of the first record's prefix
  uint64_t end;          // 32 position after the last record
  uint64_t records;      // 40
  std::byte reserved[16];
};
static_assert(sizeof(ClaimSlot) == 64);
static_assert(offsetof(ClaimSlot, owner_pid) == 4);
static_assert(offsetof(ClaimSlot, owner_start) == 8);
static_assert(offsetof(ClaimSlot, ticket) == 16);
static_assert(offsetof(ClaimSlot, begin) == 24);
static_assert(offsetof(ClaimSlot, end) == 32);
static_assert(offsetof(ClaimSlot, records) == 40);

// Tasks (JoinableQueue) a process has taken and not yet marked done; a dead
// process's pending tasks are subtracted from `unfinished`, so join() never
// waits on a process that cannot call task_done().
struct TaskEntry {
  uint32_t pid;       // 0  0: entry free
  uint32_t spare;     // 4
  uint64_t start;     // 8
  uint64_t pending;   // 16
  uint64_t reserved;  // 24
};
static_assert(sizeof(TaskEntry) == 32);
static_assert(offsetof(TaskEntry, start) == 8);
static_assert(offsetof(TaskEntry, pending) == 16);

enum class Commit : uint32_t {
  None = 0,
  Always = 1,     // counters only, no ring store
  WritePos = 2,   // committed once write_pos == value
  ReadPos = 3,    // committed once read_pos >= value
  SlotDone = 4,   // committed once slot[value] holds `ticket` and is Done or Free
  Published = 5,  // committed once no reservation slot holding `ticket` is Writing
};

// The counters a section sets once it commits (see the top of this file).
struct Journal {
  uint32_t commit;            // 0  Commit
  uint32_t task_entry;        // 4  entry whose `pending` to set, or kNoEntry
  uint64_t value;             // 8
  uint64_t ticket;            // 16
  uint64_t unfinished_after;  // 24
  uint64_t pending_after;     // 32
};
static_assert(sizeof(Journal) == 40);

enum class Shutdown : uint32_t { Open = 0, Draining = 1, Immediate = 2 };

inline constexpr uint32_t kReserveSlots = 32;

enum class ReserveState : uint32_t { Free = 0, Writing = 1, Void = 2 };

// One record reserved in the ring and not yet published: [begin, end), its
// length prefix already stored at `begin`.
struct ReserveSlot {
  uint32_t state;        // 0  ReserveState
  uint32_t owner_pid;    // 4  Writing: the producer filling it; else 0
  uint64_t owner_start;  // 8  its start time (process_identity.h)
  uint64_t ticket;       // 16 unique per reservation (from next_ticket); kept when freed
  uint64_t begin;        // 24 running position of the record's prefix
  uint64_t end;          // 32 position after its payload
  std::byte reserved[24];
};
static_assert(sizeof(ReserveSlot) == 64);
static_assert(offsetof(ReserveSlot, owner_pid) == 4);
static_assert(offsetof(ReserveSlot, owner_start) == 8);
static_assert(offsetof(ReserveSlot, ticket) == 16);
static_assert(offsetof(ReserveSlot, begin) == 24);
static_assert(offsetof(ReserveSlot, end) == 32);

struct ReserveTable {
  uint32_t active;  // 0  slots not Free (exact except while dirty)
  uint32_t spare;   // 4
  std::byte reserved[56];
  ReserveSlot slots[kReserveSlots];  // 64
};
static_assert(sizeof(ReserveTable) == 2112);
static_assert(offsetof(ReserveTable, slots) == 64);

// The first 32 bytes share the cache line of the ring's positions (header
// offsets 384-447), so the fields every put and get writes cost no line of
// their own moving between processes.
struct QueueState {
  uint32_t dirty;                // 0   1 inside a multi-field section
  uint32_t shutdown;             // 4   Shutdown
  uint64_t count;                // 8   records in [count_read, count_write)
  uint64_t count_read;           // 16  read_pos when `count` was exact
  uint64_t count_write;          // 24  write_pos when `count` was exact
  uint64_t magic;                // 32  kQueueMagic once initialised (stored last)
  uint32_t version;              // 40  kQueueVersion
  uint32_t flags;                // 44  none yet
  uint64_t maxsize;              // 48  items; 0 = bounded by bytes only
  uint64_t claim_pos;            // 56  end of the claimed records; read_pos while no slot is active
  uint64_t next_ticket;          // 64
  uint64_t unfinished;           // 72  tasks put and not yet done
  uint32_t active_slots;         // 80  slots not Free (exact except while dirty)
  uint32_t spare;                // 84
  Journal journal;               // 88
  WakeWord tasks_done;           // 128 bumped when `unfinished` reaches 0, and on shutdown
  std::byte reserved0[80];       // 176
  ClaimSlot slots[kClaimSlots];  // 256
  TaskEntry tasks[kTaskEntries];  // 4352
  std::byte reserved1[5408];      // 8448
  ReserveTable reservations;      // 13856 (all zero on a ring that never saw one)
};
static_assert(offsetof(QueueState, shutdown) == 4);
static_assert(offsetof(QueueState, count) == 8);
static_assert(offsetof(QueueState, count_read) == 16);
static_assert(offsetof(QueueState, count_write) == 24);
static_assert(offsetof(QueueState, magic) == 32);
static_assert(offsetof(QueueState, version) == 40);
static_assert(offsetof(QueueState, maxsize) == 48);
static_assert(offsetof(QueueState, claim_pos) == 56);
static_assert(offsetof(QueueState, next_ticket) == 64);
static_assert(offsetof(QueueState, unfinished) == 72);
static_assert(offsetof(QueueState, active_slots) == 80);
static_assert(offsetof(QueueState, journal) == 88);
static_assert(offsetof(QueueState, tasks_done) == 128);
static_assert(offsetof(QueueState, slots) == 256);
static_assert(offsetof(QueueState, tasks) == 4352);
static_assert(offsetof(QueueState, reserved1) == 8448);
static_assert(offsetof(QueueState, reservations) == 13856);
static_assert(sizeof(QueueState) == sizeof(RingHeader::reserved3));
static_assert(offsetof(RingHeader, reserved3) == 416);

// The state inside a mapped ring's header.
inline QueueState* queue_state_of(RingHeader* header) {
  return reinterpret_cast<QueueState*>(header->reserved3);
}

}  // namespace vesk
