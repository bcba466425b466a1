// Fuzzes the ring operations over a damaged shared header and data region.
//
// The ring is real: a memfd mapped with the ring's layout (header region, then
// the data region twice), with inaccessible guard pages directly before and
// after, so any access outside the mapping faults at once. Each input sets the
// positions, the capacity, the data bytes and length prefixes, then runs a
// sequence of put, get, get view, commit and further damage. Every operation
// must return a value or an error; a view must lie inside the mapping.
//
// The operations block on a ring that looks full or empty (by design, without
// a time limit), so the harness calls get and get view only when the header
// says write_pos > read_pos, and put only when the ring's own room check says
// the record fits now or can never fit; commit never blocks. The mutex bytes
// are never damaged: a lock word full of garbage is not a ring state.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
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

bool has_data(const RingHeader& h) {
  return h.write_pos.load() > h.read_pos.load();
}

// The capacity the ring works with: the header's only when it is the size
// that was mapped; any other value is refused like one too small for a record.
uint64_t usable_capacity(const RingHeader& h) {
  return h.capacity == kData ? kData : 0;
}

// The ring's own rule: a record that can never fit is refused at once;
// otherwise put waits while the free space is short. Free space on a header
// whose positions are inconsistent is taken to be none.
bool put_returns_at_once(const RingHeader& h, uint64_t length) {
  const uint64_t capacity = usable_capacity(h);
  if (length > std::numeric_limits<uint32_t>::max() || capacity < 4 || length > capacity - 4)
    return true;
  const uint64_t read = h.read_pos.load(), write = h.write_pos.load();
  const uint64_t used = (write < read || write - read > capacity) ? capacity : write - read;
  return capacity - used >= 4 + length;
}

// A view must describe bytes inside the data region and its mirror.
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
  RingHeader& h = *r.handle.header;
  FuzzedDataProvider in(bytes, size);
  static const std::vector<uint8_t> payload(kData, 0x5a);

  // The damaged state.
  h.capacity = pick_capacity(in);
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
    switch (in.ConsumeIntegralInRange<int>(0, 6)) {
      case 0: {  // put
        const uint64_t length = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 2 * kData)
                                                 : in.ConsumeIntegral<uint64_t>();
        if (!put_returns_at_once(h, length)) break;
        // A length the ring accepts is below the mapped size, so the payload
        // buffer always holds what put copies.
        const uint64_t capacity = usable_capacity(h);
        if (capacity >= 4 && length <= capacity - 4 && length > payload.size())
          fail("accepted a record longer than the mapping");
        (void)vesk::ring_put(r.handle, payload.data(), length);
        break;
      }
      case 1: {  // get
        if (!has_data(h)) break;
        auto got = vesk::ring_get(r.handle);
        if (got.ok() && got->size > h.capacity) fail("get returned more than the capacity");
        break;
      }
      case 2: {  // get view
        if (!has_data(h)) break;
        auto view = vesk::ring_get_view(r.handle);
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
      case 5:  // damage a prefix at the read position or anywhere
        plant_prefix(r, in.ConsumeBool() ? h.read_pos.load() : in.ConsumeIntegral<uint64_t>(),
                     in.ConsumeIntegral<uint32_t>());
        break;
      default:  // damage a position or the capacity mid-run
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
          case 0:
            h.read_pos.store(pick_position(in, h.read_pos.load()));
            break;
          case 1:
            h.write_pos.store(pick_position(in, h.read_pos.load()));
            break;
          default:
            h.capacity = pick_capacity(in);
            break;
        }
        break;
    }
  }
  return 0;
}
