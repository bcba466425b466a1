// The object queue's operations: item counts and maxsize, batches that can
// never fit, get_many limits, plain ring producers and consumers on the same
// ring, shutdown and join across processes.
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "queue_test_support.h"
#include "test_support.h"
#include "veskline_core/shm/queue_ops.h"
#include "veskline_core/shm/ring_ops.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using test::Child;
using test::ExitedCleanly;
using test::put;
using test::Strings;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kSize = 4096;

// Collects copied records as strings.
struct Q {
  explicit Q(uint64_t size = kSize, uint64_t maxsize = 0) : ring(size) {
    q = queue_ref(ring.handle());
    auto opened = queue_open(q, maxsize);
    EXPECT_TRUE(opened.ok());
  }
  TestRing ring;
  QueueRef q;
};

std::vector<std::string> get(const QueueRef& q, GetLimits limits = {},
                             Deadline deadline = Deadline::never(), bool task = false) {
  Strings sink;
  auto got = queue_get(q, limits, sink, Mode{task, false}, deadline, never_stop());
  if (!got) return {"<" + got.error().text() + ">"};
  return sink.items;
}

uint64_t size_of(const QueueRef& q) {
  auto stats = queue_stats(q);
  return stats ? stats->size : ~0ull;
}

TEST(QueueOps, CountsItemsAndMaxsizeBlocksPutsUntilAGet) {
  Watchdog watchdog(20);
  Q t(kSize, 2);
  ASSERT_TRUE(put(t.q, "a").ok());
  ASSERT_TRUE(put(t.q, "b").ok());
  EXPECT_EQ(size_of(t.q), 2u);
  // Bytes to spare, but two items already: a third waits out its deadline.
  auto full = put(t.q, "c", false, Deadline::after(20'000'000));
  ASSERT_FALSE(full.ok());
  EXPECT_TRUE(full.error().is(RingError::Kind::TimedOut));
  EXPECT_EQ(get(t.q), std::vector<std::string>{"a"});
  EXPECT_TRUE(put(t.q, "c").ok());
  EXPECT_EQ(get(t.q, GetLimits{10}), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(size_of(t.q), 0u);
  auto empty = get(t.q, {}, Deadline::after(0));
  EXPECT_EQ(empty, std::vector<std::string>{"<" + RingError::timed_out().text() + ">"});
}

TEST(QueueOps, BatchesThatCanNeverFitFailAtOnceAndPutManyIsAllOrNothing) {
  Watchdog watchdog(20);
  Q t(kSize, 3);
  std::string big(kSize - 3, 'x');  // 4 + size > capacity
  auto too_big = put(t.q, big);
  ASSERT_FALSE(too_big.ok());
  EXPECT_EQ(too_big.error().kind(), QueueError::Kind::TooLarge);

  std::vector<std::string> texts = {"1", "2", "3", "4"};
  std::vector<Part> parts;
  for (auto& s : texts) parts.push_back(Part{s.data(), s.size()});
  // Four items against a maxsize of 3: never, so at once.
  auto four = queue_put_many(t.q, parts.data(), 4, Mode{}, Deadline::never(), never_stop());
  ASSERT_FALSE(four.ok());
  EXPECT_EQ(four.error().kind(), QueueError::Kind::TooLarge);
  ASSERT_TRUE(put(t.q, "0").ok());
  // Three would fit in bytes but not in items next to the one queued: none go in.
  auto three =
      queue_put_many(t.q, parts.data(), 3, Mode{}, Deadline::after(10'000'000), never_stop());
  ASSERT_FALSE(three.ok());
  EXPECT_EQ(size_of(t.q), 1u);
  ASSERT_TRUE(queue_put_many(t.q, parts.data(), 2, Mode{}, Deadline::never(), never_stop()).ok());
  EXPECT_EQ(get(t.q, GetLimits{10}), (std::vector<std::string>{"0", "1", "2"}));
}

TEST(QueueOps, GetManyHonoursMaxRecordsAndMaxBytesAndTakesAtLeastOne) {
  Watchdog watchdog(20);
  Q t(kSize);
  for (const char* s : {"aaaa", "bbbb", "cccc", "dddd", "eeee"}) ASSERT_TRUE(put(t.q, s).ok());
  EXPECT_EQ(get(t.q, GetLimits{2}), (std::vector<std::string>{"aaaa", "bbbb"}));
  EXPECT_EQ(get(t.q, GetLimits{10, 9}), (std::vector<std::string>{"cccc", "dddd"}));
  EXPECT_EQ(get(t.q, GetLimits{10, 1}), (std::vector<std::string>{"eeee"}));
}

TEST(QueueOps, ATaggedRecordIsClaimedAloneAndStaysQueuedUntilFinished) {
  Watchdog watchdog(20);
  Q t(kSize);
  for (const char* s : {"a", "b", "Sside", "c"}) ASSERT_TRUE(put(t.q, s).ok());
  const GetLimits tagged{10, UINT64_MAX, 1024, 'S'};
  // The batch stops before the tagged record, short as it is.
  EXPECT_EQ(get(t.q, tagged), (std::vector<std::string>{"a", "b"}));
  Strings sink;
  auto claimed = queue_get(t.q, tagged, sink, Mode{}, Deadline::never(), never_stop());
  ASSERT_TRUE(claimed.ok());
  ASSERT_TRUE(claimed->claimed);
  EXPECT_TRUE(sink.items.empty());
  EXPECT_EQ(claimed->claim.records, 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(claimed->claim.data) + 4, 5), "Sside");
  EXPECT_EQ(size_of(t.q), 2u);  // still queued while claimed
  // Given back, it is the next get's, again claimed alone; finished, it is gone.
  ASSERT_TRUE(queue_give_back(t.q, claimed->claim).ok());
  auto again = queue_get(t.q, tagged, sink, Mode{}, Deadline::never(), never_stop());
  ASSERT_TRUE(again.ok() && again->claimed);
  EXPECT_EQ(again->claim.records, 1u);
  auto finished = queue_finish(t.q, again->claim, false);
  ASSERT_TRUE(finished.ok());
  EXPECT_TRUE(*finished);
  EXPECT_EQ(size_of(t.q), 1u);
  // Without a tag it is an ordinary short record.
  ASSERT_TRUE(put(t.q, "Sx").ok());
  EXPECT_EQ(get(t.q, GetLimits{10}), (std::vector<std::string>{"c", "Sx"}));
}

