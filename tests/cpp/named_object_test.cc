// Named objects under hostile conditions: a name squatted by another user,
// memory reserved at creation, creates that fail after the exclusive open,
// open_ring / create_ring, and an attacher without address space.
#include "veskline_core/shm/named_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "test_support.h"
#include "veskline_core/shm/named_lock.h"
#include "veskline_core/shm/ring_layout.h"
#include "veskline_core/shm/ring_ops.h"

namespace vesk {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using test::Child;
using test::ExitedCleanly;
using test::ShmName;
using test::Watchdog;

constexpr uint64_t kSize = 8192;
constexpr uid_t kNobody = 65534;

bool exists(const ShmName& name) {
  UniqueFd fd(::shm_open(name.str().c_str(), O_RDONLY, 0));
  return fd.valid();
}

struct stat status_of(const ShmName& name) {
  struct stat info {};
  UniqueFd fd(::shm_open(name.str().c_str(), O_RDONLY, 0));
  if (!fd.valid() || ::fstat(fd.get(), &info) != 0) ADD_FAILURE() << "no object " << name.str();
  return info;
}

bool mapped_here(const ShmName& name) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find("/dev/shm" + name.str() + " ") != std::string::npos ||
        line.ends_with("/dev/shm" + name.str()))
      return true;
  }
  return false;
}

void expect_errno(const SegmentError& error, int value) {
  EXPECT_EQ(error.kind(), SegmentError::Kind::Errno);
  EXPECT_EQ(error.err(), value) << error.text();
}

// What a squatter leaves: an object of the right size, readable and writable
// by everybody, owned by another user. Only root can hand it to that user.
bool squat(const ShmName& name, off_t size) {
  UniqueFd fd(::shm_open(name.str().c_str(), O_RDWR | O_CREAT | O_EXCL, 0666));
  return fd.valid() && ::fchmod(fd.get(), 0666) == 0 && ::ftruncate(fd.get(), size) == 0 &&
         ::fchown(fd.get(), kNobody, kNobody) == 0;
}

TEST(NamedObject, AnotherUsersObjectIsRefusedAndNeverMapped) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make an object of another user";
  Watchdog watchdog(20);
  ShmName ring_name;
  ShmName lock_name;
  ASSERT_TRUE(squat(ring_name, static_cast<off_t>(kHeaderRegionSize + kSize)));
  ASSERT_TRUE(squat(lock_name, off_t{kPlainSegmentSize}));

  auto opened = open_object(ring_name.str());
  ASSERT_FALSE(opened.ok());
  expect_errno(opened.error(), EACCES);
  EXPECT_EQ(opened.error().text(), "Nix error: EACCES: Permission denied");

  const auto start = steady_clock::now();
  for (bool sized : {true, false}) {
    auto attached = sized ? attach_ring(ring_name.str(), kSize) : open_ring(ring_name.str());
    ASSERT_FALSE(attached.ok());
    EXPECT_EQ(attached.error().stage, AttachStage::Creation);
    expect_errno(attached.error().segment, EACCES);
  }
  auto segment = open_mirrored_segment(ring_name.str(), kSize, false);
  ASSERT_FALSE(segment.ok());
  expect_errno(segment.error(), EACCES);
  auto lock = NamedLock::open(lock_name.str());
  ASSERT_FALSE(lock.ok());
  EXPECT_EQ(lock.error().text(), "Nix error: EACCES: Permission denied");
  EXPECT_LT(steady_clock::now() - start, milliseconds(2000)) << "waited on a foreign object";

  // Refused before mapping, and left exactly as the squatter made it.
  EXPECT_FALSE(mapped_here(ring_name));
  EXPECT_FALSE(mapped_here(lock_name));
  EXPECT_EQ(status_of(ring_name).st_uid, kNobody);
  EXPECT_EQ(status_of(ring_name).st_size, static_cast<off_t>(kHeaderRegionSize + kSize));
  EXPECT_EQ(status_of(lock_name).st_size, off_t{kPlainSegmentSize});

  // Our own object of the same shape is fine.
  ShmName own;
  ASSERT_TRUE(create_ring(own.str(), kSize).ok());
  EXPECT_TRUE(open_ring(own.str()).ok());
}

