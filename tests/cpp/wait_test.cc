// The one blocking wait, through the operations that use it: deadlines that
// never end a wait early, a caller's stop question asked when a signal cuts a
// sleep short, mutex waits that hand over to glibc's own lockers, and wake-ups
// that arrive within milliseconds rather than at the end of a slice.
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/wait.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using test::Child;
using test::ExitedCleanly;
using test::Pipe;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kSize = 4096;
constexpr int64_t kMs = 1'000'000;

// A handler that only interrupts: installed without SA_RESTART, as CPython
// installs its own, so a sleeping futex returns EINTR.
void on_signal(int) {}
void install_interrupting_handler(int signo) {
  struct sigaction action {};
  action.sa_handler = on_signal;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(signo, &action, nullptr);
}

// Answers "stop" once `stop_after` questions were asked; counts them.
class CountingStop final : public StopQuery {
 public:
  explicit CountingStop(int stop_after) : stop_after_(stop_after) {}
  bool should_stop() override { return ++asked_ >= stop_after_; }
  int asked() const { return asked_.load(); }

 private:
  int stop_after_;
  std::atomic<int> asked_{0};
};

// Sends `signo` to `thread` every 5 ms until stopped.
class SignalPump {
 public:
  SignalPump(pthread_t thread, int signo)
      : worker_([this, thread, signo] {
          while (!done_.load()) {
            ::pthread_kill(thread, signo);
            std::this_thread::sleep_for(milliseconds(5));
          }
        }) {}
  ~SignalPump() {
    done_ = true;
    worker_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread worker_;
};

void fill(const RingHandle& ring) {
  const std::string big(kSize - 4, 'f');
  ASSERT_TRUE(ring_put(ring, big.data(), big.size()).ok());
}

// --- deadlines --------------------------------------------------------------

TEST(WaitDeadline, EmptyGetAndFullPutTimeOutNeverEarlyAndChangeNothing) {
  Watchdog watchdog(20);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();

  for (int64_t wait_ms : {0, 1, 30}) {
    const int64_t start = monotonic_ns();
    auto got = ring_get(handle, Deadline::after(wait_ms * kMs));
    const int64_t waited = monotonic_ns() - start;
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().kind(), RingError::Kind::TimedOut);
    EXPECT_GE(waited, wait_ms * kMs) << "returned early";

    auto view = ring_get_view(handle, Deadline::after(wait_ms * kMs));
    ASSERT_FALSE(view.ok());
    EXPECT_EQ(view.error().error.kind(), RingError::Kind::TimedOut);
  }

  fill(handle);
  const uint64_t write_before = handle.header->write_pos.load();
  const int64_t start = monotonic_ns();
  auto put = ring_put(handle, "x", 1, Deadline::after(30 * kMs));
  ASSERT_FALSE(put.ok());
  EXPECT_EQ(put.error().kind(), RingError::Kind::TimedOut);
  EXPECT_GE(monotonic_ns() - start, 30 * kMs);
  EXPECT_EQ(handle.header->write_pos.load(), write_before);
  // The mutex was left free.
  auto locked = trylock_robust(handle.mutex);
  ASSERT_TRUE(locked.ok());
  ASSERT_TRUE(unlock_robust(handle.mutex).ok());
}

TEST(WaitDeadline, MessageArrivingBeforeTheDeadlineIsTaken) {
  Watchdog watchdog(20);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  Child putter([&] {
    std::this_thread::sleep_for(milliseconds(150));  // past the spin: asleep
    return ring_put(handle, "late", 4).ok() ? 0 : 1;
  });
  auto got = ring_get(handle, Deadline::after(5'000 * kMs));
  ASSERT_TRUE(got.ok()) << got.error().text();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(got->data.get()), got->size), "late");
  EXPECT_TRUE(ExitedCleanly(putter.wait_for(milliseconds(5000))));
}

// --- stopping -----------------------------------------------------------------