TEST(QueueOps, RecordsRunAcrossTheEndOfTheRingIntact) {
  Watchdog watchdog(20);
  Q t(kSize);
  std::string chunk(1000, 'q');
  for (int round = 0; round < 40; ++round) {
    chunk[0] = static_cast<char>('a' + round % 26);
    ASSERT_TRUE(put(t.q, chunk).ok());
    ASSERT_TRUE(put(t.q, "tail").ok());
    EXPECT_EQ(get(t.q, GetLimits{2}), (std::vector<std::string>{chunk, "tail"}));
  }
}

TEST(QueueOps, PlainRingProducersAreCountedAndPlainConsumersRepairTheCount) {
  Watchdog watchdog(20);
  Q t(kSize);
  ASSERT_TRUE(put(t.q, "ours").ok());
  ASSERT_TRUE(ring_put(t.ring.handle(), "raw1", 4).ok());
  ASSERT_TRUE(ring_put(t.ring.handle(), "raw2", 4).ok());
  EXPECT_EQ(size_of(t.q), 3u);
  auto raw = ring_get(t.ring.handle());
  ASSERT_TRUE(raw.ok());
  EXPECT_EQ(std::string(reinterpret_cast<char*>(raw->data.get()), raw->size), "ours");
  EXPECT_EQ(size_of(t.q), 2u);
  EXPECT_EQ(get(t.q, GetLimits{5}), (std::vector<std::string>{"raw1", "raw2"}));
}

