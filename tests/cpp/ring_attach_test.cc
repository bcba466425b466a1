// Create-or-attach: sharing one ring, size mismatches, racing creators,
// objects that are too short or never become ready, and create-path errors.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "veskline_core/shm/ring_ops.h"
#include "veskline_core/shm/segment.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::Child;
using test::ExitedCleanly;
using test::ShmName;
using test::TestRing;
using test::Watchdog;

constexpr uint64_t kSize = 8192;

// Lines of /proc/self/maps that map the object `name`.
int mappings_of(const std::string& name) {
  std::ifstream maps("/proc/self/maps");
  int count = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name) != std::string::npos) ++count;
  }
  return count;
}

// Creates the object with shm_open + ftruncate only, as a creator that has
// not (or never will) initialise the header leaves it.
UniqueFd make_raw_object(const ShmName& name, off_t size) {
  UniqueFd fd(::shm_open(name.str().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  if (fd.valid() && ::ftruncate(fd.get(), size) != 0) fd.reset();
  return fd;
}

TEST(RingAttach, FreshRingHasAClearHeader) {
  Watchdog watchdog(10);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const RingHeader& header = ring.header();
  EXPECT_EQ(header.read_pos.load(), 0u);
  EXPECT_EQ(header.write_pos.load(), 0u);
  EXPECT_EQ(header.capacity, kSize);
  EXPECT_EQ(header.initialized.load(), 1u);
  EXPECT_EQ(ring.ring.segment.length(), kHeaderRegionSize + 2 * kSize);
  const auto zero = [](const auto& bytes) {
    return std::all_of(std::begin(bytes), std::end(bytes),
                       [](std::byte b) { return b == std::byte{0}; });
  };
  EXPECT_TRUE(zero(header.reserved0) && zero(header.reserved1) && zero(header.reserved2) &&
              zero(header.reserved3));
  EXPECT_EQ(header.data_available.waiting.load(), 0u);
  EXPECT_EQ(header.space_available.waiting.load(), 0u);
}

TEST(RingAttach, SecondAttacherSharesTheRing) {
  Watchdog watchdog(20);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const std::string name = ring.name.str();
  Child other([&] {
    auto attached = attach_ring(name, kSize);
    if (!attached) return 1;
    if (attached->ring.header->capacity != kSize) return 2;
    return ring_put(attached->ring, "hi", 2).ok() ? 0 : 3;
  });
  ASSERT_TRUE(ExitedCleanly(other.wait_for(milliseconds(5000))));
  auto got = ring_get(ring.handle());
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(got->data.get()), got->size), "hi");
}

// The attacher's size on either side of the creator's.
class RingSizeMismatch : public ::testing::TestWithParam<uint64_t> {};

TEST_P(RingSizeMismatch, FailsAtOnceWithBothSizesAndLeavesNothingMapped) {
  Watchdog watchdog(10);
  TestRing ring(kSize);
  ASSERT_TRUE(ring.ok());
  const int mapped_before = mappings_of(ring.name.str());
  ASSERT_GT(mapped_before, 0);

  const uint64_t mine = GetParam();
  const auto start = steady_clock::now();
  auto attached = attach_ring(ring.name.str(), mine);
  EXPECT_LT(steady_clock::now() - start, milliseconds(1000)) << "waited instead of failing";
  ASSERT_FALSE(attached.ok());
  EXPECT_EQ(attached.error().stage, AttachStage::Opening);
  EXPECT_EQ(attached.error().ring.kind(), RingError::Kind::HeaderMismatch);
  EXPECT_EQ(attached.error().text(), "Header corruption or size mismatch (expected " +
                                         std::to_string(mine) + ", got " + std::to_string(kSize) +
                                         ")");
  EXPECT_EQ(mappings_of(ring.name.str()), mapped_before);
}

INSTANTIATE_TEST_SUITE_P(SmallerAndLarger, RingSizeMismatch, ::testing::Values(4096, 16384));

