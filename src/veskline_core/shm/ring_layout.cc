#include "veskline_core/shm/ring_layout.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/named_object.h"
#include "veskline_core/shm/robust_mutex.h"

namespace vesk {

namespace {

// How often a create that lost the race (EEXIST) goes back to opening. Each
// round needs the winner to have unlinked the name again between our open and
// our create, so a handful of rounds only gives up on a pathological churn.
constexpr int kAttachRounds = 5;

AttachError opening_error(RingError error) {
  return AttachError{AttachStage::Opening, SegmentError{}, error};
}

AttachError creation_error(SegmentError error) {
  return AttachError{AttachStage::Creation, error, RingError{}};
}

bool is_errno(const SegmentError& error, int value) {
  return error.kind() == SegmentError::Kind::Errno && error.err() == value;
}

// The name was removed while we waited for its header: its creator gave up.
bool gone(const AttachError& error) {
  return error.stage == AttachStage::Creation && is_errno(error.segment, ENOENT);
}

uint64_t page_size() {
  const long page = ::sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<uint64_t>(page) : 0;
}

// Waits for the header of an existing object to become ready, then maps the
// ring, for `expected` bytes of data or (0) for what the header says. Touches
// no byte beyond the object's size: only the header region is mapped while
// waiting, and only once the object is at least that long.
Result<AttachedRing, AttachError> attach_existing(int fd, uint64_t expected) {
  const int64_t start = monotonic_ns();
  Mapping header_region;
  uint64_t capacity = 0;
  for (;;) {
    if (!header_region.valid() && object_size(fd) >= static_cast<int64_t>(kHeaderRegionSize)) {
      void* base = ::mmap(nullptr, kHeaderRegionSize, PROT_READ, MAP_SHARED, fd, 0);
      // No address space for even the header: waiting would not change that.
      if (base == MAP_FAILED) return Err{creation_error(last_errno())};
      header_region = Mapping(base, kHeaderRegionSize);
    }
    if (header_region.valid()) {
      const auto* header = reinterpret_cast<const RingHeader*>(header_region.base());
      // Acquire: pairs with the creator's release store, so `capacity` and
      // the mutex are read as the creator left them.
      if (header->initialized.load(std::memory_order_acquire) != 0) {
        capacity = header->capacity;
        break;
      }
    }
    if (object_removed(fd)) return Err{creation_error(SegmentError::from_errno(ENOENT))};
    // Exactly the timeout still waits one more round.
    if (monotonic_ns() - start > kAttachTimeoutNs)
      return Err{opening_error(RingError::init_timeout())};
    sleep_ns(kAttachPollIntervalNs);
  }
  header_region.reset();

  const int64_t size = object_size(fd);
  const uint64_t found = size < static_cast<int64_t>(kHeaderRegionSize)
                             ? 0
                             : static_cast<uint64_t>(size) - kHeaderRegionSize;
  if (expected != 0 && capacity != expected)
    return Err{opening_error(RingError::header_mismatch(expected, capacity))};
  // A ready header whose object is shorter than its capacity says would fault
  // on first use, and one whose capacity no ring can have is damaged; both
  // are the mismatch they are.
  const uint64_t page = page_size();
  if (capacity == 0 || page == 0 || capacity % page != 0)
    return Err{opening_error(RingError::header_mismatch(capacity, found))};
  if (found < capacity) return Err{opening_error(RingError::header_mismatch(capacity, found))};

  auto mapped = map_mirrored(fd, capacity);
  if (!mapped) return Err{creation_error(mapped.error())};
  AttachedRing attached{std::move(mapped).value(), RingHandle{}};
  attached.ring = ring_handle(attached.segment.base(), attached.segment.length());
  return attached;
}

}  // namespace

Result<RingHandle, RingError> init_ring_header(std::byte* base, uint64_t mapping_length) {
  if (mapping_length <= kHeaderRegionSize) return Err{RingError::buffer_too_small()};
  RingHandle ring = ring_handle(base, mapping_length);
  RingHeader* header = ring.header;

  if (auto made = init_robust_mutex(&header->mutex); !made)
    return Err{RingError::mutex(made.error())};
  // The segment is fresh zeros already; the stores make the starting state
  // explicit. Nobody else looks at these before `initialized` is set.
  for (WakeWord* word : {ring.data_available, ring.space_available}) {
    word->sequence.store(0, std::memory_order_relaxed);
    word->waiting.store(0, std::memory_order_relaxed);
  }
  header->read_pos.store(0, std::memory_order_relaxed);
  header->write_pos.store(0, std::memory_order_relaxed);
  header->capacity = (mapping_length - kHeaderRegionSize) / 2;
  // Release: an attacher that sees 1 (acquire) sees every store above.
  header->initialized.store(1, std::memory_order_release);
  return ring;
}

RingHandle ring_handle(std::byte* base, uint64_t mapping_length) {
  auto* header = reinterpret_cast<RingHeader*>(base);
  const uint64_t data_size =
      mapping_length > kHeaderRegionSize ? (mapping_length - kHeaderRegionSize) / 2 : 0;
  return RingHandle{&header->mutex, &header->data_available,  &header->space_available,
                    header,         base + kHeaderRegionSize, data_size};
}

Result<AttachedRing, AttachError> open_ring(std::string_view name) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{creation_error(system_name.error())};
  auto fd = open_object(system_name.value());
  if (!fd) return Err{creation_error(fd.error())};
  return attach_existing(fd.value().get(), 0);
}

Result<AttachedRing, AttachError> create_ring(std::string_view name, uint64_t data_size) {
  if (auto checked = check_data_size(data_size); !checked)
    return Err{creation_error(checked.error())};
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{creation_error(system_name.error())};
  auto created = create_object(system_name.value(), kHeaderRegionSize + data_size);
  if (!created) return Err{creation_error(created.error())};
  // From here on, every failure removes the name again (NewObject).
  auto mapped = map_mirrored(created.value().fd(), data_size);
  if (!mapped) return Err{creation_error(mapped.error())};
  AttachedRing attached{std::move(mapped).value(), RingHandle{}};
  auto ring = init_ring_header(attached.segment.base(), attached.segment.length());
  if (!ring) return Err{AttachError{AttachStage::Initialisation, SegmentError{}, ring.error()}};
  attached.ring = ring.value();
  created.value().keep();
  return attached;
}

Result<AttachedRing, AttachError> attach_ring(std::string_view name, uint64_t data_size) {
  // No ring can be mapped with a data size of 0 or of partial pages, so such
  // a size never attaches: the create below reports why (or EEXIST for a
  // name that exists), instead of a 10-second wait on somebody else's object.
  const uint64_t page = page_size();
  const bool mappable = data_size != 0 && page != 0 && data_size % page == 0;
  for (int round = 1;; ++round) {
    if (mappable) {
      if (auto system_name = normalize_segment_name(name); system_name) {
        auto fd = open_object(system_name.value());
        if (fd) {
          auto attached = attach_existing(fd.value().get(), data_size);
          if (attached || !gone(attached.error())) return attached;
        } else if (is_errno(fd.error(), EACCES)) {
          return Err{creation_error(fd.error())};
        }
        // Otherwise the name is missing (or unusable, and the create below
        // says why).
      }
    }

    auto created = create_ring(name, data_size);
    if (created) return created;
    // Someone created the name between our open and our create: attach.
    if (created.error().stage == AttachStage::Creation &&
        is_errno(created.error().segment, EEXIST) && round < kAttachRounds)
      continue;
    return created;
  }
}

}  // namespace vesk
