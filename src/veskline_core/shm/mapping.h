// Mapping: sole owner of one range of this process's address space.
//
// Unmapped exactly once, when the owner is destroyed or reset; an munmap
// failure is ignored (nothing useful can be done with it). Move-only; a
// moved-from Mapping holds nothing.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vesk {

class Mapping {
 public:
  Mapping() = default;
  Mapping(void* base, uint64_t length) : base_(base), length_(length) {}
  Mapping(Mapping&& other) noexcept
      : base_(std::exchange(other.base_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    if (this != &other) {
      reset();
      base_ = std::exchange(other.base_, nullptr);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;
  ~Mapping() { reset(); }

  std::byte* base() const { return static_cast<std::byte*>(base_); }
  uint64_t length() const { return length_; }
  bool valid() const { return base_ != nullptr; }
  void reset() {
    if (base_ != nullptr) ::munmap(base_, length_);
    base_ = nullptr;
    length_ = 0;
  }

 private:
  void* base_ = nullptr;
  uint64_t length_ = 0;
};

}  // namespace vesk
