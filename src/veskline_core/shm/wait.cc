#include "veskline_core/shm/wait.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vesk {

namespace {

class NeverStop final : public StopQuery {
 public:
  bool should_stop() override { return false; }
};

}  // namespace

StopQuery& never_stop() {
  static NeverStop query;
  return query;
}

WaitEnd futex_sleep(const uint32_t* word, uint32_t expected, Deadline deadline, StopQuery& stop) {
  const int64_t now = monotonic_ns();
  if (deadline.passed(now)) return WaitEnd::TimedOut;
  const int64_t sleep = std::min(kWaitSliceNs, deadline.remaining(now));
  const timespec relative{static_cast<time_t>(sleep / 1'000'000'000),
                          static_cast<long>(sleep % 1'000'000'000)};
  const long slept = ::syscall(SYS_futex, word, FUTEX_WAIT, expected, &relative, nullptr, 0);
  const int error = slept < 0 ? errno : 0;
  if (error == EINTR) return stop.should_stop() ? WaitEnd::Stopped : WaitEnd::Again;
  if (error == ETIMEDOUT) {
    if (deadline.passed(monotonic_ns())) return WaitEnd::TimedOut;
    // A slice ended: a signal may have gone to another thread of ours.
    return stop.should_stop() ? WaitEnd::Stopped : WaitEnd::Again;
  }
  // Woken, or the word had already moved (EAGAIN).
  return WaitEnd::Again;
}

}  // namespace vesk
