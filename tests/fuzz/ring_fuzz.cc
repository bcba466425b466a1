// Fuzzes the ring operations over a damaged shared header and data region,
// damaged between operations and while they run.
//
// The ring is real: a memfd mapped with the ring's layout (header region, then
// the data region twice), with inaccessible guard pages directly before and
// after, so any access outside the mapping faults at once. Each input sets the
// positions, the capacity, the data bytes and length prefixes, then runs a
// sequence of put, get, get view, commit, locate-then-take (the path large
// messages take) and further damage. Some steps run while a second thread
// keeps rewriting positions, the capacity and the oldest length prefix, as a
// buggy process sharing the ring could. Every operation must return a value
// or an error; a view or a located message must lie inside the mapping.
//
// Every operation runs with a deadline that has already passed, so none
// waits on a ring that looks full or empty. The mutex's kind word is damaged
// between operations only: the operations must refuse a kind that is not
// theirs, while a kind changed in the middle of a lock call is beyond what
// any check can catch.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/ring_ops.h"

namespace {

using vesk::kHeaderRegionSize;
using vesk::RingHandle;
using vesk::RingHeader;

constexpr uint64_t kData = 16384;  // data region: a few pages, so inputs can fill it
constexpr uint64_t kGuard = 4096;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "ring_fuzz: %s\n", what);
  std::abort();
}

struct Ring {
  std::byte* base = nullptr;  // header region
  RingHandle handle;
};

// One mapping for the whole run: guard | header | data | data (mirror) | guard.
Ring& ring() {
  static Ring r = [] {
    const int fd = ::memfd_create("vk_ring_fuzz", 0);
    if (fd < 0 || ::ftruncate(fd, kHeaderRegionSize + kData) != 0) fail("memfd");
    const uint64_t total = kGuard + kHeaderRegionSize + 2 * kData + kGuard;
    auto* reserved = static_cast<std::byte*>(
        ::mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (reserved == MAP_FAILED) fail("reserve");
    std::byte* base = reserved + kGuard;
    auto map_at = [fd](std::byte* at, uint64_t length, uint64_t offset) {
      if (::mmap(at, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                 static_cast<off_t>(offset)) == MAP_FAILED)
        fail("map");
    };
    map_at(base, kHeaderRegionSize, 0);
    map_at(base + kHeaderRegionSize, kData, kHeaderRegionSize);
    map_at(base + kHeaderRegionSize + kData, kData, kHeaderRegionSize);
    ::close(fd);
    auto handle = vesk::init_ring_header(base, kHeaderRegionSize + 2 * kData);
    if (!handle.ok()) fail("init");
    return Ring{base, handle.value()};
  }();
  return r;
}

// Damaged capacities go anywhere, beyond the mapped data region included:
// the operations must refuse a capacity that is not the size they mapped.
constexpr uint64_t kCapacityLimit = std::numeric_limits<uint64_t>::max();

uint64_t pick_capacity(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
    case 1:
      return kData;  // intact
    case 2:
      return in.ConsumeIntegralInRange<uint64_t>(0, 8);  // too small for a record
    case 3:
      return in.ConsumeIntegralInRange<uint64_t>(0, kData);
    case 4:  // just beyond the mapping
      return std::min(kCapacityLimit, kData + in.ConsumeIntegralInRange<uint64_t>(1, 4096));
    default:
      return in.ConsumeIntegralInRange<uint64_t>(0, kCapacityLimit);
  }
}

uint64_t pick_position(FuzzedDataProvider& in, uint64_t near) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return near + in.ConsumeIntegralInRange<uint64_t>(0, 2 * kData);
    case 1:
      return near - in.ConsumeIntegralInRange<uint64_t>(0, 64);
    case 2:
      return std::numeric_limits<uint64_t>::max() -
             in.ConsumeIntegralInRange<uint64_t>(0, 2 * kData);
    default:
      return in.ConsumeIntegral<uint64_t>();
  }
}

// Writes a 32-bit prefix at data offset `offset`, through the mirror when it
// runs past the end, as a producer would.
void plant_prefix(const Ring& r, uint64_t offset, uint32_t value) {
  std::memcpy(r.handle.data + offset % kData, &value, sizeof value);
}

// Rewrites the header from another thread while operations run, until told
// to stop; what it writes comes from the input.
class Damager {
 public:
  struct Plan {
    uint64_t read_pos;
    uint64_t write_pos;
    uint64_t capacity;
    uint32_t prefix;
    unsigned what;  // bit 0 positions, bit 1 capacity, bit 2 prefix
  };

  explicit Damager(Ring& r) : ring_(r), thread_([this] { run(); }) {}
  ~Damager() {
    quit_ = true;
    thread_.join();
  }

  void start(const Plan& plan) {
    plan_ = plan;
    active_.store(true, std::memory_order_release);
  }
  void stop() { active_.store(false, std::memory_order_release); }

