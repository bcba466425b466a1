// Named shared-memory segments: name normalisation, exclusive creation, sizes,
// the mirrored mapping (also between processes), descriptor hygiene and
// unlinking.

#include "veskline_core/shm/segment.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace vesk {
namespace {

// A unique name per test that is removed again however the test ends.
class TestName {
 public:
  TestName() : name_("vk_segtest_" + std::to_string(::getpid()) + "_" + std::to_string(next_++)) {}
  ~TestName() { ::shm_unlink(system().c_str()); }
  TestName(const TestName&) = delete;
  TestName& operator=(const TestName&) = delete;

  const std::string& name() const { return name_; }
  std::string system() const { return "/" + name_; }

 private:
  static inline int next_ = 0;
  std::string name_;
};

uint64_t page_size() {
  return static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}

// Size of the object behind a system name, or -1 if it cannot be opened.
off_t object_size(const std::string& system_name) {
  const int fd = ::shm_open(system_name.c_str(), O_RDONLY, 0);
  if (fd < 0) return -1;
  struct stat st {};
  const int rc = ::fstat(fd, &st);
  ::close(fd);
  return rc == 0 ? st.st_size : -1;
}

size_t open_fd_count() {
  size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++count;
  }
  return count;
}

// Whether any mapping of this process is backed by the named object.
bool mapped_in_process(const TestName& name) {
  std::ifstream maps("/proc/self/maps");
  for (std::string line; std::getline(maps, line);) {
    if (line.find(name.name()) != std::string::npos) return true;
  }
  return false;
}

// Runs `body` in a forked child bounded by an alarm; returns its exit status
// (0 when every check in the child passed).
template <class Body>
int run_in_child(Body body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(10);
    ::_exit(body());
  }
  if (pid < 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void expect_errno(const SegmentError& error, int value) {
  EXPECT_EQ(error.kind(), SegmentError::Kind::Errno);
  EXPECT_EQ(error.err(), value) << error.text();
}

std::byte* data_of(const MirroredSegment& s) {
  return s.base() + kHeaderRegionSize;
}
std::byte* mirror_of(const MirroredSegment& s) {
  return data_of(s) + s.data_size();
}

class MirroredSegmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    alarm(60);
    if (page_size() > kHeaderRegionSize) GTEST_SKIP() << "page size above the header region";
  }
  void TearDown() override { alarm(0); }
};

TEST(SegmentName, Normalisation) {
  EXPECT_EQ(normalize_segment_name("jobs").value(), "/jobs");
  EXPECT_EQ(normalize_segment_name("/jobs").value(), "/jobs");
  EXPECT_EQ(normalize_segment_name("").value(), "/");
  EXPECT_EQ(normalize_segment_name("//a/b").value(), "//a/b");

  const auto no_slash = normalize_segment_name(std::string_view("ab\0c", 4));
  ASSERT_FALSE(no_slash.ok());
  EXPECT_EQ(no_slash.error().kind(), SegmentError::Kind::NulInName);
  EXPECT_EQ(no_slash.error().position(), 3u);
  EXPECT_EQ(no_slash.error().text(),
            "CString error: nul byte found in provided data at position: 3");

  EXPECT_EQ(normalize_segment_name(std::string_view("/a\0b", 4)).error().position(), 2u);
  EXPECT_EQ(normalize_segment_name(std::string_view("\0", 1)).error().position(), 1u);
  EXPECT_EQ(normalize_segment_name(std::string_view("a\0b\0", 4)).error().position(), 2u);
}

TEST(SegmentName, WithAndWithoutSlashNameTheSameObject) {
  TestName name;
  auto created = open_plain_segment(name.name(), true);
  ASSERT_TRUE(created.ok()) << created.error().text();
  auto opened = open_plain_segment(name.system(), false);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  ASSERT_NE(created->address(), opened->address());
  created->address()[100] = std::byte{0x5A};
  EXPECT_EQ(opened->address()[100], std::byte{0x5A});

  auto again = open_plain_segment(name.system(), true);
  ASSERT_FALSE(again.ok());
  expect_errno(again.error(), EEXIST);
}

