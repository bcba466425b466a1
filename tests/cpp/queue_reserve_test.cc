// Records written and read in place: reservations across processes (never
// seen half-written, never overwritten, a slow writer holding back only what
// follows it, a killed writer holding back nothing), and claimed records read
// in place by several consumers, each exactly once, while producers write.
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "queue_test_support.h"
#include "test_support.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/ring_ops.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using test::Child;
using test::Pipe;
using test::put;
using test::Strings;
using test::TestRing;
using test::Watchdog;

Result<Reservation, QueueError> reserve(const QueueRef& q, uint64_t size) {
  return queue_reserve(q, size, Mode{}, Deadline::never(), never_stop());
}

// Writes `text` into a fresh reservation and publishes it.
bool put_reserved(const QueueRef& q, const std::string& text) {
  auto r = reserve(q, text.size());
  if (!r) return false;
  std::memcpy(r->data, text.data(), text.size());
  auto published = queue_publish(q, *r, false);
  return published && *published;
}

Result<std::string, QueueError> get_one(const QueueRef& q, int64_t timeout_ns = 2'000'000'000) {
  Strings sink;
  auto got = queue_get(q, GetLimits{1}, sink, Mode{}, Deadline::after(timeout_ns), never_stop());
  if (!got) return Err{got.error()};
  if (got->claimed) {
    const Claim& c = got->claim;
    uint32_t length = 0;
    std::memcpy(&length, c.data, 4);
    std::string text(reinterpret_cast<const char*>(c.data + 4), length);
    auto finished = queue_finish(q, c, false);
    if (!finished) return Err{finished.error()};
    return text;
  }
  return sink.items.at(0);
}

