// Many processes through one small ring: every message arrives exactly once,
// intact and, per producer, in order, while the ring wraps thousands of times.
#include <sys/mman.h>

#include <atomic>
#include <cstring>
#include <new>
#include <vector>

#include "test_support.h"
#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/ring_ops.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using test::Child;
using test::ExitedCleanly;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kRingSize = 64 * 1024;
constexpr uint32_t kTagSize = 8;  // producer and sequence, then the checksum
constexpr uint32_t kPill = 0xff;  // producer id of the message that stops a consumer

uint64_t mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

// Sizes from 0 to a quarter of the ring, mostly small; fixed per message so
// the consumer can check them. Sizes 1 to 7 cannot carry the tag.
uint32_t size_of(uint32_t producer, uint32_t seq) {
  const uint64_t h = mix(uint64_t{producer} << 32 | seq);
  if (h % 50 == 0) return 0;
  if ((h >> 8) % 8 == 0) return kTagSize + static_cast<uint32_t>((h >> 16) % (kRingSize / 4));
  return kTagSize + static_cast<uint32_t>((h >> 16) % 120);
}

uint32_t checksum(const std::byte* bytes, size_t size) {
  uint32_t hash = 2166136261u;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ static_cast<uint8_t>(bytes[i])) * 16777619u;
  return hash;
}

// Writes message (producer, seq) into `out` (resized to its size).
void build_message(uint32_t producer, uint32_t seq, std::vector<std::byte>& out) {
  out.resize(size_of(producer, seq));
  if (out.empty()) return;
  uint64_t state = mix(uint64_t{producer} << 32 | seq | uint64_t{1} << 63);
  for (size_t i = kTagSize; i < out.size(); i += 8) {
    state = mix(state);
    std::memcpy(out.data() + i, &state, std::min<size_t>(8, out.size() - i));
  }
  const uint32_t tag = producer << 24 | seq;
  const uint32_t sum = checksum(out.data() + kTagSize, out.size() - kTagSize) ^ tag;
  std::memcpy(out.data(), &tag, 4);
  std::memcpy(out.data() + 4, &sum, 4);
}

struct Decoded {
  bool valid = false;
  uint32_t producer = 0;
  uint32_t seq = 0;
};

Decoded decode(const std::byte* bytes, uint64_t size) {
  Decoded out;
  if (size < kTagSize) return out;
  uint32_t tag = 0;
  uint32_t sum = 0;
  std::memcpy(&tag, bytes, 4);
  std::memcpy(&sum, bytes + 4, 4);
  out.producer = tag >> 24;
  out.seq = tag & 0xffffff;
  out.valid = out.producer == kPill || (size == size_of(out.producer, out.seq) &&
                                        sum == (checksum(bytes + kTagSize, size - kTagSize) ^ tag));
  return out;
}

// Counters the consumers fill in, in a mapping shared with the parent.
template <uint32_t kProducers, uint32_t kPerProducer>
struct Tally {
  std::atomic<uint32_t> empties;
  std::atomic<uint32_t> corrupt;
  std::atomic<uint32_t> out_of_order;
  std::atomic<uint8_t> seen[kProducers][kPerProducer];
};

