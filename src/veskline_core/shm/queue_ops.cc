#include "veskline_core/shm/queue_ops.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "veskline_core/shm/process_identity.h"
#include "veskline_core/shm/ring_copy.h"
#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/wake_word.h"

namespace vesk {

static_assert(std::endian::native == std::endian::little);

std::string QueueError::text() const {
  switch (kind_) {
    case Kind::Ring:
      return ring_.text();
    case Kind::TooLarge:
      return "the message can never fit in the queue";
    case Kind::ShutDown:
      return "the queue was shut down";
    case Kind::Busy:
      return "the queue is busy";
    case Kind::Incompatible:
      return "the ring holds queue state of another version";
    case Kind::TooManyTaskDone:
      return "task_done() called too many times";
  }
  return "unknown queue error";
}

namespace {

constexpr uint64_t kPrefix = sizeof(uint32_t);
// Records copied with the mutex held in one get, at most (a first record is
// always taken); past it the mutex would be held long enough to matter.
constexpr uint64_t kBatchCopyLimit = 256 * 1024;
// How often a waiter looks for dead claimers or task holders: reading
// /proc costs microseconds, and a dead process's leftovers can wait this long.
constexpr int64_t kReapIntervalNs = 20'000'000;

// Every shared field is written with a release store, so the stores of a
// section become visible in program order and a killed process leaves a
// prefix of them; loads are made with the mutex held.
template <class T>
T ld(const T& field) {
  return __atomic_load_n(&field, __ATOMIC_ACQUIRE);
}
template <class T, class V>
void st(T& field, V value) {
  __atomic_store_n(&field, static_cast<T>(value), __ATOMIC_RELEASE);
}

// The ring's commit points, stored as the ring's own operations store them.
uint64_t load_pos(const std::atomic<uint64_t>& pos) {
  return pos.load(std::memory_order_acquire);
}
void store_pos(std::atomic<uint64_t>& pos, uint64_t value) {
  pos.store(value, std::memory_order_seq_cst);
}

QueueError ring_error(RingError e) {
  return QueueError(e);
}
QueueError of(QueueError::Kind kind) {
  return QueueError::of(kind);
}

QueueError from_lock_error(LockError error) {
  if (error.code() == kLockTimedOut) return ring_error(RingError::timed_out());
  if (error.code() == kLockStopped) return ring_error(RingError::stopped());
  return ring_error(RingError::mutex(error));
}

// The ring mutex, held until release() or destruction.
class Held {
 public:
  static Result<Held, QueueError> take(pthread_mutex_t* mutex, bool try_lock, Deadline deadline,
                                       StopQuery& stop) {
    if (!robust_mutex_initialised(mutex))
      return Err{ring_error(RingError::mutex(LockError::pthread(EINVAL)))};
    if (try_lock) {
      auto locked = trylock_robust(mutex);
      if (!locked) {
        if (locked.error().code() == EBUSY) return Err{of(QueueError::Kind::Busy)};
        return Err{ring_error(RingError::mutex(locked.error()))};
      }
      return Held(mutex);
    }
    if (auto locked = lock_robust_until(mutex, deadline, stop); !locked)
      return Err{from_lock_error(locked.error())};
    return Held(mutex);
  }
  Held(Held&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  Held& operator=(Held&&) = delete;
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;
  ~Held() {
    if (mutex_ != nullptr) (void)unlock_robust(mutex_);
  }

  // One wait on `word`; on failure the mutex is no longer held.
  Result<void, QueueError> wait(WakeWord* word, Deadline deadline, StopQuery& stop) {
    auto waited = wake_wait(word, mutex_, deadline, stop);
    if (waited && waited.value() == WaitEnd::Again) return {};
    mutex_ = nullptr;
    if (!waited) return Err{ring_error(RingError::mutex(waited.error()))};
    return Err{ring_error(waited.value() == WaitEnd::TimedOut ? RingError::timed_out()
                                                              : RingError::stopped())};
  }

  Result<void, QueueError> release() {
    if (auto unlocked = unlock_robust(std::exchange(mutex_, nullptr)); !unlocked)
      return Err{ring_error(RingError::mutex(unlocked.error()))};
    return {};
  }

 private:
  explicit Held(pthread_mutex_t* mutex) : mutex_(mutex) {}
  pthread_mutex_t* mutex_;
};

Result<void, QueueError> broadcast(WakeWord* word) {
  if (auto woke = wake_broadcast(word); !woke)
    return Err{ring_error(RingError::cond(woke.error()))};
  return {};
}

// All work done with the mutex held: one instance per operation.
// Moves every slot in state `held` whose owner is dead (neither this
// process nor alive) to state `released`; true if any.
template <class Slots, class State>
bool release_dead_owners(Slots& slots, State held, State released) {
  const ProcessIdentity me = current_process();
  bool any = false;
  for (auto& slot : slots) {
    if (ld(slot.state) != static_cast<uint32_t>(held)) continue;
    const ProcessIdentity owner{ld(slot.owner_pid), ld(slot.owner_start)};
    if (owner.pid == me.pid && owner.start == me.start) continue;
    if (process_alive(owner)) continue;
    st(slot.state, static_cast<uint32_t>(released));
    st(slot.owner_pid, 0u);
    any = true;
  }
  return any;
}

class Section {
 public:
  Section(const QueueRef& q)  // NOLINT
      : q_(q), s_(*q.state), h_(*q.ring.header), cap_(checked_capacity(q.ring)) {}

  uint64_t cap() const { return cap_; }
  QueueState& s() { return s_; }
  uint64_t rp() const { return load_pos(h_.read_pos); }
  uint64_t wp() const { return load_pos(h_.write_pos); }