// A child that reserves `size` bytes, fills half, signals, and waits for
// `go` to fill the rest and publish (or is killed first).
Child slow_writer(const QueueRef& q, uint64_t size, char fill, const Pipe& ready, const Pipe& go) {
  return Child([&q, size, fill, &ready, &go] {
    auto r = reserve(q, size);
    if (!r) return 1;
    std::memset(r->data, fill, size / 2);
    ready.signal();
    if (!go.wait_signal(milliseconds(20'000))) return 2;
    std::memset(r->data + size / 2, fill, size - size / 2);
    auto published = queue_publish(q, *r, false);
    return published && *published ? 0 : 3;
  });
}

TEST(QueueReserve, SlowWriterHoldsBackOnlyWhatFollowsIt) {
  Watchdog watchdog(30);
  TestRing ring(1 << 16);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  ASSERT_TRUE(put(q, "early").ok());
  Pipe ready, go;
  Child writer = slow_writer(q, 1000, 'w', ready, go);
  ASSERT_TRUE(ready.wait_signal(milliseconds(5000)));
  // Reserved and published after the slow writer's reservation.
  ASSERT_TRUE(put_reserved(q, "later"));
  ASSERT_TRUE(put(q, "plain").ok());

  auto early = get_one(q, 0);
  ASSERT_TRUE(early.ok()) << early.error().text();
  EXPECT_EQ(*early, "early");
  EXPECT_EQ(queue_stats(q)->size, 2u);  // "later" and "plain"; the reservation is no message yet
  auto blocked = get_one(q, 50'000'000);
  ASSERT_FALSE(blocked.ok());
  EXPECT_TRUE(blocked.error().is(RingError::Kind::TimedOut));

  ASSERT_TRUE(go.signal());
  ASSERT_TRUE(test::ExitedCleanly(writer.wait_for(milliseconds(5000))));
  auto slow = get_one(q);
  ASSERT_TRUE(slow.ok());
  EXPECT_EQ(*slow, std::string(1000, 'w'));
  EXPECT_EQ(get_one(q).value(), "later");
  EXPECT_EQ(get_one(q).value(), "plain");
  EXPECT_EQ(ring.header().read_pos.load(), ring.header().write_pos.load());
}

TEST(QueueReserve, KilledWriterPublishesNothingAndTheRingMovesOn) {
  Watchdog watchdog(30);
  TestRing ring(1 << 14);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  Pipe ready, go;
  Child writer = slow_writer(q, 3000, 'x', ready, go);
  ASSERT_TRUE(ready.wait_signal(milliseconds(5000)));
  ASSERT_TRUE(put(q, "after").ok());
  ASSERT_EQ(::kill(writer.pid(), SIGKILL), 0);  // a zombie counts as dead

  auto got = get_one(q);
  ASSERT_TRUE(got.ok()) << got.error().text();
  EXPECT_EQ(*got, "after");
  EXPECT_FALSE(get_one(q, 0).ok());
  EXPECT_EQ(queue_stats(q)->size, 0u);
  EXPECT_EQ(ring.header().read_pos.load(), ring.header().write_pos.load());
  // The dead writer's bytes are free again: a message filling the ring fits.
  ASSERT_TRUE(put_reserved(q, std::string((1 << 14) - 4, 'f')));
  EXPECT_EQ(get_one(q).value().size(), static_cast<size_t>((1 << 14) - 4));
}

TEST(QueueReserve, ProducerWaitingForSpaceHeldByAKilledWriterGetsIt) {
  Watchdog watchdog(30);
  TestRing ring(1 << 14);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  Pipe ready, go;
  Child writer = slow_writer(q, 10000, 'x', ready, go);
  ASSERT_TRUE(ready.wait_signal(milliseconds(5000)));
  ASSERT_EQ(::kill(writer.pid(), SIGKILL), 0);
  // A consumer waiting meanwhile skips the dead record once it sees it dead.
  Child consumer([&q] {
    auto got = get_one(q, 10'000'000'000);
    return got && *got == std::string(12000, 'y') ? 0 : 1;
  });
  auto r = queue_reserve(q, 12000, Mode{}, Deadline::after(5'000'000'000), never_stop());
  ASSERT_TRUE(r.ok()) << r.error().text();
  std::memset(r->data, 'y', 12000);
  ASSERT_TRUE(queue_publish(q, *r, false).value());
  EXPECT_TRUE(test::ExitedCleanly(consumer.wait_for(milliseconds(10'000))));
}

TEST(QueueReserve, AbandonTakesTheTailBackAndVoidsTheRest) {
  TestRing ring(1 << 12);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  const uint64_t w0 = ring.header().write_pos.load();
  auto alone = reserve(q, 100);
  ASSERT_TRUE(alone.ok());
  ASSERT_TRUE(queue_abandon(q, *alone).ok());
  EXPECT_EQ(ring.header().write_pos.load(), w0);  // taken back: nothing for anyone to skip

  auto first = reserve(q, 10);
  auto second = reserve(q, 10);
  ASSERT_TRUE(first.ok() && second.ok());
  EXPECT_GE(second->begin, first->end);  // two reservations never share a byte
  std::memcpy(second->data, "0123456789", 10);
  ASSERT_TRUE(queue_abandon(q, *first).ok());
  ASSERT_TRUE(queue_publish(q, *second, false).value());
  EXPECT_EQ(queue_stats(q)->size, 1u);
  EXPECT_EQ(get_one(q).value(), "0123456789");
  EXPECT_EQ(ring.header().read_pos.load(), ring.header().write_pos.load());
  // A finished reservation cannot be published again.
  EXPECT_FALSE(queue_publish(q, *second, false).value());
}

TEST(QueueReserve, PlainRingProducerNeverOverwritesAReservation) {
  TestRing ring(1 << 12);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  auto r = reserve(q, 2000);
  ASSERT_TRUE(r.ok());
  std::memset(r->data, 'r', 2000);
  const std::string plain(2000, 'p');
  ASSERT_TRUE(ring_put(ring.handle(), plain.data(), plain.size()).ok());
  // The ring is full to the plain producer too: no room for another.
  EXPECT_FALSE(ring_put(ring.handle(), plain.data(), plain.size(), Deadline::after(0)).ok());
  ASSERT_TRUE(queue_publish(q, *r, false).value());
  EXPECT_EQ(get_one(q).value(), std::string(2000, 'r'));
  EXPECT_EQ(get_one(q).value(), plain);
}

TEST(QueueReserve, JoinableCountsAPublishedReservationOnce) {
  TestRing ring(1 << 12);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  auto r = reserve(q, 8);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(queue_stats(q)->unfinished, 0u);  // not put until published
  ASSERT_TRUE(queue_publish(q, *r, true).value());
  EXPECT_EQ(queue_stats(q)->unfinished, 1u);
  auto abandoned = reserve(q, 8);
  ASSERT_TRUE(queue_abandon(q, *abandoned).ok());
  EXPECT_EQ(queue_stats(q)->unfinished, 1u);
}

// Several producers reserve concurrently and fill their records slowly, in
// two halves; several consumers read every record in place (claimed, never
// copied under the mutex) and check it. Every record arrives exactly once,
// whole.
TEST(QueueReserve, ProducersAndInPlaceConsumersExactlyOnceWithIntactRecords) {
  Watchdog watchdog(60);
  TestRing ring(1 << 16);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  constexpr int kProducers = 3, kConsumers = 3, kEach = 400;
  struct Shared {
    std::atomic<uint32_t> seen[kProducers * kEach];
    std::atomic<uint32_t> bad;
    std::atomic<uint32_t> taken;
  };
  void* mem =
      ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  auto* shared = new (mem) Shared{};

  std::vector<Child> children;
  for (int p = 0; p < kProducers; ++p) {
    children.emplace_back([&q, p] {
      std::mt19937 rng(p);
      for (uint32_t i = 0; i < kEach; ++i) {
        const auto size = static_cast<uint32_t>(8 + rng() % 3000);
        auto r = reserve(q, size);
        if (!r) return 1;
        const uint32_t id = p * kEach + i;
        std::memcpy(r->data, &id, 4);
        std::memcpy(r->data + 4, &size, 4);
        const auto fill = static_cast<unsigned char>(id * 7 + 1);
        std::memset(r->data + 8, fill, (size - 8) / 2);
        if (rng() % 8 == 0) ::usleep(200);  // a slow writer now and then
        std::memset(r->data + 8 + (size - 8) / 2, fill, size - 8 - (size - 8) / 2);
        auto published = queue_publish(q, *r, false);
        if (!published || !*published) return 2;
      }
      return 0;
    });
  }
  for (int c = 0; c < kConsumers; ++c) {
    children.emplace_back([&q, shared] {
      Strings sink;
      for (;;) {
        auto got = queue_get(q, GetLimits{1, UINT64_MAX, 0}, sink, Mode{},
                             Deadline::after(2'000'000'000), never_stop());
        if (!got) return got.error().is(RingError::Kind::TimedOut) ? 0 : 1;
        if (!got->claimed) return 3;
        const std::byte* at = got->claim.data + 4;
        uint32_t id = 0, size = 0;
        std::memcpy(&id, at, 4);
        std::memcpy(&size, at + 4, 4);
        uint32_t length = 0;
        std::memcpy(&length, got->claim.data, 4);
        bool ok = id < kProducers * kEach && size == length;
        const auto fill = static_cast<unsigned char>(id * 7 + 1);
        for (uint32_t k = 8; ok && k < size; ++k) ok = static_cast<unsigned char>(at[k]) == fill;
        if (!ok) shared->bad.fetch_add(1);
        auto finished = queue_finish(q, got->claim, false);
        if (!finished || !*finished) return 4;
        if (ok) shared->seen[id].fetch_add(1);
        shared->taken.fetch_add(1);
      }
    });
  }
  for (auto& child : children)
    EXPECT_TRUE(test::ExitedCleanly(child.wait_for(milliseconds(50'000))));
  EXPECT_EQ(shared->bad.load(), 0u);
  EXPECT_EQ(shared->taken.load(), static_cast<uint32_t>(kProducers * kEach));
  uint32_t missing = 0, twice = 0;
  for (auto& n : shared->seen) {
    if (n.load() == 0) ++missing;
    if (n.load() > 1) ++twice;
  }
  EXPECT_EQ(missing, 0u);
  EXPECT_EQ(twice, 0u);
  EXPECT_EQ(ring.header().read_pos.load(), ring.header().write_pos.load());
  ::munmap(mem, sizeof(Shared));
}

}  // namespace
}  // namespace vesk