template <class T>
class SharedObject {
 public:
  SharedObject() {
    void* base =
        ::mmap(nullptr, sizeof(T), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    mapping_ = Mapping(base, sizeof(T));
    object_ = new (base) T{};
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }

 private:
  Mapping mapping_;
  T* object_ = nullptr;
};

TEST(RingStress, ManyProducersAndConsumersDeliverEveryMessageOnceInOrder) {
  constexpr uint32_t kProducers = 3;
  constexpr uint32_t kConsumers = 3;
  constexpr uint32_t kPerProducer = 70'000;
  using Counts = Tally<kProducers, kPerProducer>;
  Watchdog watchdog(110);
  TestRing ring(kRingSize);
  ASSERT_TRUE(ring.ok());
  SharedObject<Counts> tally;
  ASSERT_NE(tally.get(), nullptr);
  const RingHandle handle = ring.handle();
  Counts* counts = tally.get();

  std::vector<Child> consumers;
  for (uint32_t c = 0; c < kConsumers; ++c) {
    consumers.emplace_back([&] {
      int64_t last[kProducers];
      std::fill(std::begin(last), std::end(last), -1);
      for (;;) {
        auto got = ring_get(handle);
        if (!got) return 1;
        if (got->size == 0) {
          counts->empties.fetch_add(1);
          continue;
        }
        const Decoded message = decode(got->data.get(), got->size);
        if (message.valid && message.producer == kPill) return 0;
        if (!message.valid || message.producer >= kProducers || message.seq >= kPerProducer) {
          counts->corrupt.fetch_add(1);
          continue;
        }
        // The ring is FIFO, so one consumer sees each producer's messages in
        // the order they were put.
        if (message.seq <= last[message.producer]) counts->out_of_order.fetch_add(1);
        last[message.producer] = message.seq;
        counts->seen[message.producer][message.seq].fetch_add(1);
      }
    });
  }
  std::vector<Child> producers;
  for (uint32_t p = 0; p < kProducers; ++p) {
    producers.emplace_back([&, p] {
      std::vector<std::byte> message;
      for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
        build_message(p, seq, message);
        if (!ring_put(handle, message.data(), message.size()).ok()) return 1;
      }
      return 0;
    });
  }

  for (auto& producer : producers) {
    ASSERT_TRUE(ExitedCleanly(producer.wait_for(milliseconds(90'000))));
  }
  const uint32_t pill = kPill << 24;
  const uint32_t pill_message[2] = {pill, 0};
  for (uint32_t c = 0; c < kConsumers; ++c) {
    ASSERT_TRUE(ring_put(handle, pill_message, sizeof pill_message).ok());
  }
  for (auto& consumer : consumers) {
    ASSERT_TRUE(ExitedCleanly(consumer.wait_for(milliseconds(10'000))));
  }

  EXPECT_EQ(counts->corrupt.load(), 0u);
  EXPECT_EQ(counts->out_of_order.load(), 0u);
  uint32_t expected_empties = 0;
  uint32_t wrong = 0;
  for (uint32_t p = 0; p < kProducers; ++p) {
    for (uint32_t seq = 0; seq < kPerProducer; ++seq) {
      const bool empty = size_of(p, seq) == 0;
      expected_empties += empty ? 1 : 0;
      if (counts->seen[p][seq].load() != (empty ? 0 : 1) && wrong++ < 5) {
        ADD_FAILURE() << "producer " << p << " message " << seq << " arrived "
                      << int{counts->seen[p][seq].load()} << " times";
      }
    }
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_EQ(counts->empties.load(), expected_empties);
  EXPECT_EQ(handle.header->read_pos.load(), handle.header->write_pos.load());
  EXPECT_GT(handle.header->write_pos.load(), 1000 * kRingSize) << "the ring barely wrapped";
}

TEST(RingStress, ViewsReadWrappingMessagesInPlace) {
  constexpr uint32_t kMessages = 30'000;
  Watchdog watchdog(60);
  TestRing ring(kRingSize);
  ASSERT_TRUE(ring.ok());
  const RingHandle handle = ring.handle();

  Child producer([&] {
    std::vector<std::byte> message;
    for (uint32_t seq = 0; seq < kMessages; ++seq) {
      build_message(0, seq, message);
      if (!ring_put(handle, message.data(), message.size()).ok()) return 1;
    }
    return 0;
  });

  std::vector<std::byte> expected;
  for (uint32_t seq = 0; seq < kMessages; ++seq) {
    auto view = ring_get_view(handle);
    ASSERT_TRUE(view.ok()) << view.error().error.text();
    build_message(0, seq, expected);
    ASSERT_EQ(view->length, expected.size()) << "message " << seq;
    if (!expected.empty()) {
      ASSERT_EQ(std::memcmp(view->data, expected.data(), expected.size()), 0) << "message " << seq;
    }
    ASSERT_TRUE(ring_commit(handle, view->next_pos).ok());
  }
  EXPECT_TRUE(ExitedCleanly(producer.wait_for(milliseconds(5000))));
  EXPECT_EQ(handle.header->read_pos.load(), handle.header->write_pos.load());
}

}  // namespace
}  // namespace vesk