TEST(QueueOps, ShutdownWakesABlockedGetterInAnotherProcessAndDrainsFirst) {
  Watchdog watchdog(20);
  Q t(kSize);
  ASSERT_TRUE(put(t.q, "left").ok());
  Child getter([&] {
    // Takes what is queued, then blocks until the shutdown makes it fail.
    if (get(t.q) != std::vector<std::string>{"left"}) return 1;
    Strings sink;
    auto got = queue_get(t.q, {}, sink, Mode{}, Deadline::never(), never_stop());
    return !got && got.error().kind() == QueueError::Kind::ShutDown ? 0 : 2;
  });
  ASSERT_TRUE(test::eventually([&] { return t.ring.handle().data_available->waiting.load() == 1; },
                               milliseconds(2000)));
  ASSERT_TRUE(queue_shutdown(t.q, false, nullptr).ok());
  EXPECT_TRUE(ExitedCleanly(getter.wait_for(milliseconds(2000))));
  auto late = put(t.q, "late");
  ASSERT_FALSE(late.ok());
  EXPECT_EQ(late.error().kind(), QueueError::Kind::ShutDown);
}

TEST(QueueOps, ImmediateShutdownDrainsAndFinishesTheDrainedTasks) {
  Watchdog watchdog(20);
  Q t(kSize);
  ASSERT_TRUE(put(t.q, "x", true).ok());
  ASSERT_TRUE(put(t.q, "y", true).ok());
  Strings drained;
  auto taken = queue_shutdown(t.q, true, &drained);
  ASSERT_TRUE(taken.ok());
  EXPECT_EQ(*taken, 2u);
  EXPECT_EQ(drained.items, (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(queue_stats(t.q)->unfinished, 0u);
  EXPECT_TRUE(queue_join(t.q, Deadline::after(1'000'000'000), never_stop()).ok());
}

TEST(QueueOps, TaskDoneAndJoinAcrossProcesses) {
  Watchdog watchdog(20);
  Q t(kSize);
  ASSERT_TRUE(put(t.q, "job1", true).ok());
  ASSERT_TRUE(put(t.q, "job2", true).ok());
  auto early = queue_join(t.q, Deadline::after(20'000'000), never_stop());
  ASSERT_FALSE(early.ok());
  Child worker([&] {
    for (int i = 0; i < 2; ++i) {
      if (get(t.q, {}, Deadline::never(), true).size() != 1) return 1;
      if (!queue_task_done(t.q).ok()) return 2;
    }
    return 0;
  });
  EXPECT_TRUE(queue_join(t.q, Deadline::after(5'000'000'000), never_stop()).ok());
  EXPECT_TRUE(ExitedCleanly(worker.wait_for(milliseconds(2000))));
  auto extra = queue_task_done(t.q);
  ASSERT_FALSE(extra.ok());
  EXPECT_EQ(extra.error().kind(), QueueError::Kind::TooManyTaskDone);
}

TEST(QueueOps, JoinCountsTheTasksOfAKilledWorkerAsDone) {
  Watchdog watchdog(20);
  Q t(kSize);
  ASSERT_TRUE(put(t.q, "job", true).ok());
  test::Pipe took;
  Child worker([&] {
    if (get(t.q, {}, Deadline::never(), true).size() != 1) return 1;
    took.signal();
    for (;;) ::pause();  // never calls task_done
  });
  ASSERT_TRUE(took.wait_signal(milliseconds(2000)));
  worker.kill_and_reap();
  EXPECT_TRUE(queue_join(t.q, Deadline::after(5'000'000'000), never_stop()).ok());
  EXPECT_EQ(queue_stats(t.q)->unfinished, 0u);
}

}  // namespace
}  // namespace vesk
