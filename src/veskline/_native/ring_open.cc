#include "veskline/_native/ring_open.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <utility>

#include "veskline_core/shm/clock.h"
#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/unique_fd.h"

namespace veskline::native {

using vesk::AttachedRing;
using vesk::Err;
using vesk::Result;

namespace {

int64_t object_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

OpenError from_errno(int err) { return OpenError{err, ""}; }
OpenError message(const char* text) { return OpenError{-1, text}; }

}  // namespace

Result<AttachedRing, OpenError> open_ring_by_name(std::string_view name) {
  auto system_name = vesk::normalize_segment_name(name);
  if (!system_name) return Err{message("invalid shared-memory name")};
  vesk::UniqueFd fd(::shm_open(system_name.value().c_str(), O_RDWR, 0));
  if (!fd.valid()) return Err{from_errno(errno)};
  // The creator sizes the object, then initialises its header: wait for both.
  const int64_t start = vesk::monotonic_ns();
  uint64_t capacity = 0;
  for (;;) {
    if (object_size(fd.get()) >= static_cast<int64_t>(vesk::kHeaderRegionSize)) {
      void* base = ::mmap(nullptr, vesk::kHeaderRegionSize, PROT_READ, MAP_SHARED, fd.get(), 0);
      if (base == MAP_FAILED) return Err{from_errno(errno)};
      vesk::Mapping header_region(base, vesk::kHeaderRegionSize);
      const auto* header = static_cast<const vesk::RingHeader*>(base);
      if (header->initialized.load(std::memory_order_acquire) != 0) {
        capacity = header->capacity;
        break;
      }
    }
    if (vesk::monotonic_ns() - start > vesk::kAttachTimeoutNs)
      return Err{message("the ring's creator never finished initialising it")};
    vesk::sleep_ns(vesk::kAttachPollIntervalNs);
  }
  const int64_t size = object_size(fd.get());
  if (capacity == 0 || size < 0 ||
      static_cast<uint64_t>(size) < vesk::kHeaderRegionSize + capacity)
    return Err{message("the shared-memory object is not a ring")};
  auto mapped = vesk::map_mirrored(fd.get(), capacity);
  if (!mapped) return Err{from_errno(mapped.error().err() != 0 ? mapped.error().err() : EINVAL)};
  AttachedRing attached{std::move(mapped).value(), vesk::RingHandle{}};
  attached.ring = vesk::ring_handle(attached.segment.base(), attached.segment.length());
  return attached;
}

Result<AttachedRing, OpenError> create_ring_exclusive(std::string_view name, uint64_t data_size) {
  auto created = vesk::open_mirrored_segment(name, data_size, true);
  if (!created) {
    const auto& error = created.error();
    const bool exists = error.kind() == vesk::SegmentError::Kind::Errno && error.err() == EEXIST;
    // Anything but EEXIST failed after (or instead of) our exclusive create.
    if (!exists) (void)vesk::unlink_segment(name);
    if (error.kind() == vesk::SegmentError::Kind::Errno) return Err{from_errno(error.err())};
    return Err{message("invalid shared-memory name or size")};
  }
  vesk::MirroredSegment segment = std::move(created).value();
  auto ring = vesk::init_ring_header(segment.base(), segment.length());
  if (!ring) {
    (void)vesk::unlink_segment(name);
    return Err{message("could not initialise the ring's header")};
  }
  return AttachedRing{std::move(segment), ring.value()};
}

}  // namespace veskline::native