  uint32_t prefix(uint64_t pos) const {
    uint32_t length = 0;
    std::memcpy(&length, q_.ring.data + pos % cap_, kPrefix);
    return length;
  }
  // The end of the record at `pos` if it is whole within [pos, limit), else 0.
  uint64_t record_end(uint64_t pos, uint64_t limit) const {
    if (limit <= pos || limit - pos < kPrefix) return 0;
    const uint64_t length = prefix(pos);
    if (length > cap_ || kPrefix + length > limit - pos) return 0;
    return pos + kPrefix + length;
  }
  // Whole records in [from, to); `*reached` is where the walk stopped (short
  // of `to` only on a damaged ring).
  uint64_t walk(uint64_t from, uint64_t to, uint64_t* reached) const {
    uint64_t n = 0;
    while (from < to) {
      const uint64_t next = record_end(from, to);
      if (next == 0) break;
      from = next;
      ++n;
    }
    *reached = from;
    return n;
  }

  // While no slot is active every record from read_pos on is unclaimed, and
  // the stored claim_pos is not kept up to date (one store less per get).
  uint64_t claim_pos() const { return ld(s_.active_slots) == 0 ? rp() : ld(s_.claim_pos); }

  void begin_section() { st(s_.dirty, 1u); }
  void end_section() { st(s_.dirty, 0u); }

  // Initialises the queue state of a ring that has none.
  void init(uint64_t maxsize) {
    begin_section();
    st(s_.version, kQueueVersion);
    st(s_.flags, 0u);
    st(s_.maxsize, maxsize);
    st(s_.shutdown, static_cast<uint32_t>(Shutdown::Open));
    st(s_.next_ticket, 1u);
    st(s_.unfinished, 0u);
    st(s_.journal.commit, static_cast<uint32_t>(Commit::None));
    for (ClaimSlot& slot : s_.slots) {
      st(slot.state, static_cast<uint32_t>(SlotState::Free));
      st(slot.ticket, 0u);
    }
    for (TaskEntry& entry : s_.tasks) {
      st(entry.pid, 0u);
      st(entry.pending, 0u);
    }
    // `dirty` stays raised: the sync below computes count and claim_pos.
    st(s_.magic, kQueueMagic);
  }

  Result<void, QueueError> sync() {
    if (cap_ < kPrefix) return Err{ring_error(RingError::buffer_too_small())};
    const uint64_t magic = ld(s_.magic);
    if (magic == 0) {
      init(0);
    } else if (magic != kQueueMagic || ld(s_.version) != kQueueVersion) {
      return Err{of(QueueError::Kind::Incompatible)};
    }
    const uint64_t r = rp(), w = wp();
    if (w < r || w - r > cap_) return Err{ring_error(RingError::buffer_too_small())};
    const uint64_t claim = claim_pos();
    if (ld(s_.dirty) != 0 || ld(s_.count_read) != r || ld(s_.count_write) > w || claim < r ||
        claim > w) {
      repair(r, w);
    } else if (const uint64_t counted = ld(s_.count_write); counted != w) {
      // Records from plain ring producers.
      uint64_t reached = 0;
      const uint64_t added = walk(counted, w, &reached);
      begin_section();
      st(s_.count, ld(s_.count) + added);
      st(s_.count_write, reached);
      end_section();
    }
    return {};
  }

  // Rebuilds every derived field and redoes or drops the journal; see
  // queue_state.h.
  void repair(uint64_t r, uint64_t w) {
    begin_section();
    apply_journal(r, w);

    // Claim slots: keep those that tile [r, claim_pos) without gaps or
    // overlaps. Slots the read position passed are gone; a slot it entered
    // (a plain ring consumer took part of it) keeps the rest under a new
    // ticket, so its claimer's finish fails and nobody receives a record
    // twice from it.
    uint32_t order[kClaimSlots];
    uint32_t kept = 0;
    for (uint32_t i = 0; i < kClaimSlots; ++i) {
      ClaimSlot& slot = s_.slots[i];
      const uint32_t state = ld(slot.state);
      if (state == static_cast<uint32_t>(SlotState::Free)) continue;
      const uint64_t begin = ld(slot.begin), end = ld(slot.end);
      if (state > static_cast<uint32_t>(SlotState::Orphaned) || end <= r || begin >= end ||
          end > w) {
        free_slot(slot);
        continue;
      }
      if (begin < r) {
        uint64_t reached = 0;
        const uint64_t records = walk(r, end, &reached);
        if (reached != end || records == 0) {
          free_slot(slot);
          continue;
        }
        st(slot.begin, r);
        st(slot.records, records);
        if (state == static_cast<uint32_t>(SlotState::Claimed)) {
          st(slot.ticket, new_ticket());
          st(slot.owner_pid, 0u);
          st(slot.state, static_cast<uint32_t>(SlotState::Orphaned));
        }
      }
      order[kept++] = i;
    }
    std::sort(order, order + kept, [&](uint32_t a, uint32_t b) {
      const uint64_t ba = ld(s_.slots[a].begin), bb = ld(s_.slots[b].begin);
      if (ba != bb) return ba < bb;
      return ld(s_.slots[a].end) > ld(s_.slots[b].end);  // the longest first
    });
    uint64_t cursor = r;
    uint32_t active = 0;
    for (uint32_t k = 0; k < kept; ++k) {
      ClaimSlot& slot = s_.slots[order[k]];
      if (ld(slot.begin) == cursor) {
        cursor = ld(slot.end);
        ++active;
      } else {
        free_slot(slot);  // an overlap, or beyond a gap
      }
    }
    st(s_.active_slots, active);
    st(s_.claim_pos, cursor);
    repair_reservations(cursor, w);

    uint64_t reached = 0;
    st(s_.count, walk(r, w, &reached));
    st(s_.count_read, r);
    st(s_.count_write, reached);
    for (TaskEntry& entry : s_.tasks) {
      if (ld(entry.pid) == 0 && ld(entry.pending) != 0) st(entry.pending, 0u);
    }
    advance_done();
    end_section();
  }

