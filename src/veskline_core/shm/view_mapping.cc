#include "veskline_core/shm/view_mapping.h"

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

ViewMapping& ViewMapping::operator=(ViewMapping&& other) noexcept {
  if (this != &other) {
    reset();
    area_ = std::exchange(other.area_, nullptr);
    span_ = std::exchange(other.span_, 0);
    offset_ = other.offset_;
    frozen_ = other.frozen_;
  }
  return *this;
}

Result<ViewMapping, int> ViewMapping::of(const std::byte* data, uint64_t length,
                                         const std::byte* mirror) {
  const uint64_t page = page_size();
  const auto address = reinterpret_cast<uintptr_t>(data);
  const uintptr_t low = address / page * page;
  const uintptr_t high = (address + length + page - 1) / page * page;
  ViewMapping view;
  view.span_ = high > low ? high - low : page;
  view.offset_ = address - low;
  const auto split = reinterpret_cast<uintptr_t>(mirror);
  if (split <= low || split >= low + view.span_) {
    // One piece: the kernel picks the address.
    void* placed = ::mremap(reinterpret_cast<void*>(low), 0, view.span_, MREMAP_MAYMOVE);
    if (placed == MAP_FAILED) return Err{errno};
    view.area_ = static_cast<std::byte*>(placed);
    return view;
  }
  // Two pieces, back to back in an address range of our own.
  void* area = ::mmap(nullptr, view.span_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (area == MAP_FAILED) return Err{errno};
  view.area_ = static_cast<std::byte*>(area);
  for (uintptr_t at = low; at < low + view.span_;) {
    const uintptr_t end = at < split ? split : low + view.span_;
    void* placed = ::mremap(reinterpret_cast<void*>(at), 0, end - at, MREMAP_MAYMOVE | MREMAP_FIXED,
                            view.area_ + (at - low));
    if (placed == MAP_FAILED) return Err{errno};  // `view` unmaps what was placed
    at = end;
  }
  return view;
}

Result<void, int> ViewMapping::freeze() {
  if (area_ == nullptr || frozen_) return {};
  void* copy = ::mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (copy == MAP_FAILED) return Err{errno};
  std::memcpy(copy, area_, span_);
  if (::mprotect(copy, span_, PROT_READ) != 0 ||
      ::mremap(copy, span_, span_, MREMAP_MAYMOVE | MREMAP_FIXED, area_) == MAP_FAILED) {
    const int error = errno;
    ::munmap(copy, span_);
    return Err{error};
  }
  frozen_ = true;
  return {};
}

void ViewMapping::reset() {
  if (area_ != nullptr) ::munmap(area_, span_);
  area_ = nullptr;
  span_ = 0;
  frozen_ = false;
}

}  // namespace vesk