 private:
  void run() {
    while (!quit_.load(std::memory_order_relaxed)) {
      if (!active_.load(std::memory_order_acquire)) {
        std::this_thread::yield();
        continue;
      }
      RingHeader& h = *ring_.handle.header;
      const Plan plan = plan_;
      for (int i = 0; i < 64 && active_.load(std::memory_order_relaxed); ++i) {
        const bool flip = (i & 1) != 0;
        if (plan.what & 1) {
          h.read_pos.store(flip ? plan.read_pos : h.read_pos.load() + 4, std::memory_order_relaxed);
          h.write_pos.store(flip ? plan.write_pos : h.write_pos.load() + 4,
                            std::memory_order_relaxed);
        }
        if (plan.what & 2)
          __atomic_store_n(&h.capacity, flip ? plan.capacity : kData, __ATOMIC_RELAXED);
        if (plan.what & 4) {
          const uint64_t at = h.read_pos.load(std::memory_order_relaxed) % kData;
          __atomic_store_n(reinterpret_cast<uint8_t*>(ring_.handle.data + at),
                           static_cast<uint8_t>(flip ? plan.prefix : plan.prefix >> 8),
                           __ATOMIC_RELAXED);
        }
      }
    }
  }

  Ring& ring_;
  Plan plan_{};
  std::atomic<bool> active_{false};
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

// A view or located message must describe bytes inside the data region and
// its mirror.
void check_view(const Ring& r, const vesk::MessageView& view) {
  const std::byte* begin = r.handle.data;
  const std::byte* end = r.handle.data + 2 * kData;
  if (view.data < begin || view.data > end || view.length > static_cast<uint64_t>(end - view.data))
    fail("view outside the mapping");
  volatile uint8_t sum = 0;
  for (uint32_t i = 0; i < view.length; ++i) sum = sum + static_cast<uint8_t>(view.data[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  Ring& r = ring();
  static Damager damager(r);
  static const int kind = r.handle.mutex->__data.__kind;
  RingHeader& h = *r.handle.header;
  FuzzedDataProvider in(bytes, size);
  static const std::vector<uint8_t> payload(kData, 0x5a);
  const vesk::Deadline now = vesk::Deadline::at(0);

  // The damaged state.
  r.handle.mutex->__data.__kind = kind;
  __atomic_store_n(&h.capacity, pick_capacity(in), __ATOMIC_RELAXED);
  const uint64_t read = in.ConsumeBool() ? in.ConsumeIntegral<uint64_t>()
                                         : in.ConsumeIntegralInRange<uint64_t>(0, 4 * kData);
  h.read_pos.store(read);
  h.write_pos.store(pick_position(in, read));
  std::memset(r.handle.data, 0, kData);
  const auto fill = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, kData));
  if (!fill.empty()) std::memcpy(r.handle.data, fill.data(), fill.size());
  if (in.ConsumeBool()) plant_prefix(r, read, in.ConsumeIntegral<uint32_t>());

  vesk::MessageView last_view;
  for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
    // Some steps run while another thread rewrites the header.
    const bool concurrent = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    if (concurrent) {
      damager.start({pick_position(in, h.read_pos.load()), pick_position(in, h.read_pos.load()),
                     pick_capacity(in), in.ConsumeIntegral<uint32_t>(),
                     in.ConsumeIntegralInRange<unsigned>(1, 7)});
    }
    switch (in.ConsumeIntegralInRange<int>(0, 8)) {
      case 0: {  // put: any length; one the ring accepts fits the payload buffer
        const uint64_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 2 * kData)
                                                 : in.ConsumeIntegral<uint64_t>();
        auto put = vesk::ring_put(r.handle, payload.data(), std::min<uint64_t>(length, kData), now);
        (void)put;
        break;
      }
      case 1: {  // get
        auto got = vesk::ring_get(r.handle, now);
        if (got.ok() && got->size > kData) fail("get returned more than the mapped size");
        break;
      }
      case 2: {  // get view
        auto view = vesk::ring_get_view(r.handle, now);
        if (view.ok()) {
          check_view(r, view.value());
          last_view = view.value();
        }
        break;
      }
      case 3:  // commit of the last view, possibly stale
        (void)vesk::ring_commit(r.handle, last_view.next_pos);
        break;
      case 4:  // commit of an arbitrary position
        (void)vesk::ring_commit(r.handle, pick_position(in, h.read_pos.load()));
        break;
      case 5: {  // locate, then take into a buffer of the located size
        auto got =
            vesk::ring_get_or_locate(r.handle, in.ConsumeIntegralInRange<uint64_t>(0, 64), now);
        if (got.ok() && got->located) {
          check_view(r, *got->located);
          std::vector<std::byte> copy(got->located->length);
          (void)vesk::ring_take(r.handle, *got->located, copy.data(), now);
        }
        break;
      }
      case 6:  // damage a prefix at the read position or anywhere
        plant_prefix(r, in.ConsumeBool() ? h.read_pos.load() : in.ConsumeIntegral<uint64_t>(),
                     in.ConsumeIntegral<uint32_t>());
        break;
      case 7:  // the mutex's kind word: another kind, or its own again
        if (!concurrent)
          r.handle.mutex->__data.__kind = in.ConsumeBool() ? kind : in.ConsumeIntegral<int>();
        break;
      default:  // damage a position or the capacity between operations
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
          case 0:
            h.read_pos.store(pick_position(in, h.read_pos.load()));
            break;
          case 1:
            h.write_pos.store(pick_position(in, h.read_pos.load()));
            break;
          default:
            __atomic_store_n(&h.capacity, pick_capacity(in), __ATOMIC_RELAXED);
            break;
        }
        break;
    }
    if (concurrent) damager.stop();
  }
  return 0;
}
