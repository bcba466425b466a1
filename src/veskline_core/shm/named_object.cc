#include "veskline_core/shm/named_object.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace vesk {

namespace {

// The reservation goes in steps: a signal makes tmpfs give back what one
// fallocate call took and fail with EINTR, so only the interrupted step is
// done again, and a steady timer signal cannot starve a large reservation.
constexpr uint64_t kReserveStep = uint64_t{64} << 20;

// posix_fallocate reports through its return value, never errno.
int reserve(int fd, uint64_t size) {
  for (uint64_t done = 0; done < size;) {
    const uint64_t step = std::min(kReserveStep, size - done);
    const int rc = ::posix_fallocate(fd, static_cast<off_t>(done), static_cast<off_t>(step));
    if (rc == EINTR) continue;
    if (rc != 0) return rc;
    done += step;
  }
  return 0;
}

}  // namespace

NewObject::NewObject(NewObject&& other) noexcept
    : fd_(std::move(other.fd_)),
      name_(std::exchange(other.name_, std::string())),
      device_(other.device_),
      inode_(other.inode_) {}

NewObject& NewObject::operator=(NewObject&& other) noexcept {
  if (this != &other) {
    remove();
    fd_ = std::move(other.fd_);
    name_ = std::exchange(other.name_, std::string());
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

void NewObject::remove() {
  if (name_.empty()) return;
  const int saved = errno;
  // Only our own object: between our create and now, somebody may have
  // unlinked the name and made a new object under it.
  UniqueFd current(::shm_open(name_.c_str(), O_RDONLY, 0));
  struct stat info {};
  if (current.valid() && ::fstat(current.get(), &info) == 0 && info.st_dev == device_ &&
      info.st_ino == inode_) {
    ::shm_unlink(name_.c_str());
  }
  name_.clear();
  errno = saved;
}

Result<UniqueFd, SegmentError> open_object(const std::string& system_name) {
  UniqueFd fd(::shm_open(system_name.c_str(), O_RDWR, 0));
  if (!fd.valid()) return Err{last_errno()};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return Err{last_errno()};
  if (info.st_uid != ::geteuid()) return Err{SegmentError::from_errno(EACCES)};
  return fd;
}

Result<NewObject, SegmentError> create_object(const std::string& system_name, uint64_t size) {
  UniqueFd fd(::shm_open(system_name.c_str(), O_RDWR | O_CREAT | O_EXCL,
                         static_cast<mode_t>(kSegmentMode)));
  if (!fd.valid()) return Err{last_errno()};
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    // Without its identity the object cannot be told from a successor; the
    // name is ours this instant, so remove it now.
    const SegmentError error = last_errno();
    ::shm_unlink(system_name.c_str());
    return Err{error};
  }
  NewObject object(std::move(fd), system_name, info.st_dev, info.st_ino);
  // A size beyond off_t turns negative here and ftruncate refuses it (EINVAL).
  if (::ftruncate(object.fd(), static_cast<off_t>(size)) != 0) return Err{last_errno()};
  if (const int rc = reserve(object.fd(), size); rc != 0) {
    return Err{SegmentError::from_errno(rc)};
  }
  return object;
}

int64_t object_size(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

bool object_removed(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 && info.st_nlink == 0;
}

}  // namespace vesk