  void apply_journal(uint64_t r, uint64_t w) {
    Journal& j = s_.journal;
    bool committed = false;
    switch (static_cast<Commit>(ld(j.commit))) {
      case Commit::None:
        return;
      case Commit::Always:
        committed = true;
        break;
      case Commit::WritePos:
        committed = w == ld(j.value);
        break;
      case Commit::ReadPos:
        committed = r >= ld(j.value);
        break;
      case Commit::Published: {
        committed = true;
        const uint64_t ticket = ld(j.ticket);
        for (const ReserveSlot& slot : s_.reservations.slots) {
          if (ld(slot.ticket) == ticket &&
              ld(slot.state) == static_cast<uint32_t>(ReserveState::Writing))
            committed = false;
        }
        break;
      }
      case Commit::SlotDone: {
        committed = r >= ld(j.value);
        const uint64_t ticket = ld(j.ticket);
        for (const ClaimSlot& slot : s_.slots) {
          if (ld(slot.ticket) == ticket && ld(slot.state) == static_cast<uint32_t>(SlotState::Done))
            committed = true;
        }
        break;
      }
    }
    if (committed) apply_counters();
    st(j.commit, static_cast<uint32_t>(Commit::None));
  }

  void apply_counters() {
    Journal& j = s_.journal;
    st(s_.unfinished, ld(j.unfinished_after));
    const uint32_t entry = ld(j.task_entry);
    if (entry < kTaskEntries) st(s_.tasks[entry].pending, ld(j.pending_after));
  }

  // Writes the journal of a section about to commit.
  void journal(Commit commit, uint64_t value, uint64_t ticket, uint64_t unfinished_after,
               uint32_t entry, uint64_t pending_after) {
    Journal& j = s_.journal;
    st(j.value, value);
    st(j.ticket, ticket);
    st(j.unfinished_after, unfinished_after);
    st(j.task_entry, entry);
    st(j.pending_after, pending_after);
    st(j.commit, static_cast<uint32_t>(commit));
  }
  void settle_journal() {
    if (ld(s_.journal.commit) == static_cast<uint32_t>(Commit::None)) return;
    apply_counters();
    st(s_.journal.commit, static_cast<uint32_t>(Commit::None));
  }

  uint64_t new_ticket() {
    const uint64_t ticket = ld(s_.next_ticket);
    st(s_.next_ticket, ticket + 1);
    return ticket;
  }

  void free_slot(ClaimSlot& slot) {
    st(slot.state, static_cast<uint32_t>(SlotState::Free));
    st(slot.ticket, 0u);
    st(slot.owner_pid, 0u);
  }

  int free_slot_index() const {
    for (uint32_t i = 0; i < kClaimSlots; ++i) {
      if (ld(s_.slots[i].state) == static_cast<uint32_t>(SlotState::Free))
        return static_cast<int>(i);
    }
    return -1;
  }

  // Moves read_pos over finished claims at its front; true if it moved.
  bool advance_done() {
    if (ld(s_.active_slots) == 0) return false;
    bool moved = false;
    for (;;) {
      const uint64_t r = rp();
      ClaimSlot* next = nullptr;
      for (ClaimSlot& slot : s_.slots) {
        if (ld(slot.state) == static_cast<uint32_t>(SlotState::Done) && ld(slot.begin) == r) {
          next = &slot;
          break;
        }
      }
      if (next == nullptr) break;
      const uint64_t end = ld(next->end);
      store_pos(h_.read_pos, end);
      st(s_.count, ld(s_.count) - std::min(ld(s_.count), ld(next->records)));
      st(s_.count_read, end);
      free_slot(*next);
      st(s_.active_slots, ld(s_.active_slots) - 1);
      moved = true;
    }
    if (ld(s_.active_slots) != 0 && ld(s_.claim_pos) < rp()) st(s_.claim_pos, rp());
    return moved;
  }

  // Records queued and not yet delivered.
  uint64_t size() const {
    uint64_t n = ld(s_.count);
    if (ld(s_.active_slots) == 0) return n;
    for (const ClaimSlot& slot : s_.slots) {
      if (ld(slot.state) == static_cast<uint32_t>(SlotState::Done))
        n -= std::min(n, ld(slot.records));
    }
    return n;
  }

  // --- reservations (queue_state.h) ---

  ReserveTable& res() { return s_.reservations; }
  uint32_t reservations_active() const { return ld(s_.reservations.active); }

  // Keeps the reservations that are whole records in [claim, w); frees the
  // rest (a kill inside reserve or abandon, a plain consumer that read past).
  void repair_reservations(uint64_t claim, uint64_t w) {
    uint32_t active = 0;
    for (ReserveSlot& slot : s_.reservations.slots) {
      const uint32_t state = ld(slot.state);
      if (state == static_cast<uint32_t>(ReserveState::Free)) continue;
      const uint64_t begin = ld(slot.begin), end = ld(slot.end);
      if (state > static_cast<uint32_t>(ReserveState::Void) || begin < claim || end > w ||
          record_end(begin, w) != end) {
        free_reservation(slot);
        continue;
      }
      ++active;
    }
    st(s_.reservations.active, active);
  }

  void free_reservation(ReserveSlot& slot) {
    st(slot.state, static_cast<uint32_t>(ReserveState::Free));
    st(slot.owner_pid, 0u);
  }

  // The first reservation at or after `from`, or nullptr. Reservations below
  // `from` are leftovers of a process killed after consuming a Void record
  // and before freeing its slot: freed here.
  ReserveSlot* first_reservation(uint64_t from) {
    if (ld(s_.reservations.active) == 0) return nullptr;
    ReserveSlot* first = nullptr;
    for (ReserveSlot& slot : s_.reservations.slots) {
      if (ld(slot.state) == static_cast<uint32_t>(ReserveState::Free)) continue;
      if (ld(slot.begin) < from) {
        begin_section();
        free_reservation(slot);
        st(s_.reservations.active, ld(s_.reservations.active) - 1);
        end_section();
        continue;
      }
      if (first == nullptr || ld(slot.begin) < ld(first->begin)) first = &slot;
    }
    return first;
  }

  // Turns the reservations of dead producers Void; true if any.
  bool reap_dead_reservations() {
    if (ld(s_.reservations.active) == 0) return false;
    return release_dead_owners(s_.reservations.slots, ReserveState::Writing, ReserveState::Void);
  }

  // Orphans the claims of dead processes; true if any.
  bool reap_dead_claims() {
    if (ld(s_.active_slots) == 0) return false;
    return release_dead_owners(s_.slots, SlotState::Claimed, SlotState::Orphaned);
  }

