// Error texts are part of the module's interface: Python callers see them
// verbatim after a context prefix, so every text is checked exactly.

#include "veskline_core/shm/error.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <map>
#include <regex>
#include <string>

namespace vesk {
namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();

TEST(ErrorText, SegmentErrorVariants) {
  EXPECT_EQ(SegmentError::from_errno(2).text(), "Nix error: ENOENT: No such file or directory");
  EXPECT_EQ(SegmentError::from_errno(17).text(), "Nix error: EEXIST: File exists");
  EXPECT_EQ(SegmentError::from_errno(0).text(), "Nix error: UnknownErrno: Unknown errno");
  EXPECT_EQ(SegmentError::nul_in_name(3).text(),
            "CString error: nul byte found in provided data at position: 3");
  EXPECT_EQ(SegmentError::nul_in_name(kMaxU64).text(),
            "CString error: nul byte found in provided data at position: 18446744073709551615");
  EXPECT_EQ(SegmentError::unaligned(16384, 65536).text(),
            "Size must be page-aligned (got 16384, page size 65536)");
  EXPECT_EQ(SegmentError::unaligned(4097, 4096).text(),
            "Size must be page-aligned (got 4097, page size 4096)");
  EXPECT_EQ(SegmentError::unaligned(kMaxU64, 0).text(),
            "Size must be page-aligned (got 18446744073709551615, page size 0)");
}

TEST(ErrorText, SegmentErrorFoldsUnknownErrnoToZero) {
  for (int value : {0, -1, -22, 41, 58, 134, 4096, std::numeric_limits<int>::min()}) {
    const auto error = SegmentError::from_errno(value);
    EXPECT_EQ(error.kind(), SegmentError::Kind::Errno) << value;
    EXPECT_EQ(error.err(), 0) << value;
    EXPECT_EQ(error.text(), "Nix error: UnknownErrno: Unknown errno") << value;
  }
  for (int value : {1, 40, 42, 57, 59, 133})
    EXPECT_EQ(SegmentError::from_errno(value).err(), value);
}

TEST(ErrorText, PthreadCodesAreSignedDecimal) {
  EXPECT_EQ(LockError::pthread(22).text(), "Pthread error: 22");
  EXPECT_EQ(LockError::pthread(-5).text(), "Pthread error: -5");
  EXPECT_EQ(CondError::pthread(110).text(), "Pthread error: 110");
  EXPECT_EQ(CondError::pthread(std::numeric_limits<int>::min()).text(),
            "Pthread error: -2147483648");
}

TEST(ErrorText, RingErrorVariants) {
  EXPECT_EQ(RingError::mutex(LockError::pthread(22)).text(), "Mutex error: Pthread error: 22");
  EXPECT_EQ(RingError::mutex(LockError::pthread(-1)).text(), "Mutex error: Pthread error: -1");
  EXPECT_EQ(RingError::cond(CondError::pthread(1)).text(), "Cond error: Pthread error: 1");
  EXPECT_EQ(RingError::buffer_too_small().text(), "Buffer too small");
  EXPECT_EQ(RingError::init_timeout().text(), "Initialization timeout");
  EXPECT_EQ(RingError::header_mismatch(1048576, 0).text(),
            "Header corruption or size mismatch (expected 1048576, got 0)");
  EXPECT_EQ(RingError::header_mismatch(0, kMaxU64).text(),
            "Header corruption or size mismatch (expected 0, got 18446744073709551615)");
}

TEST(ErrnoText, FrequentRows) {
  const std::map<int, std::string> rows = {
      {1, "EPERM: Operation not permitted"},
      {2, "ENOENT: No such file or directory"},
      {9, "EBADF: Bad file number"},
      {11, "EAGAIN: Try again"},
      {12, "ENOMEM: Out of memory"},
      {13, "EACCES: Permission denied"},
      {16, "EBUSY: Device or resource busy"},
      {17, "EEXIST: File exists"},
      {22, "EINVAL: Invalid argument"},
      {24, "EMFILE: Too many open files"},
      {28, "ENOSPC: No space left on device"},
      {35, "EDEADLK: Resource deadlock would occur"},
      {36, "ENAMETOOLONG: File name too long"},
      {38, "ENOSYS: Function not implemented"},
      {95, "EOPNOTSUPP: Operation not supported on transport endpoint"},
      {130, "EOWNERDEAD: Owner died"},
      {131, "ENOTRECOVERABLE: State not recoverable"},
  };
  for (const auto& [value, text] : rows) EXPECT_EQ(errno_text(value), text) << value;
}

TEST(ErrnoText, UnknownValues) {
  for (int value : {0, -1, 41, 58, 134, 1000, std::numeric_limits<int>::max()}) {
    EXPECT_EQ(errno_text(value), "UnknownErrno: Unknown errno") << value;
  }
}

// The table is checked row by row against the kernel's generic errno headers
// as installed, so a typo or a shifted row cannot hide. Aliases
// ("#define EWOULDBLOCK EAGAIN") are skipped: the name defined with the number
// is the one rendered. Row 38 is pinned by FrequentRows instead.
TEST(ErrnoText, MatchesKernelHeaders) {
  const std::regex define(R"(^#define\s+(E[A-Z0-9]+)\s+([0-9]+)\s*/\*\s*(.*?)\s*\*/\s*$)");
  std::map<int, std::string> expected;
  for (const char* path :
       {"/usr/include/asm-generic/errno-base.h", "/usr/include/asm-generic/errno.h"}) {
    std::ifstream header(path);
    ASSERT_TRUE(header) << "cannot read " << path;
    for (std::string line; std::getline(header, line);) {
      std::smatch m;
      if (!std::regex_match(line, m, define)) continue;
      const int value = std::stoi(m[2].str());
      ASSERT_EQ(expected.count(value), 0u) << "two names for " << value;
      expected[value] = m[1].str() + ": " + m[3].str();
    }
  }
  ASSERT_EQ(expected.size(), 131u);
  for (int value = 1; value <= 133; ++value) {
    if (value == 41 || value == 58) {
      EXPECT_EQ(expected.count(value), 0u);
      EXPECT_EQ(errno_text(value), "UnknownErrno: Unknown errno");
      continue;
    }
    ASSERT_EQ(expected.count(value), 1u) << value;
    if (value == 38) {
      // The one row that keeps its older description ("Function not
      // implemented"); kernel headers changed the comment in 2018.
      EXPECT_TRUE(expected[value] == "ENOSYS: Function not implemented" ||
                  expected[value] == "ENOSYS: Invalid system call number")
          << expected[value];
      continue;
    }
    EXPECT_EQ(errno_text(value), expected[value]) << value;
  }
}

}  // namespace
}  // namespace vesk