TEST(WaitStop, SignalAsksTheQueryAndAStopConsumesNothing) {
  Watchdog watchdog(20);
  install_interrupting_handler(SIGUSR1);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();

  // Go on through two interruptions, stop at the third.
  CountingStop stop(3);
  std::atomic<bool> ended{false};
  Result<OwnedBytes, RingError> got = Err{RingError::buffer_too_small()};
  std::thread getter([&] {
    got = ring_get(handle, Deadline::never(), stop);
    ended = true;
  });
  {
    SignalPump pump(getter.native_handle(), SIGUSR1);
    // Three signals 5 ms apart end it well inside one 100 ms slice.
    EXPECT_TRUE(test::eventually([&] { return ended.load(); }, milliseconds(80)));
  }
  getter.join();
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), RingError::Kind::Stopped);
  EXPECT_EQ(stop.asked(), 3);

  // A message put now is still there for the next get.
  ASSERT_TRUE(ring_put(handle, "kept", 4).ok());
  auto again = ring_get(handle);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->size, 4u);
}

TEST(WaitStop, StoppedPutAddsNothing) {
  Watchdog watchdog(20);
  install_interrupting_handler(SIGUSR1);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  fill(handle);
  const uint64_t write_before = handle.header->write_pos.load();

  CountingStop stop(1);
  Result<void, RingError> put = Err{RingError::buffer_too_small()};
  std::thread putter([&] { put = ring_put(handle, "extra", 5, Deadline::never(), stop); });
  {
    SignalPump pump(putter.native_handle(), SIGUSR1);
    putter.join();
  }
  ASSERT_FALSE(put.ok());
  EXPECT_EQ(put.error().kind(), RingError::Kind::Stopped);
  EXPECT_EQ(handle.header->write_pos.load(), write_before);
}