  // Counts the tasks of dead processes as done; true if any.
  bool reap_dead_tasks() {
    const ProcessIdentity me = current_process();
    bool any = false;
    for (uint32_t i = 0; i < kTaskEntries; ++i) {
      TaskEntry& entry = s_.tasks[i];
      const uint32_t pid = ld(entry.pid);
      if (pid == 0 || (pid == me.pid && ld(entry.start) == me.start)) continue;
      if (process_alive({pid, ld(entry.start)})) continue;
      const uint64_t unfinished = ld(s_.unfinished);
      const uint64_t pending = ld(entry.pending);
      begin_section();
      journal(Commit::Always, 0, 0, unfinished - std::min(unfinished, pending), i, 0);
      settle_journal();
      st(entry.pid, 0u);
      end_section();
      any = true;
    }
    return any;
  }

  // This process's task entry, created if needed; kNoEntry when the table
  // is full of live processes (its tasks are then not tracked).
  uint32_t own_entry() {
    const ProcessIdentity me = current_process();
    thread_local const QueueState* cached_state = nullptr;
    thread_local uint32_t cached_index = kNoEntry;
    if (cached_state == &s_ && cached_index < kTaskEntries) {
      const TaskEntry& e = s_.tasks[cached_index];
      if (ld(e.pid) == me.pid && ld(e.start) == me.start) return cached_index;
    }
    uint32_t found = kNoEntry;
    for (int round = 0; round < 2 && found == kNoEntry; ++round) {
      for (uint32_t i = 0; i < kTaskEntries; ++i) {
        const TaskEntry& e = s_.tasks[i];
        if (ld(e.pid) == me.pid && ld(e.start) == me.start) {
          found = i;
          break;
        }
      }
      if (found != kNoEntry) break;
      for (uint32_t i = 0; i < kTaskEntries; ++i) {
        TaskEntry& e = s_.tasks[i];
        if (ld(e.pid) == 0) {
          st(e.start, me.start);
          st(e.pending, 0u);
          st(e.pid, me.pid);
          found = i;
          break;
        }
      }
      if (found == kNoEntry && round == 0) (void)reap_dead_tasks();
    }
    cached_state = &s_;
    cached_index = found;
    return found;
  }

 private:
  static uint64_t checked_capacity(const RingHandle& ring) {
    const uint64_t capacity = __atomic_load_n(&ring.header->capacity, __ATOMIC_RELAXED);
    return capacity == ring.data_size ? ring.data_size : 0;
  }

