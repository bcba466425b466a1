// Named shared-memory objects: the one place that opens and creates them by
// name (every shm_open of the native layer is here).
//
// Opening takes an existing object read-write and refuses one that another
// user owns, with EACCES, decided by fstat before anything maps it. Objects
// are created 0600, so a name that some other user made first, whatever its
// mode, is a squatter: attaching would hand it our messages or our lock, and
// it could truncate the object under us.
//
// Creating is exclusive (O_EXCL, mode 0600) and reserves the whole object at
// once, so memory that /dev/shm cannot back fails here (ENOSPC, or the real
// errno) instead of as SIGBUS on first touch. What a create made is a
// NewObject: until keep() it removes its name again when it goes away, so a
// construction that fails at any later step leaves no name behind. It removes
// only the object it created: a name that somebody else has meanwhile removed
// and made again is left alone.
//
// Names here are system names (see normalize_segment_name). Thread-safe, no
// state; never touches Python.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "veskline_core/shm/error.h"
#include "veskline_core/shm/result.h"
#include "veskline_core/shm/unique_fd.h"

namespace vesk {

inline constexpr unsigned kSegmentMode = 0600;

// A freshly created object and the duty to remove its name unless kept.
// Move-only; a moved-from NewObject removes nothing.
class NewObject {
 public:
  NewObject(NewObject&& other) noexcept;
  NewObject& operator=(NewObject&& other) noexcept;
  NewObject(const NewObject&) = delete;
  NewObject& operator=(const NewObject&) = delete;
  ~NewObject() { remove(); }

  int fd() const { return fd_.get(); }
  // The object is complete: its name stays when this goes away.
  void keep() { name_.clear(); }

 private:
  friend Result<NewObject, SegmentError> create_object(const std::string&, uint64_t);
  NewObject(UniqueFd fd, std::string system_name, dev_t device, ino_t inode)
      : fd_(std::move(fd)), name_(std::move(system_name)), device_(device), inode_(inode) {}
  // Unlinks the name if it still names this object. Leaves errno as it was.
  void remove();

  UniqueFd fd_;
  std::string name_;  // empty: nothing to remove
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// Opens the existing object read-write. Errors: shm_open's errno (ENOENT for a
// missing name), or EACCES when its owner is not this process's effective
// user.
Result<UniqueFd, SegmentError> open_object(const std::string& system_name);

// Exclusively creates the object (mode 0600), sizes it to `size` and reserves
// all of it. Errors: shm_open's errno (EEXIST when the name exists), then
// ftruncate's (EINVAL for a size beyond off_t) or the reservation's (ENOSPC
// when /dev/shm is too small); after the create, a failure removes the name.
Result<NewObject, SegmentError> create_object(const std::string& system_name, uint64_t size);

// The object's current size, or -1 when fstat fails.
int64_t object_size(int fd);

// Whether the object's name has been removed since it was opened (no link
// left): its creator gave up, or its users unlinked it.
bool object_removed(int fd);

}  // namespace vesk
