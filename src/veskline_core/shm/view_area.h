// A second mapping of a mirrored ring's data, both copies back to back, for a
// reader that hands out pointers it cannot take back (buffers exported to
// Python).
//
// Mapped once and reused for every record, so reading a record in place
// costs no system call and the pages a reader touched stay mapped. The area
// shares the ring's pages (mremap with an old size of 0 duplicates a shared
// mapping), so it shows each record in place, with no copy. When pointers to
// a record outlive the record's claim, freeze() first puts a private,
// read-only copy of its pages at the same addresses: they keep showing the
// record as it was, never what a producer writes there later. A freeze
// retires the area: a page it copied may also hold the start of a record
// that was not yet written, so records claimed after it are read through a
// new area. Unmapped when the last owner lets go.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "veskline_core/shm/result.h"

namespace vesk {

class ViewArea {
 public:
  // Maps [data, data + 2 * data_size) of a ring whose second copy of the
  // data starts at data + data_size. Fails with the errno.
  static Result<std::shared_ptr<ViewArea>, int> map(const std::byte* data, uint64_t data_size);

  ViewArea(const ViewArea&) = delete;
  ViewArea& operator=(const ViewArea&) = delete;
  ~ViewArea();

  // Where a byte of the ring's data (or of its second copy) shows here.
  const std::byte* at(const std::byte* ring_byte) const { return base_ + (ring_byte - data_); }

  // Check after claiming a record: a record claimed once the area is retired
  // must be read through a new one.
  bool retired() const { return retired_.load(std::memory_order_seq_cst); }

  // Retires the area, then puts a private read-only copy of the pages of
  // [at, at + length) (an address from at()) in their place.
  Result<void, int> freeze(const std::byte* at, uint64_t length);

 private:
  ViewArea(std::byte* base, uint64_t span, const std::byte* data)
      : base_(base), span_(span), data_(data) {}

  std::byte* base_;
  uint64_t span_;
  const std::byte* data_;
  std::atomic<bool> retired_{false};
};

}  // namespace vesk