  const QueueRef& q_;
  QueueState& s_;
  RingHeader& h_;
  uint64_t cap_;
};

// Rate limit of the /proc look-ups of one waiting call.
struct ReapClock {
  int64_t next = 0;
  bool due() {
    const int64_t now = monotonic_ns();
    if (now < next) return false;
    next = now + kReapIntervalNs;
    return true;
  }
};

// A call that may not wait (its deadline already passed) still waits for the
// mutex, which is only ever held briefly: "nothing queued" must not be
// answered because another process happened to hold the lock.
Result<Held, QueueError> lock(const QueueRef& q, Mode mode, Deadline deadline, StopQuery& stop) {
  const Deadline until = deadline.passed(monotonic_ns()) ? Deadline::never() : deadline;
  return Held::take(q.ring.mutex, mode.try_lock, until, stop);
}

// Reaps dead claimers and dead reservers; true if either changed anything.
bool reap_dead(Section& l) {
  const bool claims = l.reap_dead_claims();
  const bool reservations = l.reap_dead_reservations();
  return claims || reservations;
}

// Where a get takes its records from: the oldest orphaned claim, else the
// unclaimed records at claim_pos.
struct Source {
  bool found = false;
  int orphan = -1;  // slot index, or -1 for the unclaimed region
  uint64_t begin = 0;
  uint64_t limit = 0;
};

Source find_source(Section& l) {
  QueueState& s = l.s();
  Source src;
  if (ld(s.active_slots) != 0) {
    for (uint32_t i = 0; i < kClaimSlots; ++i) {
      const ClaimSlot& slot = s.slots[i];
      if (ld(slot.state) != static_cast<uint32_t>(SlotState::Orphaned)) continue;
      if (!src.found || ld(slot.begin) < src.begin) {
        src = Source{true, static_cast<int>(i), ld(slot.begin), ld(slot.end)};
      }
    }
    if (src.found) return src;
  }
  const uint64_t claim = l.claim_pos();
  uint64_t w = l.wp();
  // Readable up to the first record still being written.
  if (const ReserveSlot* first = l.first_reservation(claim); first != nullptr)
    w = std::min(w, ld(first->begin));
  if (claim < w) src = Source{true, -1, claim, w};
  return src;
}

Result<void, QueueError> put_records(const QueueRef& q, const Part* parts, size_t count,
                                     bool one_record, Mode mode, Deadline deadline,
                                     StopQuery& stop) {
  const uint64_t cap = q.ring.data_size;
  const uint64_t records = one_record ? 1 : count;
  uint64_t need = 0;
  if (one_record) {
    uint64_t length = 0;
    for (size_t i = 0; i < count; ++i) length += parts[i].size;
    if (length > std::numeric_limits<uint32_t>::max()) return Err{of(QueueError::Kind::TooLarge)};
    need = kPrefix + length;
  } else {
    for (size_t i = 0; i < count; ++i) {
      if (parts[i].size > std::numeric_limits<uint32_t>::max())
        return Err{of(QueueError::Kind::TooLarge)};
      need += kPrefix + parts[i].size;
    }
  }
  if (need > cap) return Err{of(QueueError::Kind::TooLarge)};
  if (records == 0) return {};

  auto held = lock(q, mode, deadline, stop);
  if (!held) return Err{held.error()};
  Section l(q);
  if (l.cap() != cap) return Err{ring_error(RingError::buffer_too_small())};
  ReapClock reap;
  uint64_t w = 0;
  for (;;) {
    if (auto synced = l.sync(); !synced) return synced;
    if (ld(l.s().shutdown) != static_cast<uint32_t>(Shutdown::Open))
      return Err{of(QueueError::Kind::ShutDown)};
    const uint64_t maxsize = ld(l.s().maxsize);
    if (maxsize != 0 && records > maxsize) return Err{of(QueueError::Kind::TooLarge)};
    const uint64_t r = l.rp();
    w = l.wp();
    const bool room = cap - (w - r) >= need && (maxsize == 0 || l.size() + records <= maxsize);
    if (room) break;
    if (deadline.passed(monotonic_ns())) return Err{ring_error(RingError::timed_out())};
    if (mode.try_lock) return Err{of(QueueError::Kind::Busy)};
    // A dead consumer's claim holds read_pos back: hand its records on; a
    // dead producer's reservation holds it back too: turned Void, skipped.
    if (reap.due() && reap_dead(l)) {
      if (auto woke = broadcast(q.ring.data_available); !woke) return woke;
    }
    if (auto waited = held->wait(q.ring.space_available, deadline, stop); !waited) return waited;
  }

  // The copy; nothing is visible until write_pos moves.
  std::byte* data = q.ring.data;
  uint64_t at = w;
  auto put_prefix = [&](uint64_t length) {
    const auto prefix = static_cast<uint32_t>(length);
    std::memcpy(data + at % cap, &prefix, kPrefix);
    at += kPrefix;
  };
  auto put_bytes = [&](const Part& part) {
    copy_to_ring(data + at % cap, static_cast<const std::byte*>(part.data), part.size, cap);
    at += part.size;
  };
  if (one_record) {
    put_prefix(need - kPrefix);
    for (size_t i = 0; i < count; ++i) put_bytes(parts[i]);
  } else {
    for (size_t i = 0; i < count; ++i) {
      put_prefix(parts[i].size);
      put_bytes(parts[i]);
    }
  }

  QueueState& s = l.s();
  l.begin_section();
  if (mode.task) {
    l.journal(Commit::WritePos, at, 0, ld(s.unfinished) + records, kNoEntry, 0);
  }
  store_pos(q.ring.header->write_pos, at);
  st(s.count, ld(s.count) + records);
  st(s.count_write, at);
  l.settle_journal();
  l.end_section();
  if (auto woke = broadcast(q.ring.data_available); !woke) return woke;
  return held->release();
}

struct TakeOptions {
  GetLimits limits;
  bool drain = false;  // immediate shutdown: everything, copied, counted as finished tasks
};

// One take from `src` with the mutex held. Fills `out`; Busy-free.
Result<void, QueueError> take(const QueueRef& q, Section& l, const Source& src,
                              const TakeOptions& options, RecordSink* sink, Mode mode,
                              GetResult* out, bool* need_slot) {
  QueueState& s = l.s();
  const uint64_t r = l.rp();
  const GetLimits& limits = options.limits;
  uint64_t end = l.record_end(src.begin, src.limit);
  if (end == 0) return Err{ring_error(RingError::buffer_too_small())};
  uint64_t bytes = end - src.begin - kPrefix;
  auto tagged = [&](uint64_t pos, uint64_t length) {
    return limits.claim_tag >= 0 && length > 0 &&
           static_cast<int>(q.ring.data[(pos + kPrefix) % l.cap()]) == limits.claim_tag;
  };
  const bool alone = !options.drain && tagged(src.begin, bytes);
  const bool claim_mode = !options.drain && (bytes > limits.copy_limit || alone);
  uint64_t records = 1;
  while (!alone && records < limits.max_records && end < src.limit) {
    const uint64_t next = l.record_end(end, src.limit);
    if (next == 0) break;
    const uint64_t length = next - end - kPrefix;
    if (!options.drain && tagged(end, length)) break;
    if (bytes + length > limits.max_bytes) break;
    if (!claim_mode && !options.drain && bytes + length > kBatchCopyLimit) break;
    if (!claim_mode && !options.drain && length > limits.copy_limit) break;
    bytes += length;
    end = next;
    ++records;
  }

  const bool at_front = !claim_mode && src.begin == r;
  const bool whole_orphan = src.orphan >= 0 && end == src.limit;
  int slot_index = -1;
  if (!at_front && !whole_orphan) {
    slot_index = l.free_slot_index();
    if (slot_index < 0) {
      *need_slot = true;
      return {};
    }
  }

  if (!claim_mode) {
    // Copy out first: an allocation failure leaves everything queued.
    uint64_t pos = src.begin;
    for (uint64_t i = 0; i < records; ++i) {
      const uint32_t length = l.prefix(pos);
      std::byte* into = sink == nullptr ? nullptr : sink->reserve(length);
      if (sink != nullptr && into == nullptr && length > 0) {
        sink->discard();
        return Err{ring_error(RingError::out_of_memory())};
      }
      if (into != nullptr && length > 0)
        std::memcpy(into, q.ring.data + (pos + kPrefix) % l.cap(), length);
      pos += kPrefix + length;
    }
  }

  const uint64_t unfinished = ld(s.unfinished);
  uint32_t entry = kNoEntry;
  uint64_t pending_after = 0;
  if (!claim_mode && mode.task && !options.drain) {
    entry = l.own_entry();
    if (entry != kNoEntry) pending_after = ld(s.tasks[entry].pending) + records;
  }
  const uint64_t unfinished_after =
      options.drain ? unfinished - std::min(unfinished, records) : unfinished;
  const bool counters = options.drain || entry != kNoEntry;

  l.begin_section();
  const ProcessIdentity me = claim_mode ? current_process() : ProcessIdentity{};
  ClaimSlot* orphan = src.orphan >= 0 ? &s.slots[src.orphan] : nullptr;
  if (at_front) {
    if (counters) l.journal(Commit::ReadPos, end, 0, unfinished_after, entry, pending_after);
    store_pos(q.ring.header->read_pos, end);
    st(s.count, ld(s.count) - std::min(ld(s.count), records));
    st(s.count_read, end);
    if (orphan == nullptr) {
      if (ld(s.active_slots) != 0) st(s.claim_pos, end);
    } else if (whole_orphan) {
      l.free_slot(*orphan);
      st(s.active_slots, ld(s.active_slots) - 1);
    } else {
      st(orphan->begin, end);
      st(orphan->records, ld(orphan->records) - records);
    }
    l.settle_journal();
  } else {
    ClaimSlot& slot = whole_orphan ? *orphan : s.slots[slot_index];
    const uint64_t ticket = l.new_ticket();
    const SlotState state = claim_mode ? SlotState::Claimed : SlotState::Done;
    if (counters) l.journal(Commit::SlotDone, end, ticket, unfinished_after, entry, pending_after);
    st(slot.owner_pid, claim_mode ? me.pid : 0u);
    st(slot.owner_start, me.start);
    st(slot.ticket, ticket);
    st(slot.begin, src.begin);
    st(slot.end, end);
    st(slot.records, records);
    st(slot.state, static_cast<uint32_t>(state));
    if (!whole_orphan) {
      // claim_pos first: it becomes meaningful once a slot is active.
      if (orphan == nullptr) st(s.claim_pos, end);
      st(s.active_slots, ld(s.active_slots) + 1);
      if (orphan == nullptr) {
      } else {
        st(orphan->begin, end);
        st(orphan->records, ld(orphan->records) - records);
      }
    }
    l.settle_journal();
    if (claim_mode) {
      out->claimed = true;
      out->claim = Claim{static_cast<uint32_t>(&slot - s.slots), ticket, src.begin, end, records,
                         q.ring.data + src.begin % l.cap()};
    }
  }
  const bool moved = l.advance_done();
  l.end_section();
  if (!claim_mode) out->copied += records;
  if (at_front || moved || !claim_mode) {
    if (auto woke = broadcast(q.ring.space_available); !woke) return woke;
  }
  return {};
}

// Consumes the Void records at the readable front (abandoned reservations),
// delivering nothing; true if any. The record leaves as a delivered one does
// (read_pos, or a Done claim behind unfinished ones), then its slot is freed:
// a kill in between leaves a slot below claim_pos, freed by the next look.
Result<bool, QueueError> skip_void(const QueueRef& q, Section& l) {
  bool any = false;
  while (l.reservations_active() != 0) {
    const uint64_t claim = l.claim_pos();
    ReserveSlot* first = l.first_reservation(claim);
    if (first == nullptr || ld(first->begin) != claim ||
        ld(first->state) != static_cast<uint32_t>(ReserveState::Void))
      break;
    const Source src{true, -1, claim, ld(first->end)};
    GetResult out;
    bool need_slot = false;
    if (auto taken = take(q, l, src, TakeOptions{GetLimits{1, UINT64_MAX, UINT64_MAX}, false},
                          nullptr, Mode{}, &out, &need_slot);
        !taken)
      return Err{taken.error()};
    if (need_slot) break;
    l.begin_section();
    l.free_reservation(*first);
    st(l.res().active, l.reservations_active() - 1);
    l.end_section();
    any = true;
  }
  return any;
}

}  // namespace

QueueRef queue_ref(const RingHandle& ring) {
  return QueueRef{ring, queue_state_of(ring.header)};
}

Result<uint64_t, QueueError> queue_open(const QueueRef& q, uint64_t maxsize) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (ld(q.state->magic) == 0) l.init(maxsize);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  const uint64_t in_effect = ld(q.state->maxsize);
  if (auto released = held->release(); !released) return Err{released.error()};
  return in_effect;
}

Result<void, QueueError> queue_put(const QueueRef& q, const Part* parts, size_t count, Mode mode,
                                   Deadline deadline, StopQuery& stop) {
  return put_records(q, parts, count, true, mode, deadline, stop);
}

Result<void, QueueError> queue_put_many(const QueueRef& q, const Part* parts, size_t count,
                                        Mode mode, Deadline deadline, StopQuery& stop) {
  return put_records(q, parts, count, false, mode, deadline, stop);
}

Result<GetResult, QueueError> queue_get(const QueueRef& q, GetLimits limits, RecordSink& sink,
                                        Mode mode, Deadline deadline, StopQuery& stop) {
  if (limits.max_records == 0) limits.max_records = 1;
  auto held = lock(q, mode, deadline, stop);
  if (!held) return Err{held.error()};
  Section l(q);
  ReapClock reap;
  GetResult out;
  for (;;) {
    if (auto synced = l.sync(); !synced) return Err{synced.error()};
    const auto shutdown = static_cast<Shutdown>(ld(q.state->shutdown));
    if (shutdown == Shutdown::Immediate) return Err{of(QueueError::Kind::ShutDown)};
    if (auto skipped = skip_void(q, l); !skipped) return Err{skipped.error()};
    const Source src = find_source(l);
    WakeWord* wait_on = q.ring.data_available;
    if (src.found) {
      bool need_slot = false;
      if (auto taken = take(q, l, src, TakeOptions{limits, false}, &sink, mode, &out, &need_slot);
          !taken)
        return Err{taken.error()};
      if (!need_slot) break;
      wait_on = q.ring.space_available;  // every claim slot is in use: wait for one
    } else if (shutdown == Shutdown::Draining) {
      return Err{of(QueueError::Kind::ShutDown)};
    }
    if (deadline.passed(monotonic_ns())) return Err{ring_error(RingError::timed_out())};
    if (mode.try_lock) return Err{of(QueueError::Kind::Busy)};
    if (reap.due() && reap_dead(l)) continue;
    if (auto waited = held->wait(wait_on, deadline, stop); !waited) return Err{waited.error()};
  }
  if (auto released = held->release(); !released) return Err{released.error()};
  return out;
}

Result<bool, QueueError> queue_finish(const QueueRef& q, const Claim& claim, bool task) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  QueueState& s = l.s();
  if (claim.slot >= kClaimSlots) return false;
  ClaimSlot& slot = s.slots[claim.slot];
  if (ld(slot.ticket) != claim.ticket ||
      ld(slot.state) != static_cast<uint32_t>(SlotState::Claimed)) {
    if (auto released = held->release(); !released) return Err{released.error()};
    return false;
  }
  const uint32_t entry = task ? l.own_entry() : kNoEntry;
  l.begin_section();
  if (entry != kNoEntry) {
    l.journal(Commit::SlotDone, claim.end, claim.ticket, ld(s.unfinished), entry,
              ld(s.tasks[entry].pending) + claim.records);
  }
  st(slot.state, static_cast<uint32_t>(SlotState::Done));
  st(slot.owner_pid, 0u);
  l.settle_journal();
  (void)l.advance_done();
  l.end_section();
  if (auto woke = broadcast(q.ring.space_available); !woke) return Err{woke.error()};
  if (auto released = held->release(); !released) return Err{released.error()};
  return true;
}