TEST(WaitStop, StoppedMutexWaitLeavesTheMutexToItsHolder) {
  Watchdog watchdog(20);
  install_interrupting_handler(SIGUSR1);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();

  Pipe held, release;
  Child holder([&] {
    if (!lock_robust(handle.mutex).ok()) return 1;
    held.signal();
    release.wait_signal(milliseconds(10'000));
    return unlock_robust(handle.mutex).ok() ? 0 : 2;
  });
  ASSERT_TRUE(held.wait_signal(milliseconds(5000)));

  // Timed out: not held, and not early.
  const int64_t start = monotonic_ns();
  auto timed = lock_robust_until(handle.mutex, Deadline::after(40 * kMs), never_stop());
  ASSERT_FALSE(timed.ok());
  EXPECT_EQ(timed.error().code(), kLockTimedOut);
  EXPECT_GE(monotonic_ns() - start, 40 * kMs);

  CountingStop stop(1);
  Result<Locked, LockError> locked = Err{LockError::pthread(0)};
  std::thread locker([&] { locked = lock_robust_until(handle.mutex, Deadline::never(), stop); });
  {
    SignalPump pump(locker.native_handle(), SIGUSR1);
    locker.join();
  }
  ASSERT_FALSE(locked.ok());
  EXPECT_EQ(locked.error().code(), kLockStopped);

  // The holder still holds it and releases it normally.
  release.signal();
  EXPECT_TRUE(ExitedCleanly(holder.wait_for(milliseconds(5000))));
  ASSERT_TRUE(lock_robust(handle.mutex).ok());
  ASSERT_TRUE(unlock_robust(handle.mutex).ok());
}

// --- mutex hand-over -----------------------------------------------------------

// Processes that lock with glibc's pthread_mutex_lock (which sleeps with no
// limit) and processes that lock through lock_robust_until share one mutex
// under contention. Whoever is woken by an unlock must pass the wake-up on:
// if one sleeper were left asleep with nobody marked as waiting, a glibc
// locker would sleep for ever and the watchdog would fail the test.
TEST(MutexHandOver, GlibcAndOurLockersNeverStrandASleeper) {
  Watchdog watchdog(60);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  auto* counter = reinterpret_cast<uint64_t*>(handle.data);
  constexpr int kRounds = 3000;
  constexpr int kEach = 3;

  std::vector<Child> children;
  for (int i = 0; i < 2 * kEach; ++i) {
    const bool glibc = i % 2 == 0;
    children.emplace_back([&, glibc] {
      for (int round = 0; round < kRounds; ++round) {
        const int code =
            glibc ? pthread_mutex_lock(handle.mutex) : (lock_robust(handle.mutex).ok() ? 0 : 1);
        if (code != 0) return 1;
        const uint64_t seen = *counter;
        // Hold it long enough for the others to go to sleep now and then.
        if (round % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        *counter = seen + 1;
        if (pthread_mutex_unlock(handle.mutex) != 0) return 2;
      }
      return 0;
    });
  }
  for (auto& child : children) EXPECT_TRUE(ExitedCleanly(child.wait_for(milliseconds(50'000))));
  EXPECT_EQ(*counter, uint64_t{kRounds} * 2 * kEach);
}

// --- wake-ups --------------------------------------------------------------------

// A waiter that went to sleep on the wake word (well past the spin) is woken
// by another process's put within milliseconds. Without the FUTEX_WAKE, it
// would wake only at the end of its 100 ms slice: a median of about 50 ms.
TEST(WakeUp, SleepingGetterIsWokenWithinMillisecondsByAnotherProcess) {
  Watchdog watchdog(60);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  constexpr int kRounds = 40;

  Pipe stamps;
  Child getter([&] {
    for (int round = 0; round < kRounds; ++round) {
      auto got = ring_get(handle);
      const int64_t now = monotonic_ns();
      if (!got.ok()) return 1;
      if (!stamps.send(&now, sizeof now)) return 2;
    }
    return 0;
  });
  std::vector<int64_t> latencies;
  for (int round = 0; round < kRounds; ++round) {
    // Until the getter announced itself asleep, then a little longer.
    ASSERT_TRUE(test::eventually([&] { return handle.data_available->waiting.load() != 0; },
                                 milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(2));
    const int64_t sent = monotonic_ns();
    ASSERT_TRUE(ring_put(handle, "w", 1).ok());
    int64_t received = 0;
    ASSERT_TRUE(stamps.receive(&received, sizeof received, milliseconds(5000)));
    latencies.push_back(received - sent);
  }
  EXPECT_TRUE(ExitedCleanly(getter.wait_for(milliseconds(5000))));
  std::sort(latencies.begin(), latencies.end());
  const int64_t median = latencies[latencies.size() / 2];
  const int64_t p90 = latencies[latencies.size() * 9 / 10];
  EXPECT_LT(median, 5 * kMs) << "median wake-up " << median << " ns";
  EXPECT_LT(p90, 30 * kMs) << "90th percentile wake-up " << p90 << " ns";
}

// The same for a producer asleep on a full ring, woken by a get.
TEST(WakeUp, SleepingPutterIsWokenWithinMillisecondsByAnotherProcess) {
  Watchdog watchdog(60);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  constexpr int kRounds = 40;
  const std::string record(kSize - 4, 'p');

  Pipe stamps;
  Child putter([&] {
    for (int round = 0; round < kRounds + 1; ++round) {
      if (!ring_put(handle, record.data(), record.size()).ok()) return 1;
      const int64_t now = monotonic_ns();
      if (round > 0 && !stamps.send(&now, sizeof now)) return 2;
    }
    return 0;
  });
  std::vector<int64_t> latencies;
  for (int round = 0; round < kRounds; ++round) {
    ASSERT_TRUE(test::eventually([&] { return handle.space_available->waiting.load() != 0; },
                                 milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(2));
    const int64_t sent = monotonic_ns();
    ASSERT_TRUE(ring_get(handle).ok());
    int64_t received = 0;
    ASSERT_TRUE(stamps.receive(&received, sizeof received, milliseconds(5000)));
    latencies.push_back(received - sent);
  }
  EXPECT_TRUE(ExitedCleanly(putter.wait_for(milliseconds(5000))));
  std::sort(latencies.begin(), latencies.end());
  EXPECT_LT(latencies[latencies.size() / 2], 5 * kMs);
  EXPECT_LT(latencies[latencies.size() * 9 / 10], 30 * kMs);
}

}  // namespace
}  // namespace vesk
