// Ring operations on one ring: record limits, commit rules, records that run
// across the end of the data region, damaged prefixes, blocking and wake-ups
// between processes, and the system-call-free uncontended path.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"
#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/robust_mutex.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using test::Child;
using test::ExitedCleanly;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kSmall = 4096;

std::string as_string(const OwnedBytes& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data.get()), bytes.size);
}

std::string as_string(const MessageView& view) {
  return std::string(reinterpret_cast<const char*>(view.data), view.length);
}

Result<void, RingError> put(const RingHandle& ring, std::string_view text) {
  return ring_put(ring, text.data(), text.size());
}

std::vector<std::byte> pattern(size_t size, unsigned seed) {
  std::vector<std::byte> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::byte>((i * 31 + seed) & 0xff);
  return bytes;
}

bool mutex_is_free(const RingHandle& ring) {
  auto locked = trylock_robust(ring.mutex);
  if (!locked) return false;
  return unlock_robust(ring.mutex).ok();
}

uint64_t read_pos(const RingHandle& ring) {
  return ring.header->read_pos.load();
}
uint64_t write_pos(const RingHandle& ring) {
  return ring.header->write_pos.load();
}

// --- record limits --------------------------------------------------------

TEST(RingLimits, RecordFillingTheWholeRingFitsAndOneByteMoreIsRefusedAtOnce) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  const auto payload = pattern(kSmall, 7);

  ASSERT_TRUE(ring_put(ring.handle(), payload.data(), kSmall - 4).ok());
  EXPECT_EQ(write_pos(ring.handle()), kSmall);
  // Into the now full ring: a put that waited for room would hang here (the
  // watchdog fails it).
  auto refused = ring_put(ring.handle(), payload.data(), kSmall - 3);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().text(), "Buffer too small");
  EXPECT_EQ(write_pos(ring.handle()), kSmall);

  auto got = ring_get(ring.handle());
  ASSERT_TRUE(got.ok()) << got.error().text();
  ASSERT_EQ(got->size, kSmall - 4);
  EXPECT_EQ(std::memcmp(got->data.get(), payload.data(), kSmall - 4), 0);
}

TEST(RingLimits, EmptyPayloadIsAFourByteRecord) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(ring_put(ring.handle(), nullptr, 0).ok());
  ASSERT_TRUE(put(ring.handle(), "after").ok());
  EXPECT_EQ(write_pos(ring.handle()), 4u + 4u + 5u);

  auto empty = ring_get(ring.handle());
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->size, 0u);
  EXPECT_EQ(empty->data, nullptr);
  EXPECT_EQ(read_pos(ring.handle()), 4u);
  auto next = ring_get(ring.handle());
  ASSERT_TRUE(next.ok());
  EXPECT_EQ(as_string(next.value()), "after");
}

// --- views and commits ----------------------------------------------------

TEST(RingViews, TwoViewsInARowDescribeTheSameMessage) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "first").ok());
  ASSERT_TRUE(put(ring.handle(), "second").ok());

  auto a = ring_get_view(ring.handle());
  auto b = ring_get_view(ring.handle());
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->data, b->data);
  EXPECT_EQ(a->length, 5u);
  EXPECT_EQ(a->next_pos, 9u);
  EXPECT_EQ(b->next_pos, a->next_pos);
  EXPECT_EQ(as_string(b.value()), "first");
  EXPECT_EQ(read_pos(ring.handle()), 0u);
  EXPECT_TRUE(mutex_is_free(ring.handle()));
}

// A large message is located first and taken later; a reader that took it in
// between must make the take a no-op, not a second consumption.
TEST(RingViews, TakeOfALocatedMessageThatAnotherReaderTookDoesNothing) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "large one").ok());
  ASSERT_TRUE(put(ring.handle(), "next").ok());

  auto small = ring_get_or_locate(ring.handle(), 100);
  ASSERT_TRUE(small.ok() && !small->located);  // short enough: copied and consumed
  EXPECT_EQ(as_string(small->bytes), "large one");
  auto located = ring_get_or_locate(ring.handle(), 2);
  ASSERT_TRUE(located.ok() && located->located);
  EXPECT_EQ(read_pos(ring.handle()), 13u);  // nothing consumed yet

  ASSERT_TRUE(put(ring.handle(), "third").ok());
  auto other = ring_get(ring.handle());  // another reader takes "next"
  ASSERT_TRUE(other.ok());
  std::string copy(4, '?');
  auto late =
      ring_take(ring.handle(), *located->located, reinterpret_cast<std::byte*>(copy.data()));
  ASSERT_TRUE(late.ok());
  EXPECT_FALSE(late.value());
  EXPECT_EQ(copy, "????");
  EXPECT_EQ(read_pos(ring.handle()), 21u);

  auto again = ring_get_or_locate(ring.handle(), 2);
  ASSERT_TRUE(again.ok() && again->located);
  std::string third(5, '?');
  auto took = ring_take(ring.handle(), *again->located, reinterpret_cast<std::byte*>(third.data()));
  ASSERT_TRUE(took.ok() && took.value());
  EXPECT_EQ(third, "third");
  EXPECT_EQ(read_pos(ring.handle()), write_pos(ring.handle()));
  EXPECT_TRUE(mutex_is_free(ring.handle()));
}

