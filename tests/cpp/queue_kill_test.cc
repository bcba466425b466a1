// Processes killed while taking messages from the object queue: a record a
// dead consumer had claimed goes to the next consumer, a producer waiting for
// space behind a dead claim is not stuck, and producers and consumers killed
// at random lose nothing while counts and tasks converge.
#include <sys/mman.h>

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

// A child that claims the next record (copy limit 0: every record is
// claimed, none copied under the mutex), reports, and never finishes.
Child stuck_claimer(const QueueRef& q, const Pipe& ready) {
  return Child([&] {
    Strings sink;
    auto got =
        queue_get(q, GetLimits{1, UINT64_MAX, 0}, sink, Mode{}, Deadline::never(), never_stop());
    if (!got || !got->claimed) return 1;
    ready.signal();
    for (;;) ::pause();
  });
}

TEST(QueueKill, RecordOfAKilledClaimerGoesToTheNextConsumerFirst) {
  Watchdog watchdog(20);
  TestRing ring(4096);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  ASSERT_TRUE(put(q, "first").ok());
  ASSERT_TRUE(put(q, "second").ok());
  Pipe ready;
  Child claimer = stuck_claimer(q, ready);
  ASSERT_TRUE(ready.wait_signal(milliseconds(2000)));
  // Killed, not reaped: a zombie counts as dead too.
  ASSERT_EQ(::kill(claimer.pid(), SIGKILL), 0);

  Strings sink;
  auto a = queue_get(q, GetLimits{1}, sink, Mode{}, Deadline::after(2'000'000'000), never_stop());
  ASSERT_TRUE(a.ok()) << a.error().text();
  // "second" was never claimed and could be handed out at once; "first" is
  // only found once the waiter saw its claimer dead: both come, in order.
  auto b = queue_get(q, GetLimits{1}, sink, Mode{}, Deadline::after(2'000'000'000), never_stop());
  ASSERT_TRUE(b.ok()) << b.error().text();
  std::sort(sink.items.begin(), sink.items.end());
  EXPECT_EQ(sink.items, (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(queue_stats(q)->size, 0u);
  EXPECT_EQ(ring.header().read_pos.load(), ring.header().write_pos.load());
}

TEST(QueueKill, ProducerBehindADeadClaimGetsItsSpaceOnceTheRecordIsTaken) {
  Watchdog watchdog(20);
  TestRing ring(4096);
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 0).ok());
  const std::string big(3000, 'b');
  ASSERT_TRUE(put(q, big).ok());
  Pipe ready;
  Child claimer = stuck_claimer(q, ready);
  ASSERT_TRUE(ready.wait_signal(milliseconds(2000)));
  claimer.kill_and_reap();
  // The producer waits; a consumer that arrives later receives the orphaned
  // record, which frees the space.
  Child producer([&] { return put(q, big).ok() ? 0 : 1; });
  std::this_thread::sleep_for(milliseconds(50));
  Strings sink;
  auto got = queue_get(q, GetLimits{1}, sink, Mode{}, Deadline::after(2'000'000'000), never_stop());
  ASSERT_TRUE(got.ok()) << got.error().text();
  ASSERT_EQ(sink.items.size(), 1u);
  EXPECT_EQ(sink.items[0], big);
  EXPECT_TRUE(test::ExitedCleanly(producer.wait_for(milliseconds(3000))));
}

// Shared between the test and its children: ids handed out, ids whose put
// returned, and a log every consumer copies its records into directly.
constexpr uint32_t kMaxIds = 1 << 18;
struct Board {
  std::atomic<uint32_t> next_id;
  std::atomic<uint32_t> log_len;
  std::atomic<uint32_t> stop;
  uint8_t put_ok[kMaxIds];
  uint32_t log[kMaxIds * 2];
};

// Copies each record (a 4-byte id) straight into the shared log: once the
// bytes are there the consumer "has" the message, before any commit.
class LogSink final : public RecordSink {
 public:
  explicit LogSink(Board* board) : board_(board) {}
  std::byte* reserve(uint32_t length) override {
    if (length != 4) return nullptr;
    const uint32_t at = board_->log_len.fetch_add(1);
    if (at >= kMaxIds * 2) return nullptr;
    return reinterpret_cast<std::byte*>(&board_->log[at]);
  }
  void discard() override {}

 private:
  Board* board_;
};

int producer_body(const QueueRef& q, Board* board) {
  while (board->stop.load() == 0) {
    const uint32_t id = board->next_id.fetch_add(1) + 1;
    if (id >= kMaxIds) return 0;
    Part part{&id, 4};
    auto put =
        queue_put(q, &part, 1, Mode{true, false}, Deadline::after(200'000'000), never_stop());
    if (!put) {
      if (put.error().is(RingError::Kind::TimedOut)) continue;
      return 1;
    }
    board->put_ok[id] = 1;
  }
  return 0;
}

int consumer_body(const QueueRef& q, Board* board, bool claims) {
  LogSink sink(board);
  while (board->stop.load() == 0) {
    GetLimits limits{claims ? 1u : 7u, UINT64_MAX, claims ? 0u : 1024u};
    auto got =
        queue_get(q, limits, sink, Mode{true, false}, Deadline::after(100'000'000), never_stop());
    if (!got) {
      if (got.error().is(RingError::Kind::TimedOut)) continue;
      return 1;
    }
    uint64_t records = got->copied;
    if (got->claimed) {
      const Claim& c = got->claim;
      // A large copy takes a while: kills land inside claims often.
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      std::byte* into = sink.reserve(4);
      if (into == nullptr) return 2;
      std::memcpy(into, c.data + 4, 4);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      auto finished = queue_finish(q, c, true);
      if (!finished) return 3;
      records = *finished ? 1 : 0;
    }
    for (uint64_t i = 0; i < records; ++i) {
      if (!queue_task_done(q).ok()) return 4;
    }
  }
  return 0;
}

TEST(QueueKill, ProducersAndConsumersKilledAtRandomLoseNothingAndTasksConverge) {
  Watchdog watchdog(60);
  TestRing ring(4096);  // small: producers often wait for space
  const QueueRef q = queue_ref(ring.handle());
  ASSERT_TRUE(queue_open(q, 50).ok());
  void* shared =
      ::mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* board = new (shared) Board();

  // Roles: 0, 1 producers; 2 copying consumer; 3 claiming consumer.
  auto start = [&](int role) {
    return Child([&, role] {
      if (role < 2) return producer_body(q, board);
      return consumer_body(q, board, role == 3);
    });
  };
  std::vector<std::unique_ptr<Child>> children;
  for (int role = 0; role < 4; ++role) children.push_back(std::make_unique<Child>(start(role)));
  std::mt19937 random(12345);
  int kills = 0;
  const auto until = std::chrono::steady_clock::now() + milliseconds(2500);
  while (std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(2 + random() % 15));
    const int role = static_cast<int>(random() % 4);
    children[role]->kill_and_reap();
    ++kills;
    children[role] = std::make_unique<Child>(start(role));
  }
  board->stop.store(1);
  for (auto& child : children) {
    auto status = child->wait_for(milliseconds(3000));
    EXPECT_TRUE(test::ExitedCleanly(status));
  }

  // Drain what is left (dead claims included) and finish its tasks.
  LogSink sink(board);
  for (;;) {
    auto got = queue_get(q, GetLimits{64}, sink, Mode{true, false}, Deadline::after(300'000'000),
                         never_stop());
    if (!got) break;
    for (uint64_t i = 0; i < got->copied; ++i) ASSERT_TRUE(queue_task_done(q).ok());
  }
  auto stats = queue_stats(q);
  ASSERT_TRUE(stats.ok());
  EXPECT_EQ(stats->size, 0u);
  EXPECT_TRUE(queue_join(q, Deadline::after(3'000'000'000), never_stop()).ok())
      << "unfinished " << queue_stats(q)->unfinished;

  std::vector<uint8_t> seen(kMaxIds, 0);
  const uint32_t logged = std::min<uint32_t>(board->log_len.load(), kMaxIds * 2);
  for (uint32_t i = 0; i < logged; ++i) {
    const uint32_t id = board->log[i];
    if (id != 0 && id < kMaxIds) seen[id] = 1;
  }
  uint32_t put = 0, lost = 0;
  for (uint32_t id = 1; id < kMaxIds; ++id) {
    if (board->put_ok[id] == 0) continue;
    ++put;
    if (seen[id] == 0) ++lost;
  }
  EXPECT_GT(kills, 20);
  EXPECT_GT(put, 1000u);
  EXPECT_EQ(lost, 0u) << "of " << put << " messages, after " << kills << " kills";
  ::munmap(shared, sizeof(Board));
}

}  // namespace
}  // namespace vesk

namespace vesk {
namespace {

// A put killed inside its section, after or before its commit store (the
// state is left as the killed process would leave it): the next user redoes
// or drops the journal, so unfinished tasks match the records in the ring.
TEST(QueueKill, KilledSectionIsRedoneOrDroppedByWhetherItsCommitHappened) {
  Watchdog watchdog(20);
  for (const bool committed : {true, false}) {
    TestRing ring(4096);
    const QueueRef q = queue_ref(ring.handle());
    ASSERT_TRUE(queue_open(q, 0).ok());
    QueueState& s = *q.state;
    const uint64_t w = ring.header().write_pos.load();
    s.dirty = 1;
    s.journal = Journal{static_cast<uint32_t>(Commit::WritePos), kNoEntry, w + 4 + 3, 0, 1, 0};
    // The record went in (the commit store) or did not.
    if (committed) {
      ASSERT_TRUE(ring_put(ring.handle(), "job", 3).ok());
    }
    auto stats = queue_stats(q);
    ASSERT_TRUE(stats.ok());
    EXPECT_EQ(stats->unfinished, committed ? 1u : 0u);
    EXPECT_EQ(stats->size, committed ? 1u : 0u);
    EXPECT_EQ(s.dirty, 0u);
  }
}

}  // namespace
}  // namespace vesk
