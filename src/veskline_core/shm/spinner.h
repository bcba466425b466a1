// Spinner: the short, bounded wait that comes before sleeping in the kernel.
//
// A futex sleep and wake-up costs tens of microseconds on virtual machines,
// far more than a partner running on another core usually needs to answer.
// A Spinner pauses for the first few microseconds, then yields the core on
// every round, so it gives way whenever anything else is runnable there, and
// gives up after its budget. On a single-CPU machine it gives up at once.
#pragma once

#include <sched.h>
#include <unistd.h>

#include <cstdint>

#include "veskline_core/shm/clock.h"

namespace vesk {

inline constexpr int64_t kSpinBudgetNs = 50'000;

class Spinner {
 public:
  Spinner() : start_(several_cpus() ? now_ns() : -1) {}

  // Waits a moment; false once the budget is spent.
  bool wait() {
    if (start_ < 0) return false;
    __builtin_ia32_pause();
    if (++rounds_ % kRoundsPerCheck != 0) return true;
    const int64_t elapsed = now_ns() - start_;
    if (elapsed > kSpinBudgetNs) return false;
    if (elapsed > kPauseOnlyNs) ::sched_yield();
    return true;
  }

 private:
  static constexpr int64_t kPauseOnlyNs = 4'000;
  static constexpr unsigned kRoundsPerCheck = 32;

  static bool several_cpus() {
    static const bool several = ::sysconf(_SC_NPROCESSORS_ONLN) > 1;
    return several;
  }
  static int64_t now_ns() { return monotonic_ns(); }

  int64_t start_;
  unsigned rounds_ = 0;
};

}  // namespace vesk