TEST(NamedObject, CreateReservesTheWholeObject) {
  Watchdog watchdog(20);
  ShmName name;
  constexpr uint64_t kLarge = uint64_t{4} << 20;
  auto ring = create_ring(name.str(), kLarge);
  ASSERT_TRUE(ring.ok()) << ring.error().text();
  // Every page is allocated now, not on first touch (a sparse object would
  // show only the header pages that init wrote).
  const struct stat info = status_of(name);
  EXPECT_EQ(info.st_size, static_cast<off_t>(kHeaderRegionSize + kLarge));
  EXPECT_GE(static_cast<uint64_t>(info.st_blocks) * 512, kHeaderRegionSize + kLarge);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ShmName lock_name;
  ASSERT_TRUE(NamedLock::open(lock_name.str()).ok());
  EXPECT_GE(status_of(lock_name).st_blocks * 512, off_t{kPlainSegmentSize});
}

TEST(NamedObject, FailedCreateRemovesOnlyItsOwnName) {
  Watchdog watchdog(20);
  ShmName name;
  {
    auto created = create_object(name.str(), 4096);
    ASSERT_TRUE(created.ok()) << created.error().text();
    EXPECT_TRUE(exists(name));
  }
  EXPECT_FALSE(exists(name)) << "a NewObject that was not kept left its name";

  {
    auto created = create_object(name.str(), 4096);
    ASSERT_TRUE(created.ok());
    created.value().keep();
  }
  EXPECT_TRUE(exists(name)) << "a kept NewObject removed its name";
  ASSERT_EQ(::shm_unlink(name.str().c_str()), 0);

  // Someone removes our new name and makes their own object under it: ours
  // going away must not take theirs.
  {
    auto created = create_object(name.str(), 4096);
    ASSERT_TRUE(created.ok());
    ASSERT_EQ(::shm_unlink(name.str().c_str()), 0);
    UniqueFd theirs(::shm_open(name.str().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    ASSERT_TRUE(theirs.valid());
  }
  EXPECT_TRUE(exists(name)) << "removed an object this call did not create";
}

TEST(CreateRing, FailuresAfterTheCreateLeaveNoName) {
  Watchdog watchdog(20);
  ShmName name;
  auto zero = create_ring(name.str(), 0);
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().stage, AttachStage::Creation);
  EXPECT_EQ(zero.error().text(), "Nix error: EINVAL: Invalid argument");
  EXPECT_FALSE(exists(name));

  // Beyond off_t: ftruncate refuses it, and the name goes again.
  auto huge = create_ring(name.str(), uint64_t{1} << 63);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error().text(), "Nix error: EINVAL: Invalid argument");
  EXPECT_FALSE(exists(name));

  // An existing name is somebody's: EEXIST, and the object stays as it was.
  auto made = create_ring(name.str(), kSize);
  ASSERT_TRUE(made.ok());
  auto again = create_ring(name.str(), kSize);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().text(), "Nix error: EEXIST: File exists");
  auto zero_again = create_ring(name.str(), 0);
  ASSERT_FALSE(zero_again.ok());
  EXPECT_EQ(zero_again.error().text(), "Nix error: EEXIST: File exists");
  ASSERT_TRUE(ring_put(made->ring, "kept", 4).ok());
  auto reopened = open_ring(name.str());
  ASSERT_TRUE(reopened.ok()) << reopened.error().text();
  auto got = ring_get(reopened->ring);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->size, 4u);
}

