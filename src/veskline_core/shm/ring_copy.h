// Copying a payload into a ring.
//
// A ring larger than the last-level cache is written all over before any of
// its bytes are written again, so by then they have left the cache, and a
// plain copy first reads every destination line from memory only to
// overwrite it. Large copies into such a ring use non-temporal stores, which
// skip that read: a memory-bound copy of a 6 MB frame into a 50 MB ring runs
// about 1.5x as fast. Small copies, and copies into a ring the cache can
// hold, use memcpy, which keeps the bytes cached for a reader on another core.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Copies at least this much with non-temporal stores, into a large ring.
inline constexpr size_t kStreamCopyMin = 1 << 20;

// Copies n bytes to dst, a place in a ring of `ring_bytes` bytes of data.
void copy_to_ring(std::byte* dst, const std::byte* src, size_t n, uint64_t ring_bytes);

// The non-temporal copy itself (its stores are ordered before any later
// store when it returns), for any size and alignment.
void stream_copy(std::byte* dst, const std::byte* src, size_t n);

// The size of the largest cache of this machine, in bytes.
uint64_t last_level_cache_bytes();

}  // namespace vesk