TEST(RingViews, CommitMovesReadPosOnlyToTheEndOfTheOldestRecord) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "0123456789").ok());            // [0, 14)
  ASSERT_TRUE(put(ring.handle(), "abcdefghijklmnopqrst").ok());  // [14, 38)
  auto view = ring_get_view(ring.handle());
  ASSERT_TRUE(view.ok());
  ASSERT_EQ(view->next_pos, 14u);

  // Behind, inside the first record, the end of the second record, the end
  // of the queue plus one, and far beyond: all succeed and change nothing.
  for (uint64_t wrong : {uint64_t{0}, uint64_t{4}, uint64_t{13}, uint64_t{15}, uint64_t{38},
                         uint64_t{39}, ~uint64_t{0}}) {
    ASSERT_TRUE(ring_commit(ring.handle(), wrong).ok()) << wrong;
    EXPECT_EQ(read_pos(ring.handle()), 0u) << wrong;
  }

  ASSERT_TRUE(ring_commit(ring.handle(), 14).ok());
  EXPECT_EQ(read_pos(ring.handle()), 14u);
  // The same next_pos again is a late commit: nothing more moves.
  ASSERT_TRUE(ring_commit(ring.handle(), 14).ok());
  EXPECT_EQ(read_pos(ring.handle()), 14u);

  auto second = ring_get(ring.handle());
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(as_string(second.value()), "abcdefghijklmnopqrst");
  // A commit on an empty ring, of the position it is already at.
  ASSERT_TRUE(ring_commit(ring.handle(), 38).ok());
  EXPECT_EQ(read_pos(ring.handle()), 38u);
  EXPECT_TRUE(mutex_is_free(ring.handle()));
}

// --- records across the end of the data region ----------------------------

// Positions are set to `lap` whole laps plus (capacity - before_end), so the
// record starts `before_end` bytes before the end of the data region.
class RingWrap : public ::testing::TestWithParam<uint64_t> {};

TEST_P(RingWrap, RecordRunningAcrossTheEndReadsBackWhole) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  const uint64_t before_end = GetParam();
  const uint64_t start = 5 * kSmall + (kSmall - before_end);
  ring.header().read_pos.store(start);
  ring.header().write_pos.store(start);

  const auto payload = pattern(300, 3);
  ASSERT_TRUE(ring_put(ring.handle(), payload.data(), payload.size()).ok());
  const auto payload2 = pattern(200, 9);
  ASSERT_TRUE(ring_put(ring.handle(), payload2.data(), payload2.size()).ok());
  EXPECT_EQ(write_pos(ring.handle()), start + 304 + 204);

  // The prefix's bytes sit at the region's end and continue at its start.
  const std::byte* data = ring.handle().data;
  uint8_t prefix[4];
  for (uint64_t i = 0; i < 4; ++i)
    prefix[i] = static_cast<uint8_t>(data[(kSmall - before_end + i) % kSmall]);
  EXPECT_EQ(prefix[0] | prefix[1] << 8 | prefix[2] << 16 | prefix[3] << 24, 300);

  auto got = ring_get(ring.handle());
  ASSERT_TRUE(got.ok()) << got.error().text();
  ASSERT_EQ(got->size, payload.size());
  EXPECT_EQ(std::memcmp(got->data.get(), payload.data(), payload.size()), 0);

  // The second record starts past the end; a view reads it in one piece.
  auto view = ring_get_view(ring.handle());
  ASSERT_TRUE(view.ok());
  ASSERT_EQ(view->length, payload2.size());
  EXPECT_EQ(std::memcmp(view->data, payload2.data(), payload2.size()), 0);
  ASSERT_TRUE(ring_commit(ring.handle(), view->next_pos).ok());
  EXPECT_EQ(read_pos(ring.handle()), write_pos(ring.handle()));
}

// 1 to 3: the prefix is split; 4 and 50: the payload is.
INSTANTIATE_TEST_SUITE_P(BytesBeforeEnd, RingWrap, ::testing::Values(1, 2, 3, 4, 50));

// --- damaged rings --------------------------------------------------------

