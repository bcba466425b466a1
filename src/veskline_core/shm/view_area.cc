#include "veskline_core/shm/view_area.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vesk {

namespace {

uint64_t page_size() {
  static const auto size = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return size;
}

}  // namespace

Result<std::shared_ptr<ViewArea>, int> ViewArea::map(const std::byte* data, uint64_t data_size) {
  const uint64_t span = 2 * data_size;
  void* reserved = ::mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (reserved == MAP_FAILED) return Err{errno};
  std::shared_ptr<ViewArea> area(new ViewArea(static_cast<std::byte*>(reserved), span, data));
  // The data, then its second copy (a mapping of its own), in their places.
  for (uint64_t at = 0; at < span; at += data_size) {
    void* placed = ::mremap(const_cast<std::byte*>(data + at), 0, data_size,
                            MREMAP_MAYMOVE | MREMAP_FIXED, area->base_ + at);
    if (placed == MAP_FAILED) return Err{errno};  // `area` unmaps what was placed
  }
  return area;
}

ViewArea::~ViewArea() {
  ::munmap(base_, span_);
}

Result<void, int> ViewArea::freeze(const std::byte* at, uint64_t length) {
  // Retired before the copy is taken: a record claimed after this point may
  // share a copied page and is not read through this area (see retired()).
  retired_.store(true, std::memory_order_seq_cst);
  const uint64_t page = page_size();
  const auto address = reinterpret_cast<uintptr_t>(at);
  const uintptr_t low = address / page * page;
  const uintptr_t high = (address + length + page - 1) / page * page;
  const uint64_t span = high > low ? high - low : page;
  auto* target = reinterpret_cast<std::byte*>(low);
  void* copy = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) return Err{errno};
  std::memcpy(copy, target, span);
  if (::mprotect(copy, span, PROT_READ) != 0 ||
      ::mremap(copy, span, span, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
    const int error = errno;
    ::munmap(copy, span);
    return Err{error};
  }
  return {};
}

}  // namespace vesk