TEST(SegmentName, EmptyNameIsRefusedBySystem) {
  auto plain = open_plain_segment("", true);
  ASSERT_FALSE(plain.ok());
  expect_errno(plain.error(), EINVAL);
  EXPECT_EQ(plain.error().text(), "Nix error: EINVAL: Invalid argument");

  auto mirrored = open_mirrored_segment("", page_size(), false);
  ASSERT_FALSE(mirrored.ok());
  expect_errno(mirrored.error(), EINVAL);
}

TEST(SegmentName, NulIsRefusedBeforeAnythingIsCreated) {
  TestName name;
  const std::string with_nul = name.name() + std::string(1, '\0') + "x";
  auto plain = open_plain_segment(with_nul, true);
  ASSERT_FALSE(plain.ok());
  EXPECT_EQ(plain.error().kind(), SegmentError::Kind::NulInName);
  EXPECT_EQ(plain.error().position(), name.name().size() + 1);
  EXPECT_EQ(object_size(name.system()), -1);

  auto unlinked = unlink_segment(with_nul);
  ASSERT_FALSE(unlinked.ok());
  EXPECT_EQ(unlinked.error().kind(), SegmentError::Kind::NulInName);
}

TEST(PlainSegment, CreateSizesZeroesAndExcludes) {
  TestName name;
  auto missing = open_plain_segment(name.name(), false);
  ASSERT_FALSE(missing.ok());
  expect_errno(missing.error(), ENOENT);
  EXPECT_EQ(missing.error().text(), "Nix error: ENOENT: No such file or directory");

  auto created = open_plain_segment(name.name(), true);
  ASSERT_TRUE(created.ok()) << created.error().text();
  EXPECT_EQ(created->length(), kPlainSegmentSize);
  EXPECT_EQ(object_size(name.system()), 4096);
  for (uint64_t i = 0; i < kPlainSegmentSize; ++i) ASSERT_EQ(created->address()[i], std::byte{0});

  struct stat st {};
  const int fd = ::shm_open(name.system().c_str(), O_RDONLY, 0);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::fstat(fd, &st), 0);
  ::close(fd);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  auto again = open_plain_segment(name.name(), true);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().text(), "Nix error: EEXIST: File exists");
}

TEST_F(MirroredSegmentTest, SizesOfObjectAndMapping) {
  TestName name;
  auto created = open_mirrored_segment(name.name(), 1048576, true);
  ASSERT_TRUE(created.ok()) << created.error().text();
  EXPECT_EQ(created->length(), 2113536u);
  EXPECT_EQ(created->data_size(), 1048576u);
  EXPECT_EQ(object_size(name.system()), 1064960);
  EXPECT_TRUE(mapped_in_process(name));

  auto opened = open_mirrored_segment(name.name(), 1048576, false);
  ASSERT_TRUE(opened.ok()) << opened.error().text();
  EXPECT_EQ(opened->length(), 2113536u);
  EXPECT_EQ(object_size(name.system()), 1064960);  // opening never resizes
}

TEST_F(MirroredSegmentTest, ExclusiveCreateAndMissingOpen) {
  TestName name;
  auto missing = open_mirrored_segment(name.name(), page_size(), false);
  ASSERT_FALSE(missing.ok());
  expect_errno(missing.error(), ENOENT);

  auto created = open_mirrored_segment(name.name(), page_size(), true);
  ASSERT_TRUE(created.ok()) << created.error().text();
  auto again = open_mirrored_segment(name.name(), page_size(), true);
  ASSERT_FALSE(again.ok());
  expect_errno(again.error(), EEXIST);
}

