// A second mapping of a claimed record's bytes, for a reader that hands out
// pointers it cannot take back (buffers exported to Python).
//
// The new mapping shares the ring's pages (mremap with an old size of 0
// duplicates a shared mapping), so it shows the record in place, with no
// copy. When a reader's pointers outlive its claim, freeze() first puts a
// private, read-only copy of the bytes at the same addresses: the pointers
// keep showing the record as it was, never what a producer writes there
// later, and the claim can end. Unmapped on destruction.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "veskline_core/shm/result.h"

namespace vesk {

class ViewMapping {
 public:
  ViewMapping() = default;
  ViewMapping(ViewMapping&& other) noexcept
      : area_(std::exchange(other.area_, nullptr)),
        span_(std::exchange(other.span_, 0)),
        offset_(other.offset_) {}
  ViewMapping& operator=(ViewMapping&& other) noexcept;
  ViewMapping(const ViewMapping&) = delete;
  ViewMapping& operator=(const ViewMapping&) = delete;
  ~ViewMapping() { reset(); }

  // Maps [data, data + length) of a mirrored ring again. `mirror` is where
  // the ring's second data copy starts (a separate mapping): a range that
  // crosses it is mapped in two pieces, back to back. Fails with the errno.
  static Result<ViewMapping, int> of(const std::byte* data, uint64_t length,
                                     const std::byte* mirror);

  const std::byte* data() const { return area_ == nullptr ? nullptr : area_ + offset_; }
  bool frozen() const { return frozen_; }

  // Puts a private read-only copy of the bytes in place of the shared pages.
  Result<void, int> freeze();

  void reset();

 private:
  std::byte* area_ = nullptr;
  uint64_t span_ = 0;
  uint64_t offset_ = 0;
  bool frozen_ = false;
};

}  // namespace vesk
