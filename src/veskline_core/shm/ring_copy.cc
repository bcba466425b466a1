#include "veskline_core/shm/ring_copy.h"

#include <emmintrin.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace vesk {

namespace {

// The size in bytes of a cache as sysfs reports it ("32768K"), or 0.
uint64_t read_cache_size(const char* path) {
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return 0;
  unsigned long long value = 0;
  char unit = 0;
  const int got = std::fscanf(file, "%llu%c", &value, &unit);
  std::fclose(file);
  if (got < 1) return 0;
  if (unit == 'K') value <<= 10;
  if (unit == 'M') value <<= 20;
  return value;
}

uint64_t find_last_level_cache() {
  // sysfs first: what the C library derives from cpuid is, on some virtual
  // machines, the cache of the whole host.
  uint64_t largest = 0;
  for (int index = 0; index < 8; ++index) {
    char path[96];
    std::snprintf(path, sizeof path, "/sys/devices/system/cpu/cpu0/cache/index%d/size", index);
    const uint64_t size = read_cache_size(path);
    if (size > largest) largest = size;
  }
  if (largest > 0) return largest;
  const long reported = ::sysconf(_SC_LEVEL3_CACHE_SIZE);
  if (reported > 0) return static_cast<uint64_t>(reported);
  return uint64_t{32} << 20;
}

}  // namespace

uint64_t last_level_cache_bytes() {
  static const uint64_t size = find_last_level_cache();
  return size;
}

void stream_copy(std::byte* dst, const std::byte* src, size_t n) {
  // Up to the first 16-byte boundary of dst, and the tail, by memcpy; the
  // rest 64 bytes at a time: unaligned loads, aligned streaming stores.
  const size_t head = std::min(n, (16 - reinterpret_cast<uintptr_t>(dst) % 16) % 16);
  std::memcpy(dst, src, head);
  size_t at = head;
  for (; at + 64 <= n; at += 64) {
    const auto* from = reinterpret_cast<const __m128i*>(src + at);
    auto* to = reinterpret_cast<__m128i*>(dst + at);
    const __m128i a = _mm_loadu_si128(from);
    const __m128i b = _mm_loadu_si128(from + 1);
    const __m128i c = _mm_loadu_si128(from + 2);
    const __m128i d = _mm_loadu_si128(from + 3);
    _mm_stream_si128(to, a);
    _mm_stream_si128(to + 1, b);
    _mm_stream_si128(to + 2, c);
    _mm_stream_si128(to + 3, d);
  }
  // Streaming stores are weakly ordered: make them visible before whatever
  // publishes the record.
  _mm_sfence();
  std::memcpy(dst + at, src + at, n - at);
}

void copy_to_ring(std::byte* dst, const std::byte* src, size_t n, uint64_t ring_bytes) {
  if (n >= kStreamCopyMin && ring_bytes > last_level_cache_bytes()) {
    stream_copy(dst, src, n);
  } else if (n > 0) {
    std::memcpy(dst, src, n);
  }
}

}  // namespace vesk