TEST_F(MirroredSegmentTest, ZeroDataSizeFailsAndRemovesTheObject) {
  TestName name;
  const size_t fds = open_fd_count();
  auto created = open_mirrored_segment(name.name(), 0, true);
  ASSERT_FALSE(created.ok());
  expect_errno(created.error(), EINVAL);
  EXPECT_EQ(open_fd_count(), fds);
  EXPECT_FALSE(mapped_in_process(name)) << "the header mapping outlived the failure";
  EXPECT_EQ(object_size(name.system()), -1) << "the failed create left its object";

  // An object somebody else made under the name is theirs: a failing create
  // reports EEXIST and leaves it, and so does a failing open.
  const int fd = ::shm_open(name.system().c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 16384), 0);
  ::close(fd);
  auto again = open_mirrored_segment(name.name(), 0, true);
  ASSERT_FALSE(again.ok());
  expect_errno(again.error(), EEXIST);
  auto opened = open_mirrored_segment(name.name(), 0, false);
  ASSERT_FALSE(opened.ok());
  expect_errno(opened.error(), EINVAL);
  EXPECT_EQ(object_size(name.system()), 16384);
}

TEST_F(MirroredSegmentTest, UnalignedDataSizeIsCheckedFirst) {
  TestName name;
  const uint64_t page = page_size();
  auto created = open_mirrored_segment(name.name(), page + 1, true);
  ASSERT_FALSE(created.ok());
  EXPECT_EQ(created.error().kind(), SegmentError::Kind::Unaligned);
  EXPECT_EQ(created.error().text(), "Size must be page-aligned (got " + std::to_string(page + 1) +
                                        ", page size " + std::to_string(page) + ")");
  EXPECT_EQ(object_size(name.system()), -1);

  // The size check comes before the name check.
  auto bad_name = open_mirrored_segment(std::string_view("a\0", 2), page / 2, true);
  ASSERT_FALSE(bad_name.ok());
  EXPECT_EQ(bad_name.error().kind(), SegmentError::Kind::Unaligned);
}

TEST_F(MirroredSegmentTest, MirrorAliasesDataBothWays) {
  TestName name;
  const uint64_t size = 4 * page_size();
  auto seg = open_mirrored_segment(name.name(), size, true);
  ASSERT_TRUE(seg.ok()) << seg.error().text();
  std::byte* data = data_of(*seg);
  std::byte* mirror = mirror_of(*seg);

  for (uint64_t i = 0; i < size; ++i) data[i] = static_cast<std::byte>(i * 7 + 1);
  for (uint64_t i = 0; i < size; ++i) ASSERT_EQ(mirror[i], static_cast<std::byte>(i * 7 + 1)) << i;
  for (uint64_t i = 0; i < size; ++i) mirror[i] = static_cast<std::byte>(i * 13 + 5);
  for (uint64_t i = 0; i < size; ++i) ASSERT_EQ(data[i], static_cast<std::byte>(i * 13 + 5)) << i;

  // One contiguous copy across the end of the data region lands at its start.
  const char message[] = "wraps around the end";
  std::memcpy(data + size - 5, message, sizeof message);
  EXPECT_EQ(std::memcmp(data, message + 5, sizeof message - 5), 0);
  EXPECT_EQ(std::memcmp(data + size - 5, message, 5), 0);

  // The header region is separate from the data.
  seg->base()[0] = std::byte{0xEE};
  EXPECT_NE(data[0], std::byte{0xEE});
}

TEST_F(MirroredSegmentTest, MirrorAliasesDataAcrossProcesses) {
  TestName name;
  const uint64_t size = 2 * page_size();
  auto seg = open_mirrored_segment(name.name(), size, true);
  ASSERT_TRUE(seg.ok()) << seg.error().text();

  // The child maps the object on its own, by name.
  const int child_writes = run_in_child([&]() -> int {
    auto own = open_mirrored_segment(name.name(), size, false);
    if (!own.ok()) return 2;
    std::memcpy(mirror_of(*own) + 10, "via mirror", 10);
    std::memcpy(data_of(*own) + size - 20, "via data", 8);
    return 0;
  });
  ASSERT_EQ(child_writes, 0);
  EXPECT_EQ(std::memcmp(data_of(*seg) + 10, "via mirror", 10), 0);
  EXPECT_EQ(std::memcmp(mirror_of(*seg) + size - 20, "via data", 8), 0);

  std::memcpy(mirror_of(*seg) + 100, "parent mirror", 13);
  std::memcpy(data_of(*seg) + 200, "parent data", 11);
  const int child_reads = run_in_child([&]() -> int {
    auto own = open_mirrored_segment(name.name(), size, false);
    if (!own.ok()) return 2;
    if (std::memcmp(data_of(*own) + 100, "parent mirror", 13) != 0) return 3;
    if (std::memcmp(mirror_of(*own) + 200, "parent data", 11) != 0) return 4;
    return 0;
  });
  EXPECT_EQ(child_reads, 0);
}

