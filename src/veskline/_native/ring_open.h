// Opening a ring by name only (never creating it) and creating one under a
// name that must not exist yet, for queues that own or attach to a name.
//
// Stand-ins until the native layer offers open_ring and create_ring itself;
// same contracts: open learns the data size from the object, create is
// exclusive and removes its name again if it cannot finish.
#pragma once

#include <cstdint>
#include <string_view>

#include "veskline_core/shm/ring_layout.h"

namespace veskline::native {

// The failing call's errno (ENOENT: no such name) or -1 with `text` set.
struct OpenError {
  int err = 0;
  const char* text = "";
};

vesk::Result<vesk::AttachedRing, OpenError> open_ring_by_name(std::string_view name);
vesk::Result<vesk::AttachedRing, OpenError> create_ring_exclusive(std::string_view name,
                                                                  uint64_t data_size);

}  // namespace veskline::native