Result<void, QueueError> queue_give_back(const QueueRef& q, const Claim& claim) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return synced;
  if (claim.slot < kClaimSlots) {
    ClaimSlot& slot = l.s().slots[claim.slot];
    if (ld(slot.ticket) == claim.ticket &&
        ld(slot.state) == static_cast<uint32_t>(SlotState::Claimed)) {
      st(slot.state, static_cast<uint32_t>(SlotState::Orphaned));
      st(slot.owner_pid, 0u);
      if (auto woke = broadcast(q.ring.data_available); !woke) return woke;
    }
  }
  return held->release();
}

Result<QueueStats, QueueError> queue_stats(const QueueRef& q) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  QueueStats stats;
  // Reserved records are not messages yet.
  stats.size = l.size() - std::min<uint64_t>(l.size(), l.reservations_active());
  stats.maxsize = ld(q.state->maxsize);
  stats.unfinished = ld(q.state->unfinished);
  stats.free_bytes = l.cap() - (l.wp() - l.rp());
  stats.shutdown = static_cast<Shutdown>(ld(q.state->shutdown));
  if (auto released = held->release(); !released) return Err{released.error()};
  return stats;
}

Result<void, QueueError> queue_set_maxsize(const QueueRef& q, uint64_t maxsize) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return synced;
  // One aligned store: a process killed around it leaves the old or the new
  // limit, both consistent.
  st(l.s().maxsize, maxsize);
  if (auto woke = broadcast(q.ring.space_available); !woke) return woke;
  return held->release();
}

