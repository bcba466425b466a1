// Processes killed with SIGKILL at the worst moments: holding the ring's
// mutex, or asleep in a wait on an empty or full ring. The ring must keep
// working for everybody else.
#include <linux/futex.h>

#include <random>
#include <string>
#include <string_view>

#include "test_support.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/robust_mutex.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::Child;
using test::ExitedCleanly;
using test::Pipe;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kSize = 4096;

bool got_text(const RingHandle& ring, std::string_view expected) {
  auto got = ring_get(ring);
  return got.ok() &&
         std::string_view(reinterpret_cast<const char*>(got->data.get()), got->size) == expected;
}

// A child that takes the ring's mutex, reports it, and sleeps holding it.
Child holder_of(const RingHandle& ring, const Pipe& ready) {
  return Child([&] {
    if (!lock_robust(ring.mutex).ok()) return 1;
    ready.signal();
    for (;;) ::pause();
  });
}

// The kernel marks a robust mutex whose holder died; cleared by a takeover.
bool owner_died_mark(const RingHandle& ring) {
  return (__atomic_load_n(&ring.mutex->__data.__lock, __ATOMIC_ACQUIRE) & FUTEX_OWNER_DIED) != 0;
}

TEST(RingKilledHolder, NextLockerTakesTheMutexOver) {
  Watchdog watchdog(20);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  ASSERT_TRUE(ring_put(handle, "kept", 4).ok());

  Pipe ready;
  Child holder = holder_of(handle, ready);
  ASSERT_TRUE(ready.wait_signal(milliseconds(2000)));
  holder.kill_and_reap();

  // Another process, then this one: both just lock and complete.
  Child putter([&] { return ring_put(handle, "more", 4).ok() ? 0 : 1; });
  EXPECT_TRUE(ExitedCleanly(putter.wait_for(milliseconds(1000))));
  EXPECT_TRUE(got_text(handle, "kept"));
  EXPECT_TRUE(got_text(handle, "more"));
}

TEST(RingKilledHolder, WaiterTakesTheMutexOverAndKeepsWaiting) {
  Watchdog watchdog(20);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();

  Child consumer([&] { return got_text(handle, "wake") ? 0 : 1; });
  ASSERT_TRUE(test::eventually([&] { return handle.data_available->waiting.load() == 1; },
                               milliseconds(2000)));
  Pipe ready;
  Child holder = holder_of(handle, ready);
  ASSERT_TRUE(ready.wait_signal(milliseconds(2000)));
  // Let the consumer's wait slice run out so it blocks re-locking the mutex.
  std::this_thread::sleep_for(milliseconds(150));
  holder.kill_and_reap();

  // Nobody but the waiting consumer touches the mutex now, so only its
  // takeover can clear the mark the kernel left.
  ASSERT_TRUE(test::eventually([&] { return !owner_died_mark(handle); }, milliseconds(1000)))
      << "the waiter did not take the dead holder's mutex over";
  ASSERT_TRUE(consumer.running());
  ASSERT_TRUE(ring_put(handle, "wake", 4).ok());
  EXPECT_TRUE(ExitedCleanly(consumer.wait_for(milliseconds(1000))));
}

// Kills `kKills` children one after another, each shortly after it entered
// a blocking operation (mostly asleep in the wait, sometimes re-locking
// after a slice or still on the way in).
constexpr int kKills = 50;

template <class Blocked>
void kill_blocked_children(Blocked blocked) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay_ms(2, 20);
  for (int i = 0; i < kKills; ++i) {
    Pipe entering;
    Child victim([&] {
      entering.signal();
      blocked();
      return 1;  // should never get here: the ring stays empty / full
    });
    ASSERT_TRUE(entering.wait_signal(milliseconds(2000)));
    std::this_thread::sleep_for(milliseconds(delay_ms(random)));
    ASSERT_TRUE(victim.running()) << "kill " << i << ": the blocking call returned";
    victim.kill_and_reap();
  }
}

TEST(RingKilledWaiters, ConsumersKilledOnAnEmptyRingLeaveItWorking) {
  Watchdog watchdog(60);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  kill_blocked_children([&] { (void)ring_get(handle); });
  EXPECT_EQ(handle.header->write_pos.load(), 0u);

  // A consumer in another process, then a producer in another process.
  Child consumer([&] { return got_text(handle, "one") ? 0 : 1; });
  const auto start = steady_clock::now();
  ASSERT_TRUE(ring_put(handle, "one", 3).ok());
  EXPECT_TRUE(ExitedCleanly(consumer.wait_for(milliseconds(1000))));
  Child producer([&] { return ring_put(handle, "two", 3).ok() ? 0 : 1; });
  EXPECT_TRUE(got_text(handle, "two"));
  EXPECT_TRUE(ExitedCleanly(producer.wait_for(milliseconds(1000))));
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
}

TEST(RingKilledWaiters, ProducersKilledOnAFullRingLeaveItWorking) {
  Watchdog watchdog(60);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  const std::string full(kSize - 4, 'f');
  ASSERT_TRUE(ring_put(handle, full.data(), full.size()).ok());
  kill_blocked_children([&] { (void)ring_put(handle, "x", 1); });
  // No killed producer left a partial record behind.
  EXPECT_EQ(handle.header->write_pos.load(), kSize);

  Child producer([&] { return ring_put(handle, "after", 5).ok() ? 0 : 1; });
  const auto start = steady_clock::now();
  EXPECT_TRUE(got_text(handle, full));
  EXPECT_TRUE(ExitedCleanly(producer.wait_for(milliseconds(1000))));
  Child consumer([&] { return got_text(handle, "after") ? 0 : 1; });
  EXPECT_TRUE(ExitedCleanly(consumer.wait_for(milliseconds(1000))));
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000));
}

}  // namespace
}  // namespace vesk