TEST(RingDamage, PrefixLongerThanTheRingIsRefusedAndTheRingStaysUsable) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "hello").ok());
  const uint32_t damaged = kSmall + 1;
  std::memcpy(ring.handle().data, &damaged, 4);

  auto got = ring_get(ring.handle());
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().text(), "Buffer too small");
  auto view = ring_get_view(ring.handle());
  ASSERT_FALSE(view.ok());
  EXPECT_FALSE(view.error().after_locate);
  EXPECT_EQ(view.error().error.text(), "Buffer too small");
  EXPECT_EQ(read_pos(ring.handle()), 0u);
  EXPECT_TRUE(mutex_is_free(ring.handle()));

  // Puts and commits still work; repaired, the message reads back.
  ASSERT_TRUE(put(ring.handle(), "world").ok());
  ASSERT_TRUE(ring_commit(ring.handle(), 9).ok());
  EXPECT_EQ(read_pos(ring.handle()), 0u);
  const uint32_t repaired = 5;
  std::memcpy(ring.handle().data, &repaired, 4);
  auto hello = ring_get(ring.handle());
  ASSERT_TRUE(hello.ok());
  EXPECT_EQ(as_string(hello.value()), "hello");
  auto world = ring_get(ring.handle());
  ASSERT_TRUE(world.ok());
  EXPECT_EQ(as_string(world.value()), "world");
}

// A capacity other than the size this process mapped would send copies past
// the mapping; every operation refuses it instead.
TEST(RingDamage, CapacityOtherThanTheMappedSizeIsRefused) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "kept").ok());
  for (const uint64_t damaged : {kSmall * 64, kSmall / 2}) {
    ring.handle().header->capacity = damaged;
    EXPECT_EQ(put(ring.handle(), "x").error().text(), "Buffer too small");
    EXPECT_EQ(ring_get(ring.handle()).error().text(), "Buffer too small");
    EXPECT_EQ(ring_get_view(ring.handle()).error().error.text(), "Buffer too small");
    EXPECT_TRUE(ring_commit(ring.handle(), 8).ok());
    EXPECT_EQ(read_pos(ring.handle()), 0u);
    EXPECT_TRUE(mutex_is_free(ring.handle()));
  }
  ring.handle().header->capacity = kSmall;
  auto kept = ring_get(ring.handle());
  ASSERT_TRUE(kept.ok());
  EXPECT_EQ(as_string(kept.value()), "kept");
}

TEST(RingDamage, PrefixRunningPastTheWrittenBytesConsumesNothing) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "hello").ok());
  // Fits the ring but claims more than was written: taking it would move
  // read_pos past write_pos and wedge the ring as full for good.
  const uint32_t damaged = 1000;
  std::memcpy(ring.handle().data, &damaged, 4);
  auto got = ring_get(ring.handle());
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().kind(), RingError::Kind::BufferTooSmall);
  EXPECT_EQ(read_pos(ring.handle()), 0u);
  EXPECT_TRUE(ring_put(ring.handle(), "more", 4).ok());
}

// Bytes where the mutex should be that are not a robust process-shared
// mutex: every operation fails with EINVAL instead of letting the C library
// act on them (it may abort), and works again once the bytes are repaired.
TEST(RingDamage, MutexOfAnotherKindIsRefused) {
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  ASSERT_TRUE(put(ring.handle(), "kept").ok());
  const int kind = ring.handle().mutex->__data.__kind;
  for (int damaged : {0, 1, 3 /* PTHREAD_MUTEX_ADAPTIVE_NP */, 32 /* PI */, kind | 32, -1}) {
    ring.handle().mutex->__data.__kind = damaged;
    auto got = ring_get(ring.handle());
    ASSERT_FALSE(got.ok()) << damaged;
    EXPECT_EQ(got.error().text(), "Mutex error: Pthread error: 22");
    EXPECT_FALSE(put(ring.handle(), "x").ok());
    EXPECT_FALSE(ring_get_view(ring.handle()).ok());
    EXPECT_FALSE(ring_commit(ring.handle(), 8).ok());
  }
  ring.handle().mutex->__data.__kind = kind;
  auto got = ring_get(ring.handle());
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(as_string(got.value()), "kept");
}