TEST_F(MirroredSegmentTest, MapMirroredLeavesTheDescriptorToTheCaller) {
  TestName name;
  const uint64_t size = page_size();
  auto created = open_mirrored_segment(name.name(), size, true);
  ASSERT_TRUE(created.ok()) << created.error().text();

  const int fd = ::shm_open(name.system().c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  auto mapped = map_mirrored(fd, size);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "map_mirrored closed the caller's descriptor";
  auto failed = map_mirrored(fd, 0);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1);
  ::close(fd);

  ASSERT_TRUE(mapped.ok()) << mapped.error().text();
  data_of(*created)[3] = std::byte{0x42};
  EXPECT_EQ(mirror_of(*mapped)[3], std::byte{0x42});
  ASSERT_FALSE(failed.ok());
  expect_errno(failed.error(), EINVAL);
}

TEST_F(MirroredSegmentTest, NoDescriptorLeftOpen) {
  TestName plain_name;
  TestName mirrored_name;
  TestName missing_name;
  const size_t before = open_fd_count();
  {
    auto plain = open_plain_segment(plain_name.name(), true);
    ASSERT_TRUE(plain.ok());
    auto plain_again = open_plain_segment(plain_name.name(), false);
    ASSERT_TRUE(plain_again.ok());
    auto mirrored = open_mirrored_segment(mirrored_name.name(), page_size(), true);
    ASSERT_TRUE(mirrored.ok());
    EXPECT_EQ(open_fd_count(), before) << "a live segment keeps only its mapping";

    EXPECT_FALSE(open_plain_segment(plain_name.name(), true).ok());
    EXPECT_FALSE(open_plain_segment(missing_name.name(), false).ok());
    EXPECT_FALSE(open_mirrored_segment(mirrored_name.name(), page_size(), true).ok());
    EXPECT_FALSE(open_mirrored_segment(missing_name.name(), page_size(), false).ok());
    EXPECT_FALSE(open_mirrored_segment(missing_name.name(), page_size() + 1, true).ok());
    EXPECT_FALSE(open_mirrored_segment(missing_name.name(), 0, true).ok());  // after shm_open
  }
  EXPECT_EQ(open_fd_count(), before);
}

TEST_F(MirroredSegmentTest, UnlinkKeepsExistingMappings) {
  TestName name;
  const uint64_t size = page_size();
  auto seg = open_mirrored_segment(name.name(), size, true);
  ASSERT_TRUE(seg.ok()) << seg.error().text();
  data_of(*seg)[0] = std::byte{1};

  auto unlinked = unlink_segment(name.name());
  ASSERT_TRUE(unlinked.ok()) << unlinked.error().text();
  auto reopened = open_mirrored_segment(name.name(), size, false);
  ASSERT_FALSE(reopened.ok());
  expect_errno(reopened.error(), ENOENT);

  mirror_of(*seg)[1] = std::byte{2};
  EXPECT_EQ(mirror_of(*seg)[0], std::byte{1});
  EXPECT_EQ(data_of(*seg)[1], std::byte{2});

  // A new object under the old name is unrelated to the old mapping.
  auto fresh = open_mirrored_segment(name.system(), size, true);
  ASSERT_TRUE(fresh.ok()) << fresh.error().text();
  EXPECT_EQ(data_of(*fresh)[0], std::byte{0});
  data_of(*fresh)[2] = std::byte{3};
  EXPECT_EQ(data_of(*seg)[2], std::byte{0});
}

TEST(UnlinkSegment, MissingNameIsEnoent) {
  TestName name;
  auto unlinked = unlink_segment(name.name());
  ASSERT_FALSE(unlinked.ok());
  expect_errno(unlinked.error(), ENOENT);
  EXPECT_EQ(unlinked.error().text(), "Nix error: ENOENT: No such file or directory");
}

}  // namespace
}  // namespace vesk
