// The one blocking wait: sleep on a shared futex word, in slices, until the
// word may have changed, a deadline passes, or the caller asks to stop.
//
// Every blocking call below the bindings ends up here, whether it waits on a
// ring's wake word (wake_wait) or on a robust mutex (lock_robust_until). The
// caller's StopQuery is asked after a sleep that a signal cut short (EINTR)
// and at the end of every slice that did not reach the deadline, never with a
// shared mutex held; a binding answers it by running its signal handlers, and
// a handler that raises ends the wait. Waiting never changes shared state, so
// a wait that ends early, or a waiter killed in its sleep, leaves nothing
// behind.
#pragma once

#include <cstdint>

#include "veskline_core/shm/clock.h"

namespace vesk {

// Longest single sleep: a wake-up that was never sent (its sender was killed
// between its store and its FUTEX_WAKE) costs at most this long, and so does a
// signal delivered to another thread of the process.
inline constexpr int64_t kWaitSliceNs = 100'000'000;

// "Should this wait stop now?" Asked from the waiting thread.
class StopQuery {
 public:
  virtual bool should_stop() = 0;

 protected:
  ~StopQuery() = default;
};

// The query of a caller that never stops early.
StopQuery& never_stop();

enum class WaitEnd {
  Again,     // woken, the word moved, or a slice ended: re-check the condition
  TimedOut,  // the deadline passed
  Stopped,   // the query said stop
};

// Sleeps while *word == expected (a shared futex: no private flag, since the
// word lives in memory other processes map), for at most one slice and never
// past `deadline`. Returns at once with TimedOut if the deadline has passed.
WaitEnd futex_sleep(const uint32_t* word, uint32_t expected, Deadline deadline, StopQuery& stop);

}  // namespace vesk