// Another process rewriting the capacity while receives run: each receive
// either works or is refused, and none divides by a capacity read a second
// time (which once ended such a consumer with SIGFPE).
TEST(RingDamage, CapacityFlippingDuringReceivesNeverCrashes) {
  Watchdog watchdog(30);
  TestRing ring(64 * 1024);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  const uint64_t capacity = handle.header->capacity;
  test::Pipe running;
  Child flipper([&] {
    running.signal();
    for (uint64_t i = 0;; ++i) {
      __atomic_store_n(&handle.header->capacity, (i & 1) ? capacity : uint64_t{0},
                       __ATOMIC_RELAXED);
    }
    return 0;
  });
  ASSERT_TRUE(running.wait_signal(milliseconds(5000)));
  const std::string message(3000, 'm');
  int received = 0;
  const int64_t end = monotonic_ns() + 1'000'000'000;
  for (int round = 0; monotonic_ns() < end; ++round) {
    (void)ring_put(handle, message.data(), message.size(), Deadline::after(0));
    switch (round % 3) {
      case 0:
        received += ring_get(handle, Deadline::after(0)).ok();
        break;
      case 1: {
        auto view = ring_get_view(handle, Deadline::after(0));
        if (view.ok()) received += ring_commit(handle, view->next_pos).ok();
        break;
      }
      default: {
        auto got = ring_get_or_locate(handle, 100, Deadline::after(0));
        if (got.ok() && got->located) {
          std::string copy(got->located->length, '\0');
          auto took = ring_take(handle, *got->located, reinterpret_cast<std::byte*>(copy.data()));
          received += took.ok() && *took;
        }
        break;
      }
    }
  }
  EXPECT_GT(received, 0);  // the receives did run against the flipping header
  flipper.kill_and_reap();
}

// --- blocking and wake-ups between processes ------------------------------

// A child blocked in a put on a full ring sets the space WakeWord's flag; the
// parent frees space (by a get, or a view and its commit) and the child must
// finish promptly.
enum class Freeing { Get, ViewAndCommit };

class RingBlockingPut : public ::testing::TestWithParam<Freeing> {};

TEST_P(RingBlockingPut, PutOnAFullRingWaitsUntilSpaceIsFreed) {
  Watchdog watchdog(20);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  const auto big = pattern(kSmall - 4, 1);
  ASSERT_TRUE(ring_put(ring.handle(), big.data(), big.size()).ok());

  const RingHandle handle = ring.handle();
  Child producer([&] { return put(handle, "late").ok() ? 0 : 1; });
  ASSERT_TRUE(test::eventually([&] { return handle.space_available->waiting.load() == 1; },
                               milliseconds(2000)));
  std::this_thread::sleep_for(milliseconds(20));
  ASSERT_TRUE(producer.running()) << "put did not wait for space";
  EXPECT_EQ(write_pos(handle), kSmall);

  if (GetParam() == Freeing::Get) {
    ASSERT_TRUE(ring_get(handle).ok());
  } else {
    auto view = ring_get_view(handle);
    ASSERT_TRUE(view.ok());
    ASSERT_TRUE(ring_commit(handle, view->next_pos).ok());
  }
  EXPECT_TRUE(ExitedCleanly(producer.wait_for(milliseconds(1000))));
  auto late = ring_get(handle);
  ASSERT_TRUE(late.ok());
  EXPECT_EQ(as_string(late.value()), "late");
}

std::string freeing_name(const ::testing::TestParamInfo<Freeing>& param) {
  return param.param == Freeing::Get ? "Get" : "ViewAndCommit";
}

INSTANTIATE_TEST_SUITE_P(ByGetOrCommit, RingBlockingPut,
                         ::testing::Values(Freeing::Get, Freeing::ViewAndCommit), freeing_name);

// --- the uncontended path -------------------------------------------------

// Kills the calling process on any futex system call.
bool forbid_futex() {
  auto stmt = [](uint32_t code, uint32_t k) {
    return sock_filter{static_cast<uint16_t>(code), 0, 0, k};
  };
  auto jump = [](uint32_t code, uint32_t k, uint8_t jt, uint8_t jf) {
    return sock_filter{static_cast<uint16_t>(code), jt, jf, k};
  };
  sock_filter filter[] = {
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_futex, 0, 1),
      stmt(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
      stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) == 0;
}

TEST(RingUncontended, PutGetViewAndCommitMakeNoWakeUpSystemCall) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer's runtime makes futex calls of its own";
#endif
  Watchdog watchdog(10);
  TestRing ring(kSmall);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();
  // Warm-up outside the filter: the first allocation may need the kernel.
  ASSERT_TRUE(put(handle, "warm").ok());
  ASSERT_TRUE(ring_get(handle).ok());

  Child child([&] {
    if (!forbid_futex()) return 2;
    for (int i = 0; i < 100; ++i) {
      if (!put(handle, "message").ok() || !put(handle, "").ok()) return 3;
      auto got = ring_get(handle);
      auto view = ring_get_view(handle);
      if (!got.ok() || !view.ok() || !ring_commit(handle, view->next_pos).ok()) return 4;
    }
    return 0;
  });
  const auto status = child.wait_for(milliseconds(5000));
  EXPECT_NE(status.signal, SIGSYS) << "a futex call on the uncontended path";
  EXPECT_TRUE(ExitedCleanly(status));
}

}  // namespace
}  // namespace vesk