Result<void, QueueError> queue_task_done(const QueueRef& q) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return synced;
  QueueState& s = l.s();
  const uint64_t unfinished = ld(s.unfinished);
  if (unfinished == 0) return Err{of(QueueError::Kind::TooManyTaskDone)};
  // Our own taken task first; a task_done for a task another process took
  // is allowed, as in multiprocessing.
  uint32_t entry = l.own_entry();
  if (entry != kNoEntry && ld(s.tasks[entry].pending) == 0) {
    entry = kNoEntry;
    for (uint32_t i = 0; i < kTaskEntries; ++i) {
      if (ld(s.tasks[i].pid) != 0 && ld(s.tasks[i].pending) != 0) {
        entry = i;
        break;
      }
    }
  }
  const uint64_t pending_after = entry == kNoEntry ? 0 : ld(s.tasks[entry].pending) - 1;
  l.begin_section();
  l.journal(Commit::Always, 0, 0, unfinished - 1, entry, pending_after);
  l.settle_journal();
  l.end_section();
  if (unfinished == 1) {
    if (auto woke = broadcast(&s.tasks_done); !woke) return woke;
  }
  return held->release();
}

Result<void, QueueError> queue_join(const QueueRef& q, Deadline deadline, StopQuery& stop) {
  auto held = lock(q, Mode{}, deadline, stop);
  if (!held) return Err{held.error()};
  Section l(q);
  ReapClock reap;
  for (;;) {
    if (auto synced = l.sync(); !synced) return synced;
    if (ld(q.state->unfinished) == 0) break;
    if (reap.due() && l.reap_dead_tasks()) continue;
    if (auto waited = held->wait(&q.state->tasks_done, deadline, stop); !waited) return waited;
  }
  return held->release();
}

Result<bool, QueueError> queue_reap(const QueueRef& q, StopQuery& stop) {
  auto held = lock(q, Mode{}, Deadline::never(), stop);
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  const bool records = reap_dead(l);
  const bool had_tasks = ld(q.state->unfinished) != 0;
  const bool tasks = l.reap_dead_tasks();
  if (records) {
    for (WakeWord* word : {q.ring.data_available, q.ring.space_available}) {
      if (auto woke = broadcast(word); !woke) return Err{woke.error()};
    }
  }
  if (had_tasks && ld(q.state->unfinished) == 0) {
    if (auto woke = broadcast(&q.state->tasks_done); !woke) return Err{woke.error()};
  }
  if (auto released = held->release(); !released) return Err{released.error()};
  return records || tasks;
}

Result<uint64_t, QueueError> queue_shutdown(const QueueRef& q, bool immediate,
                                            RecordSink* drained) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  QueueState& s = l.s();
  const auto wanted = static_cast<uint32_t>(immediate ? Shutdown::Immediate : Shutdown::Draining);
  if (ld(s.shutdown) < wanted) st(s.shutdown, wanted);
  uint64_t taken = 0;
  if (immediate) {
    TakeOptions options{GetLimits{UINT64_MAX, UINT64_MAX, UINT64_MAX}, true};
    for (;;) {
      const Source src = find_source(l);
      if (!src.found) break;
      GetResult out;
      bool need_slot = false;
      if (auto got = take(q, l, src, options, drained, Mode{}, &out, &need_slot); !got)
        return Err{got.error()};
      if (need_slot) break;
      taken += out.copied;
    }
  }
  for (WakeWord* word : {q.ring.data_available, q.ring.space_available, &s.tasks_done}) {
    if (auto woke = broadcast(word); !woke) return Err{woke.error()};
  }
  if (auto released = held->release(); !released) return Err{released.error()};
  return taken;
}

// --- reservations --------------------------------------------------------------