TEST(RingAttach, ConcurrentCreatorsAllSucceed) {
  Watchdog watchdog(60);
  constexpr int kRounds = 5;
  constexpr int kProcesses = 8;
  for (int round = 0; round < kRounds; ++round) {
    ShmName name;
    test::Pipe start;
    std::vector<Child> children;
    for (int id = 0; id < kProcesses; ++id) {
      children.emplace_back([&, id] {
        start.close_write();
        char c = 0;
        if (::read(start.read_end(), &c, 1) != 0) return 9;  // released by EOF
        auto attached = attach_ring(name.str(), kSize);
        if (!attached) return 10 + static_cast<int>(attached.error().stage);
        const auto tag = static_cast<char>('A' + id);
        return ring_put(attached->ring, &tag, 1).ok() ? 0 : 20;
      });
    }
    start.close_write();  // all children start at once
    for (auto& child : children) {
      ASSERT_TRUE(ExitedCleanly(child.wait_for(milliseconds(15000)))) << "round " << round;
    }

    auto attached = attach_ring(name.str(), kSize);
    ASSERT_TRUE(attached.ok());
    std::set<char> tags;
    for (int i = 0; i < kProcesses; ++i) {
      auto got = ring_get(attached->ring);
      ASSERT_TRUE(got.ok() && got->size == 1);
      tags.insert(static_cast<char>(got->data[0]));
    }
    EXPECT_EQ(tags.size(), static_cast<size_t>(kProcesses));
    EXPECT_EQ(attached->ring.header->read_pos.load(), attached->ring.header->write_pos.load());
  }
}

TEST(RingAttach, RingThatNeverBecomesReadyTimesOut) {
  Watchdog watchdog(30);
  ShmName name;
  UniqueFd fd = make_raw_object(name, static_cast<off_t>(kHeaderRegionSize + kSize));
  ASSERT_TRUE(fd.valid());

  const auto start = steady_clock::now();
  auto attached = attach_ring(name.str(), kSize);
  const auto waited = steady_clock::now() - start;
  ASSERT_FALSE(attached.ok());
  EXPECT_EQ(attached.error().stage, AttachStage::Opening);
  EXPECT_EQ(attached.error().text(), "Initialization timeout");
  EXPECT_GE(waited, milliseconds(10000));
  EXPECT_LT(waited, milliseconds(15000));
  EXPECT_EQ(mappings_of(name.str()), 0);
}

// An object still shorter than the header region (its creator has not sized
// it yet) is waited for like an unready header, without touching it: the
// attacher would die of SIGBUS reading a header beyond the object's end.
class RingShortObject : public ::testing::TestWithParam<off_t> {};

TEST_P(RingShortObject, IsWaitedForUntilItsCreatorFinishes) {
  Watchdog watchdog(20);
  ShmName name;
  UniqueFd fd = make_raw_object(name, GetParam());
  ASSERT_TRUE(fd.valid());

  Child attacher([&] {
    auto attached = attach_ring(name.str(), kSize);
    if (!attached) return 1;
    return attached->ring.header->capacity == kSize ? 0 : 2;
  });
  std::this_thread::sleep_for(milliseconds(150));
  ASSERT_TRUE(attacher.running()) << "attach did not wait for the short object";

  // Finish the creator's work: size the object and initialise its header.
  ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(kHeaderRegionSize + kSize)), 0);
  auto segment = map_mirrored(fd.get(), kSize);
  ASSERT_TRUE(segment.ok());
  ASSERT_TRUE(init_ring_header(segment->base(), segment->length()).ok());
  EXPECT_TRUE(ExitedCleanly(attacher.wait_for(milliseconds(2000))));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RingShortObject, ::testing::Values(0, 100, 8192));

TEST(RingAttach, CreatePathErrorsKeepTheirSegmentError) {
  Watchdog watchdog(10);
  ShmName name;
  auto unaligned = attach_ring(name.str(), 1000);
  ASSERT_FALSE(unaligned.ok());
  EXPECT_EQ(unaligned.error().stage, AttachStage::Creation);
  EXPECT_EQ(unaligned.error().text(), "Size must be page-aligned (got 1000, page size " +
                                          std::to_string(::sysconf(_SC_PAGESIZE)) + ")");

  // The open fails on the name first; the create's error is the one reported.
  auto nul = attach_ring(std::string("a\0b", 3), kSize);
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().stage, AttachStage::Creation);
  EXPECT_EQ(nul.error().text(), "CString error: nul byte found in provided data at position: 2");
}

}  // namespace
}  // namespace vesk
