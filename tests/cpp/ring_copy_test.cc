// Copies into a ring: the streaming copy writes exactly the bytes asked for,
// whatever the size and the alignment of either side, and nothing around them.
#include "veskline_core/shm/ring_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace vesk {
namespace {

TEST(RingCopy, StreamCopyWritesExactlyTheBytesAtAnyAlignmentAndSize) {
  std::mt19937 rng(11);
  std::vector<std::byte> src(3 << 20);
  for (auto& b : src) b = static_cast<std::byte>(rng());
  std::vector<std::byte> dst(src.size() + 256);
  std::vector<size_t> sizes = {0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 4095, 4096, 65'537};
  sizes.push_back(kStreamCopyMin - 1);
  sizes.push_back(kStreamCopyMin + 33);
  for (size_t size : sizes) {
    for (size_t dst_off : {0, 1, 4, 15, 16, 60}) {
      for (size_t src_off : {0, 3, 16}) {
        std::memset(dst.data(), 0x5a, dst.size());
        stream_copy(dst.data() + dst_off, src.data() + src_off, size);
        ASSERT_EQ(std::memcmp(dst.data() + dst_off, src.data() + src_off, size), 0)
            << size << " bytes to +" << dst_off << " from +" << src_off;
        for (size_t i = 0; i < dst_off; ++i) ASSERT_EQ(dst[i], std::byte{0x5a});
        for (size_t i = dst_off + size; i < dst.size(); ++i) ASSERT_EQ(dst[i], std::byte{0x5a});
      }
    }
  }
}

TEST(RingCopy, CopyToRingCopiesWhicheverWayItGoes) {
  std::vector<std::byte> src(kStreamCopyMin + 100, std::byte{7});
  std::vector<std::byte> dst(src.size() + 8);
  for (uint64_t ring_bytes : {uint64_t{1} << 20, last_level_cache_bytes() * 2}) {
    std::memset(dst.data(), 0, dst.size());
    copy_to_ring(dst.data() + 4, src.data(), src.size(), ring_bytes);
    EXPECT_EQ(std::memcmp(dst.data() + 4, src.data(), src.size()), 0);
    EXPECT_EQ(dst[3], std::byte{0});
    EXPECT_EQ(dst[4 + src.size()], std::byte{0});
  }
  EXPECT_GT(last_level_cache_bytes(), 0u);
}

}  // namespace
}  // namespace vesk
