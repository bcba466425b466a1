// Named POSIX shared-memory segments and their mappings.
//
// A caller's name becomes a system name by putting "/" in front unless it
// already starts with one; a NUL byte anywhere is refused. Two shapes exist:
//   - PlainSegment: one 4096-byte object mapped once (the lock record);
//   - MirroredSegment: a 16384-byte header region followed by a data region of
//     S bytes that is mapped twice back to back, so any range of up to S bytes
//     starting inside the data region is contiguous in memory.
// Objects are opened and created through named_object.h: an existing object
// of another user is refused (EACCES), a new one is reserved whole, and a
// create that fails after the exclusive open removes the object it made. The
// descriptor is closed before every open/create returns, on every path; the
// segment value owns only its mapping. All functions are thread-safe and keep
// no state; they never touch Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/mapping.h"
#include "veskline_core/shm/named_object.h"
#include "veskline_core/shm/result.h"

namespace vesk {

inline constexpr uint64_t kHeaderRegionSize = 16384;
inline constexpr uint64_t kPlainSegmentSize = 4096;

// The system name for `name`, NUL-terminated by std::string.
Result<std::string, SegmentError> normalize_segment_name(std::string_view name);

class PlainSegment {
 public:
  PlainSegment() = default;
  explicit PlainSegment(Mapping mapping) : mapping_(std::move(mapping)) {}
  std::byte* address() const { return mapping_.base(); }
  uint64_t length() const { return mapping_.length(); }

 private:
  Mapping mapping_;
};

class MirroredSegment {
 public:
  MirroredSegment() = default;
  explicit MirroredSegment(Mapping mapping) : mapping_(std::move(mapping)) {}
  std::byte* base() const { return mapping_.base(); }
  // kHeaderRegionSize + 2 * data size.
  uint64_t length() const { return mapping_.length(); }
  uint64_t data_size() const { return (length() - kHeaderRegionSize) / 2; }

 private:
  Mapping mapping_;
};

// Opens (create = false) or exclusively creates (create = true, size 4096)
// the object and maps its 4096 bytes.
Result<PlainSegment, SegmentError> open_plain_segment(std::string_view name, bool create);

// The data sizes a mirrored segment can have the shape for: multiples of the
// page size, with the header region a whole number of pages. Unaligned
// otherwise. (0 passes: it fails when mapped.)
Result<void, SegmentError> check_data_size(uint64_t data_size);

// Opens or exclusively creates (size 16384 + data_size) the object and maps it
// mirrored. data_size must be a multiple of the page size; 0 passes that check
// and fails when the empty data region is mapped (EINVAL), after which a
// created object is removed again.
Result<MirroredSegment, SegmentError> open_mirrored_segment(std::string_view name,
                                                            uint64_t data_size, bool create);

// Maps an already open descriptor mirrored, for data_size bytes of data. Used
// by open_mirrored_segment and by callers that must look at the object (its
// size) before mapping it. The descriptor stays the caller's.
Result<MirroredSegment, SegmentError> map_mirrored(int fd, uint64_t data_size);

Result<void, SegmentError> unlink_segment(std::string_view name);

}  // namespace vesk
