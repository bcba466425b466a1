// The monotonic clock, whole sleeps, and deadlines on that clock.
//
// Every timed thing below the bindings reads time here: spins, attach polls,
// waits. Deadline::never() is the far end of the clock, so code that waits
// without limit and code that waits for a while take one path.
#pragma once

#include <time.h>

#include <cerrno>
#include <cstdint>
#include <limits>

namespace vesk {

inline int64_t monotonic_ns() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Sleeps the whole interval: a signal only shortens one nanosleep, and the
// rest is slept again.
inline void sleep_ns(int64_t ns) {
  if (ns <= 0) return;
  timespec request{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
  timespec remaining{};
  while (::nanosleep(&request, &remaining) != 0 && errno == EINTR) request = remaining;
}

// A point on the monotonic clock after which a wait gives up.
class Deadline {
 public:
  static constexpr Deadline never() { return Deadline(std::numeric_limits<int64_t>::max()); }
  static constexpr Deadline at(int64_t clock_ns) { return Deadline(clock_ns); }
  // `ns` from now; saturates at never(), and a negative span is now.
  static Deadline after(int64_t ns) {
    const int64_t now = monotonic_ns();
    if (ns <= 0) return Deadline(now);
    if (ns >= std::numeric_limits<int64_t>::max() - now) return never();
    return Deadline(now + ns);
  }

  bool is_never() const { return at_ns_ == std::numeric_limits<int64_t>::max(); }
  int64_t at_ns() const { return at_ns_; }
  bool passed(int64_t now) const { return now >= at_ns_; }
  // Time left at `now`, 0 once passed.
  int64_t remaining(int64_t now) const { return now >= at_ns_ ? 0 : at_ns_ - now; }

 private:
  constexpr explicit Deadline(int64_t at_ns) : at_ns_(at_ns) {}
  int64_t at_ns_;
};

}  // namespace vesk
