#include "veskline_core/shm/segment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <utility>

#include "veskline_core/shm/named_object.h"

namespace vesk {

namespace {

// Maps `length` bytes of `fd` at object offset `offset` over the fixed address.
bool map_fixed(std::byte* address, uint64_t length, int fd, uint64_t offset) {
  return ::mmap(address, length, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                static_cast<off_t>(offset)) != MAP_FAILED;
}

Result<PlainSegment, SegmentError> map_plain(int fd) {
  void* address = ::mmap(nullptr, kPlainSegmentSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return Err{last_errno()};
  return PlainSegment(Mapping(address, kPlainSegmentSize));
}

// Opens or creates the object and maps it with `map`; a created object whose
// mapping fails is removed again (by NewObject).
template <class Map>
auto open_or_create(const std::string& system_name, bool create, uint64_t size,
                    Map map) -> decltype(map(0)) {
  if (!create) {
    auto fd = open_object(system_name);
    if (!fd) return Err{fd.error()};
    return map(fd.value().get());
  }
  auto created = create_object(system_name, size);
  if (!created) return Err{created.error()};
  auto mapped = map(created.value().fd());
  if (mapped) created.value().keep();
  return mapped;
}

}  // namespace

Result<std::string, SegmentError> normalize_segment_name(std::string_view name) {
  std::string system_name;
  if (name.empty() || name.front() != '/') system_name.push_back('/');
  system_name.append(name);
  if (const auto nul = system_name.find('\0'); nul != std::string::npos) {
    return Err{SegmentError::nul_in_name(nul)};
  }
  return system_name;
}

Result<PlainSegment, SegmentError> open_plain_segment(std::string_view name, bool create) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{system_name.error()};
  return open_or_create(system_name.value(), create, kPlainSegmentSize, map_plain);
}

Result<void, SegmentError> check_data_size(uint64_t data_size) {
  const long page_size = ::sysconf(_SC_PAGESIZE);
  const uint64_t page = page_size > 0 ? static_cast<uint64_t>(page_size) : 0;
  if (page == 0 || page > kHeaderRegionSize || kHeaderRegionSize % page != 0) {
    return Err{SegmentError::unaligned(kHeaderRegionSize, page)};
  }
  if (data_size % page != 0) return Err{SegmentError::unaligned(data_size, page)};
  return {};
}

Result<MirroredSegment, SegmentError> open_mirrored_segment(std::string_view name,
                                                            uint64_t data_size, bool create) {
  if (auto checked = check_data_size(data_size); !checked) return Err{checked.error()};

  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{system_name.error()};
  return open_or_create(system_name.value(), create, kHeaderRegionSize + data_size,
                        [data_size](int fd) { return map_mirrored(fd, data_size); });
}

Result<MirroredSegment, SegmentError> map_mirrored(int fd, uint64_t data_size) {
  // Header plus two data copies must fit in 64 bits; a larger range could not
  // be mapped anyway, so report it as mmap would.
  if (data_size > (std::numeric_limits<uint64_t>::max() - kHeaderRegionSize) / 2) {
    return Err{SegmentError::from_errno(ENOMEM)};
  }
  const uint64_t length = kHeaderRegionSize + 2 * data_size;

  // Reserve the whole range first so the three fixed mappings below can only
  // replace our own reservation, never someone else's pages.
  void* reserved = ::mmap(nullptr, length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (reserved == MAP_FAILED) return Err{last_errno()};
  Mapping mapping(reserved, length);
  std::byte* const base = mapping.base();

  // On failure `mapping` unmaps the whole range after errno has been read.
  if (!map_fixed(base, kHeaderRegionSize, fd, 0)) return Err{last_errno()};
  if (!map_fixed(base + kHeaderRegionSize, data_size, fd, kHeaderRegionSize)) {
    return Err{last_errno()};
  }
  if (!map_fixed(base + kHeaderRegionSize + data_size, data_size, fd, kHeaderRegionSize)) {
    return Err{last_errno()};
  }
  return MirroredSegment(std::move(mapping));
}

Result<void, SegmentError> unlink_segment(std::string_view name) {
  auto system_name = normalize_segment_name(name);
  if (!system_name) return Err{system_name.error()};
  if (::shm_unlink(system_name.value().c_str()) != 0) return Err{last_errno()};
  return {};
}

}  // namespace vesk