Result<Reservation, QueueError> queue_reserve(const QueueRef& q, uint64_t size, Mode mode,
                                              Deadline deadline, StopQuery& stop) {
  const uint64_t cap = q.ring.data_size;
  if (size > std::numeric_limits<uint32_t>::max() || kPrefix + size > cap)
    return Err{of(QueueError::Kind::TooLarge)};
  const uint64_t need = kPrefix + size;
  auto held = lock(q, mode, deadline, stop);
  if (!held) return Err{held.error()};
  Section l(q);
  if (l.cap() != cap) return Err{ring_error(RingError::buffer_too_small())};
  ReapClock reap;
  QueueState& s = l.s();
  ReserveSlot* slot = nullptr;
  uint64_t w = 0;
  for (;;) {
    if (auto synced = l.sync(); !synced) return Err{synced.error()};
    if (ld(s.shutdown) != static_cast<uint32_t>(Shutdown::Open))
      return Err{of(QueueError::Kind::ShutDown)};
    const uint64_t maxsize = ld(s.maxsize);
    const uint64_t r = l.rp();
    w = l.wp();
    slot = nullptr;
    for (ReserveSlot& candidate : l.res().slots) {
      if (ld(candidate.state) == static_cast<uint32_t>(ReserveState::Free)) {
        slot = &candidate;
        break;
      }
    }
    const bool room =
        slot != nullptr && cap - (w - r) >= need && (maxsize == 0 || l.size() + 1 <= maxsize);
    if (room) break;
    if (deadline.passed(monotonic_ns())) return Err{ring_error(RingError::timed_out())};
    if (mode.try_lock) return Err{of(QueueError::Kind::Busy)};
    if (reap.due() && reap_dead(l)) {
      if (auto woke = broadcast(q.ring.data_available); !woke) return Err{woke.error()};
    }
    if (auto waited = held->wait(q.ring.space_available, deadline, stop); !waited)
      return Err{waited.error()};
  }

  // The prefix first: nothing reads past write_pos. Then the slot, then
  // write_pos: killed before write_pos moved, the slot ends past it and
  // repair frees it; after, the slot is Writing with a dead owner.
  const auto prefix = static_cast<uint32_t>(size);
  std::memcpy(q.ring.data + w % cap, &prefix, kPrefix);
  const uint64_t end = w + need;
  const ProcessIdentity me = current_process();
  l.begin_section();
  const uint64_t ticket = l.new_ticket();
  st(slot->owner_pid, me.pid);
  st(slot->owner_start, me.start);
  st(slot->ticket, ticket);
  st(slot->begin, w);
  st(slot->end, end);
  st(slot->state, static_cast<uint32_t>(ReserveState::Writing));
  st(l.res().active, l.reservations_active() + 1);
  store_pos(q.ring.header->write_pos, end);
  st(s.count, ld(s.count) + 1);
  st(s.count_write, end);
  l.end_section();
  if (auto released = held->release(); !released) return Err{released.error()};
  return Reservation{static_cast<uint32_t>(slot - l.res().slots), ticket, w, end,
                     q.ring.data + (w + kPrefix) % cap,           size};
}

namespace {

// The slot of a reservation this process still holds, or nullptr.
ReserveSlot* held_reservation(Section& l, const Reservation& reservation) {
  if (reservation.slot >= kReserveSlots) return nullptr;
  ReserveSlot& slot = l.res().slots[reservation.slot];
  if (ld(slot.ticket) != reservation.ticket ||
      ld(slot.state) != static_cast<uint32_t>(ReserveState::Writing))
    return nullptr;
  return &slot;
}

}  // namespace

Result<bool, QueueError> queue_publish(const QueueRef& q, const Reservation& reservation,
                                       bool task) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return Err{synced.error()};
  ReserveSlot* slot = held_reservation(l, reservation);
  if (slot == nullptr) return false;
  QueueState& s = l.s();
  if (ld(s.shutdown) != static_cast<uint32_t>(Shutdown::Open)) {
    st(slot->state, static_cast<uint32_t>(ReserveState::Void));
    st(slot->owner_pid, 0u);
    if (auto woke = broadcast(q.ring.data_available); !woke) return Err{woke.error()};
    return Err{of(QueueError::Kind::ShutDown)};
  }
  const bool table_was_full = l.reservations_active() == kReserveSlots;
  l.begin_section();
  if (task) l.journal(Commit::Published, 0, reservation.ticket, ld(s.unfinished) + 1, kNoEntry, 0);
  l.free_reservation(*slot);
  st(l.res().active, l.reservations_active() - 1);
  l.settle_journal();
  l.end_section();
  if (auto woke = broadcast(q.ring.data_available); !woke) return Err{woke.error()};
  if (table_was_full) {
    if (auto woke = broadcast(q.ring.space_available); !woke) return Err{woke.error()};
  }
  if (auto released = held->release(); !released) return Err{released.error()};
  return true;
}

Result<void, QueueError> queue_abandon(const QueueRef& q, const Reservation& reservation) {
  auto held = lock(q, Mode{}, Deadline::never(), never_stop());
  if (!held) return Err{held.error()};
  Section l(q);
  if (auto synced = l.sync(); !synced) return synced;
  ReserveSlot* slot = held_reservation(l, reservation);
  if (slot == nullptr) return held->release();
  // Void first, in one store: a kill after it leaves a record the next get
  // skips. Then, when nothing follows it and nobody read it, take it back.
  st(slot->state, static_cast<uint32_t>(ReserveState::Void));
  st(slot->owner_pid, 0u);
  QueueState& s = l.s();
  if (l.wp() == reservation.end && l.rp() <= reservation.begin &&
      ld(s.count_write) == reservation.end) {
    l.begin_section();
    store_pos(q.ring.header->write_pos, reservation.begin);
    st(s.count, ld(s.count) - std::min<uint64_t>(ld(s.count), 1));
    st(s.count_write, reservation.begin);
    l.free_reservation(*slot);
    st(l.res().active, l.reservations_active() - 1);
    l.end_section();
  }
  for (WakeWord* word : {q.ring.data_available, q.ring.space_available}) {
    if (auto woke = broadcast(word); !woke) return woke;
  }
  return held->release();
}

}  // namespace vesk
