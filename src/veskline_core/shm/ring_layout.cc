#include "veskline_core/shm/ring_layout.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/robust_mutex.h"
#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/unique_fd.h"

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

// The object's current size, or -1 when it cannot be read (treated like an
// object that is still too short).
int64_t object_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

// Waits for the header of an existing object to become ready, then maps the
// ring. Touches no byte beyond the object's size: only the header region is
// mapped while waiting, and only once the object is at least that long.
Result<AttachedRing, AttachError> attach_existing(int fd, uint64_t data_size) {
  const int64_t start = monotonic_ns();
  Mapping header_region;
  for (;;) {
    if (!header_region.valid() && object_size(fd) >= static_cast<int64_t>(kHeaderRegionSize)) {
      void* base = ::mmap(nullptr, kHeaderRegionSize, PROT_READ, MAP_SHARED, fd, 0);
      if (base != MAP_FAILED) header_region = Mapping(base, kHeaderRegionSize);
    }
    if (header_region.valid()) {
      const auto* header = reinterpret_cast<const RingHeader*>(header_region.base());
      // Acquire: pairs with the creator's release store, so `capacity` and
      // the mutex are read as the creator left them.
      if (header->initialized.load(std::memory_order_acquire) != 0) {
        const uint64_t capacity = header->capacity;
        if (capacity != data_size)
          return Err{opening_error(RingError::header_mismatch(data_size, capacity))};
        break;
      }
    }
    // Exactly the timeout still waits one more round.
    if (monotonic_ns() - start > kAttachTimeoutNs)
      return Err{opening_error(RingError::init_timeout())};
    sleep_ns(kAttachPollIntervalNs);
  }
  header_region.reset();

  // A ready header whose object is shorter than its capacity says would fault
  // on first use; report it as the mismatch it is.
  const int64_t size = object_size(fd);
  if (size < static_cast<int64_t>(kHeaderRegionSize + data_size)) {
    const uint64_t found = size < static_cast<int64_t>(kHeaderRegionSize)
                               ? 0
                               : static_cast<uint64_t>(size) - kHeaderRegionSize;
    return Err{opening_error(RingError::header_mismatch(data_size, found))};
  }

  auto mapped = map_mirrored(fd, data_size);
  if (!mapped) return Err{creation_error(mapped.error())};
  AttachedRing attached{std::move(mapped).value(), RingHandle{}};
  attached.ring = ring_handle(attached.segment.base(), attached.segment.length());
  return attached;
}

// Opens an existing object read-write, or returns an invalid descriptor.
UniqueFd open_existing(std::string_view name) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return UniqueFd{};
  return UniqueFd(::shm_open(system_name.value().c_str(), O_RDWR, 0));
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

Result<AttachedRing, AttachError> attach_ring(std::string_view name, uint64_t data_size) {
  // No ring can be mapped with a data size of 0 or of partial pages, so such
  // a size never attaches: the create below reports why (or EEXIST for a
  // name that exists), instead of a 10-second wait on somebody else's object.
  const auto page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  const bool mappable = data_size != 0 && page != 0 && data_size % page == 0;
  for (int round = 1;; ++round) {
    if (mappable) {
      if (UniqueFd fd = open_existing(name); fd.valid())
        return attach_existing(fd.get(), data_size);
    }

    auto created = open_mirrored_segment(name, data_size, true);
    if (!created) {
      const SegmentError& error = created.error();
      const bool lost_race = error.kind() == SegmentError::Kind::Errno && error.err() == EEXIST;
      // Someone created the name between our open and our create: attach.
      if (lost_race && round < kAttachRounds) continue;
      return Err{creation_error(error)};
    }

    MirroredSegment segment = std::move(created).value();
    auto ring = init_ring_header(segment.base(), segment.length());
    // On failure `segment` unmaps as it goes out of scope; the name stays.
    if (!ring) return Err{AttachError{AttachStage::Initialisation, SegmentError{}, ring.error()}};
    return AttachedRing{std::move(segment), ring.value()};
  }
}

}  // namespace vesk