TEST(OpenRing, LearnsTheSizeAndNeverCreates) {
  Watchdog watchdog(20);
  ShmName name;
  auto missing = open_ring(name.str());
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().stage, AttachStage::Creation);
  EXPECT_EQ(missing.error().text(), "Nix error: ENOENT: No such file or directory");
  EXPECT_FALSE(exists(name));

  auto created = create_ring(name.str(), 4 * kSize);
  ASSERT_TRUE(created.ok());
  auto opened = open_ring(name.str());
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  EXPECT_EQ(opened->ring.data_size, 4 * kSize);
  EXPECT_EQ(opened->segment.data_size(), 4 * kSize);

  // A header whose capacity says more than the object holds, or no ring
  // size at all, is refused instead of mapped.
  created->ring.header->capacity = 8 * kSize;
  auto longer = open_ring(name.str());
  ASSERT_FALSE(longer.ok());
  EXPECT_EQ(longer.error().text(), "Header corruption or size mismatch (expected " +
                                       std::to_string(8 * kSize) + ", got " +
                                       std::to_string(4 * kSize) + ")");
  created->ring.header->capacity = 100;
  auto odd = open_ring(name.str());
  ASSERT_FALSE(odd.ok());
  EXPECT_EQ(odd.error().stage, AttachStage::Opening);
  EXPECT_EQ(odd.error().ring.kind(), RingError::Kind::HeaderMismatch);
}

// A creator that gives up removes its name; an attacher waiting for its
// header notices and creates the ring itself instead of timing out.
TEST(AttachRing, NameRemovedWhileWaitingIsCreatedAfresh) {
  Watchdog watchdog(30);
  ShmName name;
  UniqueFd fd(::shm_open(name.str().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
  ASSERT_TRUE(fd.valid());
  ASSERT_EQ(::ftruncate(fd.get(), static_cast<off_t>(kHeaderRegionSize + kSize)), 0);

  Child attacher([&] {
    auto attached = attach_ring(name.str(), kSize);
    if (!attached) return 1;
    return ring_put(attached->ring, "new", 3).ok() ? 0 : 2;
  });
  std::this_thread::sleep_for(milliseconds(150));
  ASSERT_TRUE(attacher.running()) << "attach did not wait for the unready header";
  const auto removed = steady_clock::now();
  ASSERT_EQ(::shm_unlink(name.str().c_str()), 0);
  EXPECT_TRUE(ExitedCleanly(attacher.wait_for(milliseconds(5000))));
  EXPECT_LT(steady_clock::now() - removed, milliseconds(5000));
  auto fresh = open_ring(name.str());
  ASSERT_TRUE(fresh.ok()) << fresh.error().text();
  EXPECT_EQ(fresh->ring.header->write_pos.load(), 7u);
}

// This process's current address-space size, from /proc/self/statm.
rlim_t address_space_now() {
  std::ifstream statm("/proc/self/statm");
  unsigned long pages = 0;
  statm >> pages;
  return static_cast<rlim_t>(pages) * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE));
}

TEST(AttachRing, NoAddressSpaceFailsAtOnceWithTheMappingError) {
  Watchdog watchdog(30);
  ShmName name;
  auto created = create_ring(name.str(), kSize);
  ASSERT_TRUE(created.ok());
  // 0 when the attach failed at once with ENOMEM at the Creation stage.
  Child limited([&] {
    const std::string own = name.str();  // allocated before the limit
    const rlimit limit{address_space_now(), RLIM_INFINITY};
    if (::setrlimit(RLIMIT_AS, &limit) != 0) return 10;
    const auto start = steady_clock::now();
    auto attached = attach_ring(own, kSize);
    if (attached) return 11;
    if (steady_clock::now() - start > milliseconds(2000)) return 12;
    if (attached.error().stage != AttachStage::Creation) return 13;
    return attached.error().segment.err() == ENOMEM ? 0 : 14;
  });
  EXPECT_TRUE(ExitedCleanly(limited.wait_for(milliseconds(20000))));
}

}  // namespace
}  // namespace vesk
